// Starting and stopping the comm thread: the opening failures, the stop's wait while the thread
// is calling into the user-interface thread, and never two threads at once.
#include "controller/link.h"
#include "sim_controller.h"

#include "support/fake_clock.h"
#include "support/fake_host.h"
#include "support/link_fixture.h"
#include "support/queue_host.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

template <class HostT> using Bench = LinkFixture<HostT>;

const char* access_text = "Couldn't gain access to the COM port. Is another application using it?";
// A device that is not there: the message names the path tried.
const std::string missing_text =
    "Couldn't gain access to the COM port: there is no device /nonexistent/COM7.";

TEST(CommThread, StopWithoutAThreadDoesNothing) {
    Bench<FakeHost> b;
    b.link.stop();
    EXPECT_FALSE(b.link.stop_requested());
    EXPECT_TRUE(b.host.boxes_snapshot().empty());
}

TEST(CommThread, MissingPortGivesTheAccessMessageOnceAndNoLink) {
    Bench<FakeHost> b;
    b.link.port_path = [](uint32_t) { return std::string("/nonexistent/COM7"); };
    b.link.start(7);
    ASSERT_TRUE(wait_for([&] { return !b.link.active(); }));
    auto boxes = b.host.boxes_snapshot();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, "Tessary - Serial communications");
    EXPECT_EQ(boxes[0].text, missing_text);
    EXPECT_EQ(boxes[0].icon, MsgIcon::Error);
    EXPECT_FALSE(b.link.post(request_open_door_a));
    EXPECT_EQ(b.host.boxes_snapshot().size(), 2u); // "no active COM port"
}

// A user who has not yet answered the comm thread's own box: the box holds that thread, so a
// stop cannot see it end within its wait.
class HoldingHost final : public FakeHost {
  public:
    MsgAnswer message_box(const std::string& caption, const std::string& text, MsgIcon icon,
                          MsgButtons buttons, MsgAnswer default_button) override {
        MsgAnswer a = FakeHost::message_box(caption, text, icon, buttons, default_button);
        if (text == missing_text) {
            std::unique_lock lock(hold_mutex);
            held = true;
            hold_cv.notify_all();
            hold_cv.wait(lock, [&] { return released; });
        }
        return a;
    }
    void release() {
        std::lock_guard lock(hold_mutex);
        released = true;
        hold_cv.notify_all();
    }
    bool wait_held() {
        std::unique_lock lock(hold_mutex);
        return hold_cv.wait_for(lock, 10s, [&] { return held; });
    }
    std::mutex hold_mutex;
    std::condition_variable hold_cv;
    bool held = false;
    bool released = false;
};

TEST(CommThread, AThreadThatDoesNotEndInTimeGivesTheStopsMessage) {
    Bench<HoldingHost> b;
    struct Release {
        HoldingHost& host;
        ~Release() { host.release(); } // also when an assertion ends the test early
    } release{b.host};
    b.link.port_path = [](uint32_t) { return std::string("/nonexistent/COM7"); };
    b.link.start(7);
    ASSERT_TRUE(b.host.wait_held());
    auto begun = std::chrono::steady_clock::now();
    b.link.stop();
    EXPECT_GE(std::chrono::steady_clock::now() - begun, 900ms); // it did wait for the thread
    auto boxes = b.host.boxes_snapshot();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[1].caption, "Tessary - RD Manager");
    EXPECT_EQ(boxes[1].text, "There is a problem with the serial communications.\nIt is probably "
                             "best to restart Tessary.");
    EXPECT_EQ(boxes[1].icon, MsgIcon::Error);
    EXPECT_EQ(boxes[1].buttons, MsgButtons::Ok);
    b.host.release();
    ASSERT_TRUE(wait_for([&] { return !b.link.active(); }));
}

TEST(CommThread, PortHeldByAnotherProgramGivesTheAccessMessage) {
    SimController sim;
    ASSERT_TRUE(sim.start());
    int other = open(sim.device().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    Bench<FakeHost> b;
    b.link.port_path = [&](uint32_t) { return sim.device(); };
    b.link.start(1);
    ASSERT_TRUE(wait_for([&] { return !b.link.active(); }));
    ASSERT_EQ(b.host.boxes_snapshot().size(), 1u);
    EXPECT_EQ(b.host.boxes_snapshot()[0].text, access_text);
    EXPECT_EQ(sim.received(), "");
    close(other);
}

// A FIFO: no terminal, yet opened as a port (a text file would be a malformed port entry).
TEST(CommThread, NotATerminalGivesTheParametersMessage) {
    char path[] = "/tmp/tessary-notatty-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_EQ(unlink(path), 0);
    ASSERT_EQ(mkfifo(path, 0600), 0);
    Bench<FakeHost> b;
    b.link.port_path = [&](uint32_t) { return std::string(path); };
    b.link.start(1);
    ASSERT_TRUE(wait_for([&] { return !b.link.active(); }));
    auto boxes = b.host.boxes_snapshot();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, "Tessary - Serial communications");
    EXPECT_EQ(boxes[0].text, "Couldn't set the COM parameters. Is it the right COM port?\nReason: "
                             "Inappropriate ioctl for device");
    // The port was closed again: another program may lock it now.
    int again = open(path, O_RDWR);
    EXPECT_EQ(flock(again, LOCK_EX | LOCK_NB), 0);
    close(again);
    unlink(path);
}

