// The lines of a screen log as the event history keeps them.
#include "session/history_recorder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

struct RecorderTest : ::testing::Test {
    RecorderTest() {
        char name[] = "/tmp/tessary-recorder-XXXXXX";
        dir = mkdtemp(name);
        database = dir + "/office.tsy";
    }
    ~RecorderTest() override { std::filesystem::remove_all(dir); }
    std::unique_ptr<HistoryRecorder> recorder() {
        auto r = std::make_unique<HistoryRecorder>(
            [this] { return database; },
            [](uint32_t key) {
                return key == 0x00a3f1 ? KeyTexts{"Ann", "night shift"} : KeyTexts{};
            },
            [this](const std::string& path, const std::string& reason) {
                failures.push_back(path + ": " + reason);
            });
        r->now_ms = [this] { return time_ms += 1000; };
        return r;
    }
    std::vector<StoredEvent> stored(const std::string& db) {
        std::string error;
        auto store = EventStore::open(history_path(db), false, db, &error);
        return store ? store->page({}, 100, std::nullopt, true) : std::vector<StoredEvent>{};
    }
    std::string dir;
    std::string database;
    std::vector<std::string> failures;
    int64_t time_ms = 1'700'000'000'000;
};

TEST_F(RecorderTest, KeepsEachLineWithItsKeyKindDoorAndTheKeysTextsOfTheMoment) {
    auto r = recorder();
    r->report({" - ", "Log started", "", true});
    r->report({"00a3f1", "Valid key. Name: \"Ann\".  Door B is open.", "", false});
    r->report({"", "Memo: \"night shift\"", "", false});
    r->report({"", "Door B closed ", "", false});
    r->flush();
    std::vector<StoredEvent> s = stored(database);
    ASSERT_EQ(s.size(), 4u);
    EXPECT_EQ(s[0].kind, EventKind::Log);
    EXPECT_EQ(s[0].key, std::nullopt);
    EXPECT_TRUE(s[0].highlight);
    EXPECT_EQ(s[1].key, 0x00a3f1u);
    EXPECT_EQ(s[1].kind, EventKind::ValidKey);
    EXPECT_EQ(s[1].door, 'B');
    EXPECT_EQ(s[1].name, "Ann");
    EXPECT_EQ(s[1].memo, "night shift");
    EXPECT_EQ(s[1].time_ms, 1'700'000'002'000);
    EXPECT_EQ(s[2].key, 0x00a3f1u) << "a memo line is its key's";
    EXPECT_EQ(s[3].key, std::nullopt);
    EXPECT_EQ(s[3].kind, EventKind::Door);
    EXPECT_TRUE(failures.empty());
}

TEST_F(RecorderTest, FollowsTheDatabaseToItsNewNameAndKeepsNothingWithoutOne) {
    auto r = recorder();
    r->report({" - ", "Log started", "", true});
    const std::string first = database;
    database = dir + "/renamed.tsy";
    r->report({" - ", "Log started", "", true});
    database.clear();
    r->report({" - ", "Log ended", "", true});
    r->flush();
    EXPECT_EQ(stored(first).size(), 1u);
    EXPECT_EQ(stored(dir + "/renamed.tsy").size(), 1u);
    EXPECT_FALSE(std::filesystem::exists(dir + "/.events.sqlite"));
}

TEST_F(RecorderTest, TellsEachEventItKeepsAndNoneWhileItKeepsNothing) {
    auto r = recorder();
    std::vector<std::string> told;
    r->on_event = [&](const StoredEvent& e) { told.push_back(e.text); };
    r->report({" - ", "Log started", "", true});
    database.clear();
    r->report({" - ", "Log ended", "", true});
    EXPECT_EQ(told, std::vector<std::string>{"Log started"});
}

TEST_F(RecorderTest, AStoreThatCannotBeWrittenIsToldOnceAndTheLinesGoOn) {
    std::ofstream(history_path(database)) << std::string(4096, 'x');
    auto r = recorder();
    r->report({" - ", "Log started", "", true});
    r->report({" - ", "Log ended", "", true});
    r->flush();
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_NE(failures[0].find("office.events.sqlite: it is damaged"), std::string::npos)
        << failures[0];
    EXPECT_EQ(key_of_line("00A3F1"), 0x00a3f1u);
    EXPECT_EQ(key_of_line(" - "), std::nullopt);
}

} // namespace
