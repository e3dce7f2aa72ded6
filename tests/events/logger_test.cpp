#include "events/logger.h"

#include "events/log_file.h"
#include "support/fake_host.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

struct TestClock final : Clock {
    LocalTime now{2003, 7, 4, 9, 5, 0};
    uint32_t tick = 0;
    uint32_t tick_ms() override { return tick; }
    LocalTime local_time() override { return now; }
    void sleep_ms(uint32_t ms) override { tick += ms; }
};

std::string read_all(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_bytes(const fs::path& p, size_t count, std::ios::openmode mode = std::ios::trunc) {
    std::ofstream out(p, std::ios::binary | mode);
    out << std::string(count, 'x');
}

class LoggerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("tessary-logger-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        db.file_name = (dir / "Office.tsy").string();
    }
    void TearDown() override { fs::remove_all(dir); }

    fs::path log_path() const { return dir / "Office.log"; }
    fs::path rotated_path() const { return dir / "Office-upto-20030704-9h05.log"; }
    std::string line(const char* key, const char* event) const {
        return log_file_line("2003/7/4 9:05", key, event);
    }

    fs::path dir;
    KeyDatabase db;
    ScreenLog screen;
    FakeHost host;
    TestClock clock;
    Logger logger{db, screen, host, clock};
};

} // namespace

TEST_F(LoggerTest, StartLogClearsTheScreenAndWritesLogStarted) {
    screen_log_append(screen, LogRow{"old", "line", "t", false});
    logger.start_log();
    ASSERT_EQ(screen_log_row_count(screen), 1);
    const LogRow* r = screen_log_row(screen, 0);
    EXPECT_EQ(r->key_text, " - ");
    EXPECT_EQ(r->event_text, "Log started");
    EXPECT_EQ(r->time_text, "2003/7/4 9:05");
    EXPECT_TRUE(r->highlight);
    EXPECT_TRUE(logger.log_file_open());
    EXPECT_EQ(read_all(log_path()), line(" - ", "Log started"));
}

TEST_F(LoggerTest, LinesAreAppendedToAnExistingFile) {
    {
        std::ofstream out(log_path(), std::ios::binary);
        out << "earlier\r\n";
    }
    logger.start_log();
    logger.add_log_line("00a3f1", "Valid key: Caretaker.", false);
    EXPECT_EQ(read_all(log_path()),
              "earlier\r\n" + line(" - ", "Log started") + line("00a3f1", "Valid key: Caretaker."));
    ASSERT_EQ(screen_log_row_count(screen), 2);
    EXPECT_FALSE(screen_log_row(screen, 1)->highlight);
}

TEST_F(LoggerTest, EndLogWritesLogEndedEmptiesTheScreenAndClosesTheFile) {
    logger.start_log();
    logger.end_log();
    EXPECT_EQ(screen_log_row_count(screen), 0);
    EXPECT_FALSE(logger.log_file_open());
    EXPECT_EQ(read_all(log_path()), line(" - ", "Log started") + line(" - ", "Log ended"));
}

TEST_F(LoggerTest, DatabaseWithoutFileLogsToTheScreenOnly) {
    db.file_name.clear();
    logger.start_log();
    logger.add_log_line("00a3f1", "Valid key.", false);
    EXPECT_EQ(screen_log_row_count(screen), 2);
    EXPECT_FALSE(logger.log_file_open());
    EXPECT_TRUE(fs::is_empty(dir));
    EXPECT_TRUE(host.boxes.empty());
}

TEST_F(LoggerTest, TextsBeyondTheirCapacityAreCut) {
    db.file_name.clear();
    logger.add_log_line(std::string(150, 'k'), std::string(3000, 'e'), false);
    EXPECT_EQ(screen_log_row(screen, 0)->key_text.size(), 100u);
    EXPECT_EQ(screen_log_row(screen, 0)->event_text.size(), 2100u);
}

