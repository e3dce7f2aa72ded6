// The lines of a screen log as the event history keeps them.
#include "session/history_recorder.h"

#include "events/log_file.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>

#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

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
            },
            [this](std::function<void()> call) {
                std::lock_guard lock(posted_mutex);
                posted.push_back(std::move(call));
            },
            [this](int percent) { percents.push_back(percent); });
        r->now_ms = [this] { return time_ms += 1000; };
        return r;
    }
    // The user-interface thread's turn: what the writer posted.
    void run_posted() {
        std::vector<std::function<void()>> calls;
        {
            std::lock_guard lock(posted_mutex);
            calls.swap(posted);
        }
        for (auto& call : calls) {
            call();
        }
    }
    std::vector<StoredEvent> stored(const std::string& db) {
        std::string error;
        auto store = EventStore::open(history_path(db), false, db, &error);
        return store ? store->page({}, 100, std::nullopt, true) : std::vector<StoredEvent>{};
    }
    std::vector<StoredEvent> stored_all(const std::string& db) {
        std::string error;
        auto store = EventStore::open(history_path(db), false, db, &error);
        return store ? store->page({}, 1'000'000, std::nullopt, true) : std::vector<StoredEvent>{};
    }
    std::string dir;
    std::string database;
    std::vector<std::string> failures;
    std::vector<int> percents;
    std::mutex posted_mutex;
    std::vector<std::function<void()>> posted;
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

// 2026/12/8 at the minute, local time, in milliseconds.
int64_t local_ms(int hour, int minute) {
    std::tm t{};
    t.tm_year = 126;
    t.tm_mon = 11;
    t.tm_mday = 8;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_isdst = -1;
    return static_cast<int64_t>(std::mktime(&t)) * 1000;
}

TEST_F(RecorderTest, AStoreMadeNowIsFilledFromTheLogFilesWithProgressAndNoLineTwice) {
    const std::string started = log_file_line("2026/12/8 9:05", " - ", "Log started");
    const std::string used =
        log_file_line("2026/12/8 9:06", "00a3f1", "Valid key.  Door B is open.");
    const std::string live =
        log_file_line("2026/12/8 9:07", "00a3f1", "Valid key.  Door A is open.");
    std::ofstream(dir + "/office-upto-20261208-H09M06.log", std::ios::binary) << started << used;
    // The current file holds the rotated one's last line too, and the first live line already.
    std::ofstream(dir + "/office.log", std::ios::binary) << used << live;
    time_ms = local_ms(9, 7);
    auto r = recorder();
    r->report({"00a3f1", "Valid key.  Door A is open.", "", false});
    r->flush();
    r->report({" - ", "Log ended", "", true});
    r.reset();
    run_posted();
    std::vector<StoredEvent> s = stored(database);
    ASSERT_EQ(s.size(), 4u);
    EXPECT_EQ(s[0].text, "Log started");
    EXPECT_EQ(s[1].time_ms, local_ms(9, 6));
    EXPECT_EQ(s[2].time_ms, local_ms(9, 7) + 1000) << "the live line, not its minute";
    EXPECT_EQ(s[3].text, "Log ended");
    ASSERT_FALSE(percents.empty());
    EXPECT_EQ(percents.back(), 100);
    EXPECT_LT(percents.front(), 100);

    // A store that exists is not filled again.
    percents.clear();
    r = recorder();
    r->report({" - ", "Log started", "", true});
    r->flush();
    run_posted();
    EXPECT_EQ(stored(database).size(), 5u);
    EXPECT_TRUE(percents.empty());
    EXPECT_TRUE(failures.empty());
}

// Another process's long write holds the store: the lines wait, the caller does not.
TEST_F(RecorderTest, AStoreLockedByAnotherWriterHoldsUpNeitherTheCallerNorTheLines) {
    std::string error;
    ASSERT_TRUE(EventStore::open(history_path(database), true, database, &error));
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(history_path(database).c_str(), &other), SQLITE_OK);
    ASSERT_EQ(
        sqlite3_exec(other, "BEGIN IMMEDIATE; DELETE FROM events;", nullptr, nullptr, nullptr),
        SQLITE_OK);
    auto r = recorder();
    const auto before = std::chrono::steady_clock::now();
    r->report({" - ", "Log started", "", true});
    r->report({" - ", "Log ended", "", true});
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(500));
    sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    r->flush();
    EXPECT_EQ(stored(database).size(), 2u);
    EXPECT_TRUE(failures.empty()) << failures[0];
}

