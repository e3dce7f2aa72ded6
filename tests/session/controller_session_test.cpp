// The session against the simulated controller: what its observers are told, in what order,
// and that the window's and the command line's ways through it reach the controller.
#include "session/controller_session.h"
#include "sim_controller.h"

#include "support/fake_host.h"
#include "support/wait_for.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "events/log_file.h"

#include <filesystem>
#include <fstream>
#include <mutex>

namespace {

// Keeps what it is told as one line each. FakeHost runs "user-interface" calls on the calling
// thread, so the lines may come from the link's and Synchronize's threads.
struct Recorder final : SessionObserver {
    void report(const LogRow& row) override {
        add("report " + row.key_text + " " + row.event_text);
    }
    void link_state(LinkState state) override {
        add(std::string("link ") + link_state_name(state));
    }
    void sync_running(bool running) override { add(running ? "running" : "not running"); }
    void sync_progress(int done, int total) override {
        add(total < 0 ? "progress over"
                      : "progress " + std::to_string(done) + "/" + std::to_string(total));
    }
    void database_changed() override { add("database changed"); }
    void sync_finished(SyncResult result) override {
        add("finished " + std::to_string(static_cast<int>(result)));
    }
    void compare_finished(SyncResult result, const KeyDifference& diff) override {
        add("compared " + std::to_string(static_cast<int>(result)) + " extra " +
            std::to_string(diff.extra.size()));
    }
    void add(const std::string& line) {
        std::lock_guard lock(mutex);
        lines.push_back(line);
    }
    std::vector<std::string> snapshot() {
        std::lock_guard lock(mutex);
        return lines;
    }
    bool has(const std::string& line) {
        return wait_for([&] {
            auto s = snapshot();
            return std::find(s.begin(), s.end(), line) != s.end();
        });
    }
    std::mutex mutex;
    std::vector<std::string> lines;
};

struct SessionTest : ::testing::Test {
    SessionTest() {
        SimOptions o;
        o.door_open_ms = 0;
        sim = std::make_unique<SimController>(o);
    }
    void connect(uint32_t master, const std::vector<uint32_t>& memory) {
        sim->set_memory(master, memory);
        ASSERT_TRUE(sim->start());
        session.link().port_path = [this](uint32_t) { return sim->device(); };
        session.add_observer(&seen);
        session.start(1);
        ASSERT_TRUE(sim->wait_received("r", 10000));
        ASSERT_TRUE(sim->wait_idle(10000));
    }
    void database_key(uint32_t number) {
        ASSERT_GE(session.database().keys.add(KeyId{0, number, 0}), 0);
    }

    FakeHost host;
    std::unique_ptr<SimController> sim;
    ControllerSession session{host, system_clock()};
    Recorder seen;
};

TEST_F(SessionTest, ObserversHearTheLinkComeAndGoAndEveryLineTheLogTakes) {
    connect(0x100, {});
    EXPECT_TRUE(seen.has("link connected"));
    sim->present_key(0xfffffe, SimKeyKind::Invalid);
    ASSERT_TRUE(wait_for([&] {
        for (const std::string& l : seen.snapshot()) {
            if (l.rfind("report fffffe ", 0) == 0) {
                return true;
            }
        }
        return false;
    }));
    session.stop();
    EXPECT_EQ(seen.snapshot().back(), "link none");
    EXPECT_EQ(session.link_state(), LinkState::None);
}

TEST_F(SessionTest, SynchronizeOnItsThreadTellsItsRunAndEndKeepingTheControllersKeys) {
    database_key(0x10);
    connect(0x100, {0x20});
    SyncOptions keep;
    keep.extra_keys = ExtraKeys::Keep;
    ASSERT_TRUE(session.synchronize(keep));
    EXPECT_FALSE(session.synchronize(keep)) << "a second run while the first goes";
    ASSERT_TRUE(seen.has("finished " + std::to_string(static_cast<int>(SyncResult::Done))));
    std::vector<std::string> s = seen.snapshot();
    // In this order, with the transfer's lines between them.
    auto at = [&](const std::string& line) {
        return std::find(s.begin(), s.end(), line) - s.begin();
    };
    EXPECT_LT(at("running"), at("database changed"));
    EXPECT_LT(at("database changed"), at("progress 0/1"));
    EXPECT_LT(at("progress over"), at("not running"));
    EXPECT_LT(at("not running"), at("finished 8"));
    EXPECT_EQ(session.database().keys.size(), 3) << "the database gained the master and 0x20";

    ASSERT_TRUE(session.compare());
    EXPECT_TRUE(
        seen.has("compared " + std::to_string(static_cast<int>(SyncResult::Done)) + " extra 0"));
}

TEST_F(SessionTest, TheCallingThreadsWayReturnsTheResultAndAnObserverRemovedHearsNoMore) {
    database_key(0x100);
    database_key(0x10);
    connect(0x100, {0x10});
    KeyDifference diff;
    EXPECT_EQ(session.compare_here(diff), SyncResult::Done);
    EXPECT_TRUE(diff.to_add.empty() && diff.extra.empty());
    EXPECT_THAT(diff.master, ::testing::Field(&KeyId::number, 0x100u));
    session.remove_observer(&seen);
    const size_t heard = seen.snapshot().size();
    EXPECT_EQ(session.synchronize_here({}), SyncResult::UpToDate);
    EXPECT_EQ(seen.snapshot().size(), heard);
}

// A history made now is filled from the log file, its progress shown where a window shows it.
TEST_F(SessionTest, ANewHistoryIsFilledFromTheLogFilesWithItsProgressInTheStatusBar) {
    char name[] = "/tmp/tessary-session-XXXXXX";
    const std::string dir = mkdtemp(name);
    std::ofstream(dir + "/office.log", std::ios::binary)
        << log_file_line("2026/12/8 9:05", " - ", "Log started");
    session.database().file_name = dir + "/office.tsy";
    session.keep_history(true);
    session.logger().add_log_line(" - ", "Log ended", true);
    EXPECT_TRUE(wait_for([&] {
        const std::vector<std::string> s = host.status_snapshot();
        return !s.empty() && s.back() == "Ready";
    }));
    EXPECT_THAT(host.status_snapshot(),
                ::testing::Contains("Filling the event history from the log files: 99 %"));
    session.keep_history(false);
    std::filesystem::remove_all(dir);
}

} // namespace