TEST_F(LoggerTest, ScreenLogKeepsAtMostItsLimit) {
    db.file_name.clear();
    for (int i = 0; i < 1000; ++i) {
        logger.add_log_line("k", std::to_string(i), false);
    }
    ASSERT_EQ(screen_log_row_count(screen), 1000);
    logger.add_log_line("k", "1000", false);
    ASSERT_EQ(screen_log_row_count(screen), 1000);
    EXPECT_EQ(screen_log_row(screen, 0)->event_text, "1");
    EXPECT_EQ(screen_log_row(screen, 999)->event_text, "1000");
}

TEST_F(LoggerTest, LoweringTheLimitDoesNotShrinkTheLog) {
    db.file_name.clear();
    for (int i = 0; i < 5; ++i) {
        logger.add_log_line("k", std::to_string(i), false);
    }
    db.log.screen_log_lines = 2;
    logger.add_log_line("k", "5", false);
    ASSERT_EQ(screen_log_row_count(screen), 5);
    EXPECT_EQ(screen_log_row(screen, 0)->event_text, "1");
    EXPECT_EQ(screen_log_row(screen, 4)->event_text, "5");
}

TEST_F(LoggerTest, LimitOfZeroKeepsTheNewestRow) {
    db.file_name.clear();
    db.log.screen_log_lines = 0;
    logger.add_log_line("k", "a", false);
    logger.add_log_line("k", "b", false);
    ASSERT_EQ(screen_log_row_count(screen), 1);
    EXPECT_EQ(screen_log_row(screen, 0)->event_text, "b");
}

TEST_F(LoggerTest, FileBecomesFullAtTheLimitLessOneLine) {
    // 710 kB less 82 bytes is the first size that counts as full.
    write_bytes(log_path(), 710 * 1024 - 83);
    logger.ensure_log_file();
    ASSERT_TRUE(logger.log_file_open());
    logger.ensure_log_file();
    EXPECT_TRUE(logger.log_file_open());
    EXPECT_EQ(fs::file_size(log_path()), 726957u);
    write_bytes(log_path(), 1, std::ios::app);
    logger.ensure_log_file();
    // Renaming is off: the full file was deleted and a new, empty one started.
    EXPECT_TRUE(logger.log_file_open());
    EXPECT_EQ(fs::file_size(log_path()), 0u);
    EXPECT_FALSE(fs::exists(rotated_path()));
}

TEST_F(LoggerTest, FullFileIsDeletedWhenRenamingIsOff) {
    db.log.log_file_size = 1;
    write_bytes(log_path(), 1024 - 82);
    logger.start_log();
    // "Log started" went to a fresh file: the full one was opened, found full and deleted.
    logger.add_log_line("00a3f1", "Valid key.", false);
    EXPECT_EQ(read_all(log_path()), line(" - ", "Log started") + line("00a3f1", "Valid key."));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
}

TEST_F(LoggerTest, FullFileIsMovedToTheRotatedNameWhenRenamingIsOn) {
    db.log.log_file_size = 1;
    db.log.rename_full_logs = true;
    logger.start_log();
    // 81-byte lines: the 12th line finds 891 + 82 < 1024; the 13th finds 972 + 82 >= 1024.
    for (int i = 1; i < 12; ++i) {
        logger.add_log_line("k", "e", false);
    }
    EXPECT_EQ(fs::file_size(log_path()), 12u * 81u);
    EXPECT_FALSE(fs::exists(rotated_path()));
    logger.add_log_line("k", "e", false);
    ASSERT_TRUE(fs::exists(rotated_path()));
    EXPECT_EQ(fs::file_size(rotated_path()), 12u * 81u);
    EXPECT_EQ(read_all(log_path()), line("k", "e"));
}

