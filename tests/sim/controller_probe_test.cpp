// Asking a port which unit is on it, without a comm thread: each simulated model, the line of
// another model, a silent unit, a cancelled wait and a port that does not open.
#include "controller/controller_probe.h"
#include "sim_controller.h"

#include <gtest/gtest.h>

#include <chrono>

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

TEST(ControllerProbe, AnRd03IsTimedFromTheResetsCrToItsEcho) {
    SimOptions o = model_options(SimModel::Rd03);
    o.line_timing = true;
    SimController sim(o);
    ASSERT_TRUE(sim.start());
    ProbeAnswer a = probe(sim.device());
    ASSERT_EQ(a.kind, ProbeAnswer::Answered);
    ASSERT_TRUE(a.reset_round_trip_us);
    // At least the CR's way there and the echo's way back at 9600 baud; plausibly under 1 s.
    EXPECT_GE(*a.reset_round_trip_us, 2000u);
    EXPECT_LT(*a.reset_round_trip_us, 1'000'000u);
}

TEST(ControllerProbe, TestResultAddsTheEchoRoundTripForUnitsThatEcho) {
    struct Case {
        const char* line;
        std::optional<uint32_t> round_trip_us;
        const char* shown;
    };
    for (const Case& c :
         {Case{"RD-03 V3.0", 1100, "RD-03, echo round trip 1.1 ms"},
          Case{"RD-03 V3.0", 1149, "RD-03, echo round trip 1.1 ms"},
          Case{"RD-07 V1", 16050, "RD-07 V1, echo round trip 16.1 ms"},
          Case{"RD-03 V3.0", std::nullopt, "RD-03"}, Case{"RD-04 V3.0", 1100, "RD-04"}}) {
        EXPECT_EQ(test_result_text(c.line, c.round_trip_us), c.shown);
    }
}

TEST(ControllerProbe, OtherModelsAreShownByTheirWholeLine) {
    for (const char* line : {"RD-07 V1.2 beta", "RD-045 V1", "RD-0x"}) {
        EXPECT_EQ(controller_model(line), line);
    }
    EXPECT_EQ(controller_model("RD-04"), "RD-04");
}

TEST(ControllerProbe, SilentUnitIsNoAnswerOnceItsTimeIsUpOrAtOnceWhenCancelled) {
    SimController sim;
    ASSERT_TRUE(sim.start());
    sim.set_silent(true);
    for (bool cancelled : {false, true}) {
        auto start = std::chrono::steady_clock::now();
        ProbeAnswer a = probe(sim.device(), cancelled ? identify_wait_ms : 300, cancelled);
        auto spent = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(a.kind, cancelled ? ProbeAnswer::Cancelled : ProbeAnswer::NoAnswer);
        EXPECT_TRUE(cancelled ? spent < 2s : spent >= 300ms);
    }
    EXPECT_EQ(sim.received(), "\rr\rr");
}

TEST(ControllerProbe, APortThatDoesNotOpenSaysWhy) {
    ProbeAnswer a = probe("/nonexistent/COM7");
    EXPECT_EQ(a.kind, ProbeAnswer::OpenFailed);
    EXPECT_EQ(a.message,
              "Couldn't gain access to the COM port: there is no device /nonexistent/COM7.");
}