TEST(CommThread, TheLinkHoldsThePortExclusivelyAndReleasesItOnStop) {
    SimController sim;
    ASSERT_TRUE(sim.start());
    char dir[] = "/tmp/tessary-ports-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    ASSERT_TRUE(sim.link_as(dir, 4));
    setenv("TESSARY_PORT_DIR", dir, 1);
    Bench<FakeHost> b; // default port mapping: $TESSARY_PORT_DIR/COM4
    EXPECT_TRUE(probe_com_port(4));
    b.link.start(4);
    ASSERT_TRUE(sim.wait_received("\rr", 10000));
    EXPECT_FALSE(probe_com_port(4));
    b.link.stop();
    EXPECT_FALSE(b.link.active());
    EXPECT_TRUE(probe_com_port(4));
    EXPECT_TRUE(b.host.boxes_snapshot().empty());
    unsetenv("TESSARY_PORT_DIR");
    sim.stop();
    rmdir(dir);
}

TEST(CommThread, StopServesTheThreadsCallsInsteadOfDeadlocking) {
    SimController sim;
    sim.set_memory(0x10, {0x20});
    ASSERT_TRUE(sim.start());
    Bench<QueueHost> b;
    b.link.port_path = [&](uint32_t) { return sim.device(); };
    b.link.start(1);
    ASSERT_TRUE(sim.wait_received("\rr", 10000));
    // A stream of reports: the comm thread is nearly always inside run_on_ui, waiting for the
    // user-interface thread, which here is this thread.
    for (int i = 0; i < 200; ++i) {
        sim.present_key(0x1000 + static_cast<uint32_t>(i));
    }
    ASSERT_TRUE(wait_for([&] {
        b.host.serve();
        return b.log.size() >= 5;
    }));
    b.link.stop();
    EXPECT_FALSE(b.link.active());
    EXPECT_TRUE(b.host.boxes.boxes_snapshot().empty()); // no "problem with the serial" box
}

TEST(CommThread, StartWhileRunningEndsTheOldThreadFirst) {
    SimController first;
    SimController second;
    ASSERT_TRUE(first.start());
    ASSERT_TRUE(second.start());
    Bench<FakeHost> b;
    b.link.port_path = [&](uint32_t port) { return port == 1 ? first.device() : second.device(); };
    b.link.start(1);
    ASSERT_TRUE(first.wait_received("\rr", 10000));
    b.link.start(2);
    ASSERT_TRUE(second.wait_received("\rr", 10000));
    EXPECT_TRUE(b.link.active());
    // The old link let go of its port: another program can have it.
    EXPECT_TRUE(wait_for([&] {
        int fd = open(first.device().c_str(), O_RDWR | O_NOCTTY);
        bool free = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
        if (fd >= 0) {
            close(fd);
        }
        return free;
    }));
    // A request posted before the new receive loop has started is dropped by it: repeat.
    bool served = false;
    for (int i = 0; i < 50 && !served; ++i) {
        ASSERT_TRUE(b.link.post(request_open_door_b));
        served = second.wait_until([] { return false; }, 0) || second.wait_received("b", 200) ||
                 second.received().find('b') != std::string::npos;
    }
    EXPECT_TRUE(served);
    EXPECT_EQ(first.received(), "\rr");
    EXPECT_TRUE(b.host.boxes_snapshot().empty());
}

TEST(CommThread, AStopRightAfterAStartIsNeverSkipped) {
    SimController sim;
    ASSERT_TRUE(sim.start());
    Bench<FakeHost> b;
    b.link.port_path = [&](uint32_t) { return sim.device(); };
    for (int i = 0; i < 5; ++i) {
        b.link.start(1);
        b.link.stop();
        EXPECT_FALSE(b.link.active());
    }
    EXPECT_TRUE(b.host.boxes_snapshot().empty());
}

} // namespace