TEST_F(LoggerTest, LaterRotationsInTheSameMinuteTakeNumberedNamesAndKeepTheLimit) {
    db.log.log_file_size = 1;
    db.log.rename_full_logs = true;
    const std::string stem = (dir / "Office-upto-20030704-").string();
    write_bytes(stem + "9h05-2.log", 5); // a name taken by someone else is passed over
    logger.start_log();
    // 12 lines fill a file: the 13th, 25th, 37th (9:05) and 49th (9:06) move the full one aside.
    for (int i = 2; i <= 49; ++i) {
        clock.now.minute = i < 38 ? 5 : 6;
        logger.add_log_line("k", "e", false);
    }
    for (const char* name : {"9h05.log", "9h05-3.log", "9h05-4.log", "9h06.log"}) {
        EXPECT_EQ(fs::file_size(stem + name), 12u * 81u) << name;
    }
    EXPECT_EQ(fs::file_size(stem + "9h05-2.log"), 5u);
    EXPECT_FALSE(fs::exists(stem + "9h06-2.log"));
    EXPECT_EQ(read_all(log_path()), log_file_line("2003/7/4 9:06", "k", "e"));
}

TEST_F(LoggerTest, SizeZeroOpensNoFileAndRetiresAnOpenOne) {
    db.log.log_file_size = 0;
    logger.start_log();
    EXPECT_FALSE(logger.log_file_open());
    EXPECT_FALSE(fs::exists(log_path()));

    db.log.log_file_size = 710;
    logger.add_log_line("k", "e", false);
    ASSERT_TRUE(logger.log_file_open());
    db.log.log_file_size = 0;
    db.log.rename_full_logs = true;
    logger.add_log_line("k", "f", false);
    EXPECT_FALSE(logger.log_file_open());
    EXPECT_EQ(read_all(rotated_path()), line("k", "e"));
    EXPECT_FALSE(fs::exists(log_path()));
    logger.add_log_line("k", "g", false);
    EXPECT_FALSE(logger.log_file_open());
    EXPECT_FALSE(fs::exists(log_path()));
    EXPECT_EQ(screen_log_row_count(screen), 4);
}

TEST_F(LoggerTest, LargeSizeLimitDoesNotWrap) {
    db.log.log_file_size = 0x7fffffff;
    logger.start_log();
    logger.add_log_line("k", "e", false);
    EXPECT_EQ(fs::file_size(log_path()), 2u * 81u);
}

TEST_F(LoggerTest, UnopenableFileIsReportedOncePerDatabase) {
    // A folder where the log file should be cannot be opened for writing, even by root.
    fs::create_directory(log_path());
    logger.start_log();
    for (int i = 0; i < 5; ++i) {
        logger.add_log_line("k", "e", false);
    }
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].caption, "Tessary - Opening logfile");
    EXPECT_EQ(host.boxes[0].text,
              "The logfile couldn't be opened.\n\nIt is probably set to 'read-only'. Tessary will "
              "function\nas normal, but it will not be able to log events to disk.\n\nFile: " +
                  log_path().string() + "\nReason: Is a directory");
    EXPECT_EQ(host.boxes[0].icon, MsgIcon::Error);
    EXPECT_EQ(host.boxes[0].buttons, MsgButtons::Ok);
    EXPECT_TRUE(logger.error_shown());
    EXPECT_EQ(screen_log_row_count(screen), 6);

    // A reset of the record (New database, Open) arms the message again.
    logger.rearm_error_report();
    logger.add_log_line("k", "e", false);
    EXPECT_EQ(host.boxes.size(), 2u);

    // Once the obstacle is gone the next line opens the file silently.
    fs::remove(log_path());
    logger.add_log_line("k", "again", false);
    EXPECT_TRUE(logger.log_file_open());
    EXPECT_EQ(read_all(log_path()), line("k", "again"));
    EXPECT_EQ(host.boxes.size(), 2u);
}

TEST_F(LoggerTest, EndLogWithoutAFileStillEmptiesTheScreen) {
    db.file_name.clear();
    logger.add_log_line("k", "e", false);
    logger.end_log();
    EXPECT_EQ(screen_log_row_count(screen), 0);
}

