#include "events/screen_log.h"
#include "events/screen_log_csv.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct RecordingObserver : ScreenLogObserver {
    std::vector<std::string> calls;
    void log_rows_inserted(int first, int last) override {
        calls.push_back("insert " + std::to_string(first) + "-" + std::to_string(last));
    }
    void log_rows_removed(int first, int last) override {
        calls.push_back("remove " + std::to_string(first) + "-" + std::to_string(last));
    }
    void log_rows_reset() override { calls.push_back("reset"); }
};

LogRow row(const char* key, const char* event) {
    return LogRow{key, event, "2003/7/4 9:05", false};
}

} // namespace

TEST(ScreenLog, AppendsAtTheEndAndDropsTheOldestFirst) {
    ScreenLog log;
    RecordingObserver obs;
    log.observer = &obs;
    EXPECT_EQ(screen_log_append(log, row("00a3f1", "Valid key.")), 0);
    EXPECT_EQ(screen_log_append(log, row(" - ", "Log started")), 1);
    ASSERT_EQ(screen_log_row_count(log), 2);
    screen_log_remove_first(log);
    ASSERT_EQ(screen_log_row_count(log), 1);
    EXPECT_EQ(screen_log_row(log, 0)->event_text, "Log started");
    EXPECT_EQ(obs.calls, (std::vector<std::string>{"insert 0-0", "insert 1-1", "remove 0-0"}));
}

TEST(ScreenLog, RemovingFromAnEmptyLogChangesNothingAndTellsNoOne) {
    ScreenLog log;
    RecordingObserver obs;
    log.observer = &obs;
    screen_log_remove_first(log);
    EXPECT_EQ(screen_log_row_count(log), 0);
    EXPECT_TRUE(obs.calls.empty());
}

TEST(ScreenLog, ClearEmptiesAndResetsTheView) {
    ScreenLog log;
    RecordingObserver obs;
    screen_log_append(log, row("1", "a"));
    log.observer = &obs;
    screen_log_clear(log);
    EXPECT_EQ(screen_log_row_count(log), 0);
    EXPECT_EQ(obs.calls, (std::vector<std::string>{"reset"}));
}

TEST(ScreenLog, RowOutsideTheLogIsNull) {
    ScreenLog log;
    screen_log_append(log, row("1", "a"));
    EXPECT_EQ(screen_log_row(log, -1), nullptr);
    EXPECT_EQ(screen_log_row(log, 1), nullptr);
    EXPECT_NE(screen_log_row(log, 0), nullptr);
}

TEST(ScreenLogCsv, RowsInOrderInUtf8) {
    ScreenLog log;
    screen_log_append(log, LogRow{"00a3f1", "Door A opened, by \"key\"", "12:00:01", false});
    screen_log_append(log, LogRow{" - ", "caf\xe9", "12:00:02", true});
    EXPECT_EQ(screen_log_to_csv(log), "key,event,time\r\n"
                                      "00a3f1,\"Door A opened, by \"\"key\"\"\",12:00:01\r\n"
                                      "\" - \",caf\xc3\xa9,12:00:02\r\n");
    std::vector<int> rows = {1};
    EXPECT_EQ(screen_log_to_csv(log, &rows), "key,event,time\r\n\" - \",caf\xc3\xa9,12:00:02\r\n");
}

// A spreadsheet must not run a log text as a formula.
TEST(ScreenLogCsv, FormulaTextsGoOutBehindAnApostrophe) {
    ScreenLog log;
    screen_log_append(log, LogRow{"=HYPERLINK(\"x\")", "@SUM(1)", "12:00:01", false});
    EXPECT_EQ(screen_log_to_csv(log),
              "key,event,time\r\n\"'=HYPERLINK(\"\"x\"\")\",'@SUM(1),12:00:01\r\n");
}
