// Asking a port which unit is on it, without a comm thread: each simulated model, a unit of
// another model, a silent one, a cancelled wait and a port that does not open.
#include "controller/controller_probe.h"
#include "sim_controller.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

ProbeAnswer probe(const std::string& entry, uint32_t timeout_ms = identify_wait_ms,
                  bool cancelled = false) {
    std::atomic<bool> cancel{cancelled};
    return identify_controller(entry, system_clock(), timeout_ms, cancel);
}

SimOptions model_options(SimModel model) {
    SimOptions o;
    o.model = model;
    o.version = "V3.0";
    return o;
}

} // namespace

TEST(ControllerProbe, EachModelIsNamedByItsIdentificationLine) {
    struct Case {
        SimModel model;
        const char* line;
        const char* shown;
    };
    for (const Case& c : {Case{SimModel::Rd04, "RD-04 V3.0", "RD-04"},
                          Case{SimModel::Rd03, "RD-03 V3.0", "RD-03"}}) {
        SimController sim(model_options(c.model));
        ASSERT_TRUE(sim.start());
        ProbeAnswer a = probe(sim.device());
        EXPECT_EQ(a.kind, ProbeAnswer::Answered) << c.line;
        EXPECT_EQ(a.line, c.line);
        EXPECT_EQ(controller_model(a.line), c.shown);
        EXPECT_EQ(sim.received(), "\rr");
        EXPECT_EQ(sim.resets(), 1);
    }
}

TEST(ControllerProbe, AnotherModelIsShownByItsWholeLine) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string slave = ptsname(master);
    // Answers the reset's "r" with noise, then a line of a model the program does not know.
    std::thread unit([master] {
        std::string got;
        while (got.find('r') == std::string::npos) {
            pollfd p{master, POLLIN, 0};
            char bytes[16];
            if (::poll(&p, 1, 5000) <= 0) {
                return;
            }
            ssize_t n = ::read(master, bytes, sizeof bytes);
            if (n <= 0) {
                return;
            }
            got.append(bytes, static_cast<size_t>(n));
        }
        const std::string answer = "\r\n12 x\r\nRD-07 V1.2 beta\r";
        [[maybe_unused]] ssize_t n = ::write(master, answer.data(), answer.size());
    });
    ProbeAnswer a = probe(slave);
    unit.join();
    ::close(master);
    EXPECT_EQ(a.kind, ProbeAnswer::Answered);
    EXPECT_EQ(a.line, "RD-07 V1.2 beta");
    EXPECT_EQ(controller_model(a.line), "RD-07 V1.2 beta");
    EXPECT_EQ(controller_model("RD-04"), "RD-04");
    EXPECT_EQ(controller_model("RD-045 V1"), "RD-045 V1");
}

TEST(ControllerProbe, SilentUnitIsNoAnswerOnceItsTimeIsUp) {
    SimController sim;
    ASSERT_TRUE(sim.start());
    sim.set_silent(true);
    auto start = std::chrono::steady_clock::now();
    ProbeAnswer a = probe(sim.device(), 300);
    EXPECT_EQ(a.kind, ProbeAnswer::NoAnswer);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
    EXPECT_TRUE(sim.wait_received("\rr", 1000));
    // The port was let go: the next probe opens it again.
    sim.set_silent(false);
    EXPECT_EQ(probe(sim.device()).kind, ProbeAnswer::Answered);
}

TEST(ControllerProbe, CancelEndsTheWaitAtOnce) {
    SimController sim;
    ASSERT_TRUE(sim.start());
    sim.set_silent(true);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(probe(sim.device(), identify_wait_ms, true).kind, ProbeAnswer::Cancelled);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

TEST(ControllerProbe, APortThatDoesNotOpenSaysWhy) {
    ProbeAnswer a = probe("/nonexistent/COM7");
    EXPECT_EQ(a.kind, ProbeAnswer::OpenFailed);
    EXPECT_EQ(a.message,
              "Couldn't gain access to the COM port: there is no device /nonexistent/COM7.");
}