// A controller report that arrives between "Log ended" and the record's reset reopens the old
// log; once the database's name changes or goes, nothing more may reach that file.
TEST_F(LoggerTest, LinesAfterTheNameChangesNeverReachTheOldLog) {
    for (const std::string& next_name : {std::string(), (dir / "Other.tsy").string()}) {
        fs::remove(log_path());
        db.file_name = (dir / "Office.tsy").string();
        logger.start_log();
        logger.end_log();
        logger.add_log_line("00a3f1", "Late report.", false);
        db.file_name = next_name;
        logger.start_log();
        logger.add_log_line("k", "New database.", false);
        EXPECT_EQ(read_all(log_path()), line(" - ", "Log started") + line(" - ", "Log ended") +
                                            line("00a3f1", "Late report."))
            << "next name: '" << next_name << "'";
        EXPECT_EQ(logger.log_file_open(), !next_name.empty());
        logger.end_log();
    }
    EXPECT_EQ(read_all(dir / "Other.log"),
              line(" - ", "Log started") + line("k", "New database.") + line(" - ", "Log ended"));
}

TEST_F(LoggerTest, ARemovedFileIsStartedAgainUnderItsName) {
    logger.start_log();
    fs::remove(log_path());
    logger.add_log_line("k", "After removal.", false);
    EXPECT_EQ(read_all(log_path()), line("k", "After removal."));
}

// A real failure: the process may write no file beyond a few bytes more than the log holds, so
// the third line is cut short by the system, as on a disk that fills up midway.
TEST_F(LoggerTest, FullDiskKeepsWholeLinesAndIsReportedOnce) {
    logger.start_log();
    logger.add_log_line("k", "fits", false);
    struct rlimit old_limit {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old_limit;
    small.rlim_cur = fs::file_size(log_path()) + 20;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    logger.add_log_line("k", "lost 1", false);
    logger.add_log_line("k", "lost 2", false);
    setrlimit(RLIMIT_FSIZE, &old_limit);
    std::signal(SIGXFSZ, old_handler);
    logger.add_log_line("k", "room again", false);

    EXPECT_EQ(read_all(log_path()),
              line(" - ", "Log started") + line("k", "fits") + line("k", "room again"));
    EXPECT_EQ(screen_log_row_count(screen), 5);
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].caption, "Tessary - Writing logfile");
    EXPECT_EQ(host.boxes[0].text,
              "A line couldn't be written to the logfile. Tessary will function as normal,\nbut "
              "events may be missing from the log on disk.\n\nFile: " +
                  log_path().string() + "\nReason: File too large");
    EXPECT_EQ(host.boxes[0].icon, MsgIcon::Error);
}

TEST_F(LoggerTest, FlushedOffTheCallingThreadAtMostOncePerIntervalAndAtEndOfLog) {
    Logger slow(db, screen, host, clock, std::chrono::hours(1));
    slow.start_log();
    // The first line is flushed at once; the next ones wait for the interval or the end.
    for (int i = 0; i < 200 && slow.flusher().flush_count() == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(slow.flusher().flush_count(), 1u);
    for (int i = 0; i < 20; ++i) {
        slow.add_log_line("k", "e", false);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(slow.flusher().flush_count(), 1u);
    slow.end_log();
    slow.flusher().wait_idle();
    EXPECT_EQ(slow.flusher().flush_count(), 2u);
}

// A name planted in a shared folder must not take the log's lines to another file; the log
// made in its place is open to no more people than the database.
TEST_F(LoggerTest, APlantedLinkIsNotFollowedAndANewLogIsNoWiderThanTheDatabase) {
    std::ofstream(db.file_name) << "";
    fs::permissions(db.file_name, fs::perms(0600));
    std::ofstream(dir / "victim") << "mine";
    fs::create_symlink(dir / "victim", log_path());
    logger.start_log();
    EXPECT_EQ(read_all(dir / "victim"), "mine");
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_TRUE(host.boxes[0].text.ends_with(
        "\nReason: It is a symbolic link, which is not followed here"));
    EXPECT_EQ(screen_log_row_count(screen), 1);

    fs::remove(log_path());
    logger.add_log_line("k", "e", false);
    EXPECT_EQ(fs::status(log_path()).permissions(), fs::perms(0600));
}