// A full disk is told once; the lines wait, bounded, and go in once there is room.
TEST_F(RecorderTest, AFullDiskIsToldOnceAndTheLinesGoInOnceThereIsRoom) {
    const std::string mount_point = dir + "/small";
    std::filesystem::create_directory(mount_point);
    if (mount("tmpfs", mount_point.c_str(), "tmpfs", 0, "size=200k") != 0) {
        GTEST_SKIP() << "no tmpfs mount here";
    }
    database = mount_point + "/office.tsy";
    const std::string filler = mount_point + "/filler";
    {
        auto r = recorder();
        r->report({" - ", "Log started", "", true});
        r->flush();
        std::ofstream(filler, std::ios::binary) << std::string(400 * 1024, 'x');
        for (int i = 0; i < 20; ++i) {
            r->report({"00a3f1", std::string(500, static_cast<char>('a' + i)), "", false});
            if (i % 5 == 4) {
                r->flush();
                EXPECT_EQ(failures.size(), 1u) << "told at once, and only once";
            }
        }
        EXPECT_EQ(stored(database).size(), 1u);
        std::filesystem::remove(filler);
        r->flush();
    }
    const size_t kept = stored(database).size();
    umount2(mount_point.c_str(), MNT_DETACH);
    EXPECT_EQ(kept, 21u);
    ASSERT_FALSE(failures.empty());
    EXPECT_NE(failures[0].find("full"), std::string::npos) << failures[0];
}

// The months the store keeps are applied when it is opened and then once a day by the
// recorder's clock, not with every line.
TEST_F(RecorderTest, TheMonthsToKeepArePrunedOnOpeningAndOnceADay) {
    constexpr int64_t day = 86'400'000;
    std::string error;
    auto old_event = [&](int64_t at) {
        auto store = EventStore::open(history_path(database), true, database, &error);
        std::vector<StoredEvent> e(1);
        e[0].time_ms = at;
        e[0].text = "Log started";
        ASSERT_TRUE(store->append(e, &error)) << error;
        ASSERT_TRUE(store->set_retention_months(1, &error)) << error;
    };
    old_event(time_ms - 40 * day);
    auto r = recorder();
    r->report({" - ", "Log started", "", true});
    r->flush();
    EXPECT_EQ(stored(database).size(), 1u) << "pruned on opening";
    old_event(time_ms - 40 * day);
    time_ms += day / 2;
    r->report({" - ", "Log ended", "", true});
    r->flush();
    EXPECT_EQ(stored(database).size(), 3u) << "not again within the day";
    time_ms += day;
    r->report({" - ", "Log started", "", true});
    r->flush();
    EXPECT_EQ(stored(database).size(), 3u) << "a day later";
    EXPECT_TRUE(failures.empty());
}

int64_t monotonic_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1'000'000'000LL + t.tv_nsec;
}

// A child floods a recorder on the real clock and is killed: what it handed more than a second
// (and a margin for the write itself) before is in the store, and nothing out of order.
TEST_F(RecorderTest, AKillDuringAFloodLosesAtMostTheLastSecond) {
    constexpr int most = 50000;
    auto* handed = static_cast<std::atomic<int64_t>*>(
        mmap(nullptr, sizeof(std::atomic<int64_t>) * (most + 1), PROT_READ | PROT_WRITE,
             MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(handed, MAP_FAILED);
    std::atomic<int64_t>& count = handed[most];
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        HistoryRecorder r([this] { return database; }, {}, {});
        for (int i = 0; i < most; ++i) {
            r.report({" - ", std::to_string(i), "", false});
            handed[i].store(monotonic_ns());
            count.store(i + 1);
            usleep(200);
        }
        _exit(0);
    }
    while (count.load() == 0 || monotonic_ns() - handed[0].load() < 3'900'000'000LL) {
        usleep(1000);
    }
    ASSERT_EQ(kill(child, SIGKILL), 0);
    const int64_t killed = monotonic_ns();
    waitpid(child, nullptr, 0);
    const int64_t handed_count = count.load();
    int64_t must_have = 0;
    while (must_have < handed_count && handed[must_have].load() < killed - 1'250'000'000LL) {
        ++must_have;
    }
    std::vector<StoredEvent> s = stored_all(database);
    munmap(handed, sizeof(std::atomic<int64_t>) * (most + 1));
    ASSERT_GE(static_cast<int64_t>(s.size()), must_have) << "of " << handed_count << " handed";
    for (size_t i = 0; i < s.size(); ++i) {
        ASSERT_EQ(s[i].text, std::to_string(i));
    }
}

} // namespace
