// The link against the simulated controller over real pseudo-terminals, for both pacings.
#include "controller/link.h"
#include "sim_controller.h"

#include "support/fake_clock.h"
#include "support/fake_host.h"
#include "support/hex_dump.h"
#include "support/link_fixture.h"
#include "support/recording_log.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>

namespace {

using namespace std::chrono_literals;
constexpr int long_wait_ms = 10000; // generous: the machine may be loaded

struct Rig : LinkFixture<FakeHost> {
    Rig(SimModel model, Clock& clock) : LinkFixture(clock), sim(options(model)) {
        EXPECT_TRUE(sim.start());
        link.port_path = [this](uint32_t) { return sim.device(); };
    }
    ~Rig() { link.stop(); }

    // The bytes of the unit that the link counts as received.
    static uint32_t counted(const std::string& sent) {
        uint32_t n = 0;
        for (char c : sent) {
            n += c != '\n' && c != 0x11 && c != 0x13;
        }
        return n;
    }

    static SimOptions options(SimModel model) {
        SimOptions o;
        o.model = model;
        o.door_open_ms = 0;
        return o;
    }

    // Starts the link and waits until the receive loop runs and has taken the identification.
    void connect() {
        link.start(1);
        ASSERT_TRUE(sim.wait_until([&] { return true; }, 1));
        ASSERT_TRUE(wait_for([&] { return sim.resets() >= 1; }));
        sim.present_key(0xfffffe, SimKeyKind::Invalid);
        ASSERT_TRUE(wait_for([&] {
            for (const auto& l : log.lines()) {
                if (l.key == "fffffe") {
                    return true;
                }
            }
            return false;
        }));
        // The prompt after the report too: a command posted before it arrives would take it
        // for the echo its test holds back.
        ASSERT_TRUE(sim.wait_idle(long_wait_ms));
        ASSERT_TRUE(wait_for([&] { return link.bytes_received() == counted(sim.sent()); }));
        log.clear();
    }

    bool wait_lines(size_t n) {
        return wait_for([&] { return log.size() >= n; });
    }

    std::vector<uint32_t> controller_numbers() {
        std::vector<uint32_t> out;
        host.run_on_ui([&] {
            for (const KeyRecord& key : controller) {
                out.push_back(key.id.number);
            }
        });
        return out;
    }
    void add_db_key(uint32_t number, const char* name, const char* memo = "") {
        host.run_on_ui([&] { db.keys.add(KeyId{0, number, 0}, name, memo); });
    }

    SimController sim;
};

std::vector<KeyId> ids(std::initializer_list<uint32_t> numbers) {
    std::vector<KeyId> out;
    for (uint32_t n : numbers) {
        out.push_back(KeyId{0, n, 0});
    }
    return out;
}

class LinkSim : public ::testing::TestWithParam<SimModel> {
  protected:
    bool rd04() const { return GetParam() == SimModel::Rd04; }
};

INSTANTIATE_TEST_SUITE_P(Models, LinkSim, ::testing::Values(SimModel::Rd04, SimModel::Rd03),
                         [](const auto& info) {
                             return info.param == SimModel::Rd04 ? "RD04" : "RD03";
                         });

TEST_P(LinkSim, ResetTransmissionComesBeforeAnythingElse) {
    Rig rig(GetParam(), system_clock());
    rig.connect();
    ASSERT_TRUE(rig.link.post(request_open_door_a));
    ASSERT_TRUE(rig.sim.wait_received("o", long_wait_ms));
    EXPECT_TRUE(same_bytes("\rro", rig.sim.received()));
}

TEST_P(LinkSim, DoorsPostedTogetherOpenInOrder) {
    Rig rig(GetParam(), system_clock());
    rig.connect();
    ASSERT_TRUE(rig.link.post(request_open_door_a));
    ASSERT_TRUE(rig.link.post(request_open_door_b));
    ASSERT_TRUE(rig.wait_lines(2));
    EXPECT_TRUE(same_bytes("\rrob", rig.sim.received()));
    EXPECT_EQ(rig.log.lines(), (std::vector<LoggedLine>{{"", "Door A is open ", false},
                                                        {"", "Door B is open ", false}}));
    EXPECT_EQ(rig.sim.pacing_violations(), 0);
}

TEST_P(LinkSim, ReadOutFillsTheControllerKeyList) {
    Rig rig(GetParam(), system_clock());
    rig.sim.set_memory(0x10, {0x20, 0xabcdef, 0x30});
    rig.connect();
    ASSERT_TRUE(rig.link.post(request_readout));
    ASSERT_TRUE(wait_for([&] { return rig.decoder.state.readout_done.load(); }));
    EXPECT_EQ(rig.controller_numbers(), (std::vector<uint32_t>{0x10, 0x20, 0xabcdef, 0x30}));
    EXPECT_EQ(rig.log.lines(),
              (std::vector<LoggedLine>{{" - ", "Performed synchronization with RD-unit.", true}}));
    // A second read-out replaces the list.
    rig.sim.set_memory(0x11, {});
    rig.decoder.state.readout_done.store(false);
    ASSERT_TRUE(rig.link.post(request_readout));
    ASSERT_TRUE(wait_for([&] { return rig.decoder.state.readout_done.load(); }));
    EXPECT_EQ(rig.controller_numbers(), (std::vector<uint32_t>{0x11}));
}

TEST_P(LinkSim, AddAndDeleteTransfersGoLastToFirstAndAreAcknowledged) {
    Rig rig(GetParam(), system_clock());
    rig.sim.set_memory(0x10, {});
    rig.connect();
    rig.sim.clear_record();
    auto keys = ids({1, 2, 0xab});
    EXPECT_TRUE(send_add_keys(rig.link, keys));
    EXPECT_TRUE(same_bytes("n0000ab\rn000002\rn000001\r", rig.sim.received()));
    EXPECT_EQ(rig.sim.memory(), (std::vector<uint32_t>{0x10, 0xab, 2, 1}));

    rig.sim.clear_record();
    auto gone = ids({0x10, 2});
    EXPECT_TRUE(send_delete_keys(rig.link, gone));
    EXPECT_TRUE(same_bytes("d000002\rd000010\r", rig.sim.received()));
    EXPECT_EQ(rig.sim.memory(), (std::vector<uint32_t>{0xab, 1}));
    EXPECT_EQ(rig.sim.pacing_violations(), 0);

    // The pacing on the wire: whole commands for the RD-04, one byte per echo otherwise.
    for (const std::string& chunk : rig.sim.received_chunks()) {
        EXPECT_EQ(chunk.size(), rd04() ? 8u : 1u) << hex_dump(chunk);
    }
    EXPECT_TRUE(rig.host.boxes_snapshot().empty());
}

TEST_P(LinkSim, EmptyTransferIsTrueAtOnceAndSendsNothing) {
    Rig rig(GetParam(), system_clock());
    rig.connect();
    rig.sim.clear_record();
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(send_add_keys(rig.link, {}));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 90ms);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(rig.sim.received(), "");
}

TEST_P(LinkSim, RefusedKeyGivesFalseFiveSecondsAfterTheLastLoad) {
    FakeClock clock;
    Rig rig(GetParam(), clock);
    rig.sim.set_memory(0x10, {});
    rig.sim.refuse_key(2);
    rig.connect();
    clock.auto_advance.store(true);
    auto keys = ids({1, 2, 3});
    uint32_t t0 = clock.tick_ms();
    auto real0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(send_add_keys(rig.link, keys));
    uint32_t spent = clock.tick_ms() - t0;
    EXPECT_GE(spent, 5000u);
    // The loading itself runs at real speed while the fake clock's waits move 25 ms per real
    // millisecond, so a loaded machine stretches it; a wait counted per key would be 15000.
    EXPECT_LT(spent, 5000u + 5000u);
    EXPECT_LT(std::chrono::steady_clock::now() - real0, 5s); // no real 5 s sleep
    EXPECT_EQ(rig.sim.commands('n'), 3);
    EXPECT_EQ(rig.sim.memory(), (std::vector<uint32_t>{0x10, 3, 1}));
}

TEST_P(LinkSim, StopDuringATransferGivesFalsePromptly) {
    Rig rig(GetParam(), system_clock());
    rig.connect();
    rig.sim.set_silent(true); // the first command is never acknowledged
    auto keys = ids({1, 2, 3, 4});
    auto result = std::async(std::launch::async, [&] { return send_add_keys(rig.link, keys); });
    // Whatever fails below, the transfer must end before its future is destroyed.
    struct StopFirst {
        Link& link;
        ~StopFirst() { link.stop(); }
    } stop_first{rig.link};
    ASSERT_TRUE(rig.sim.wait_received(rd04() ? "n000004\r" : "n", long_wait_ms));
    rig.link.stop();
    auto stopped = std::chrono::steady_clock::now();
    ASSERT_EQ(result.wait_for(3s), std::future_status::ready);
    EXPECT_FALSE(result.get());
    auto late = std::chrono::steady_clock::now() - stopped;
    EXPECT_LT(late, 1000ms) << "took "
                            << std::chrono::duration_cast<std::chrono::milliseconds>(late).count()
                            << " ms";
    EXPECT_FALSE(rig.link.active());
    EXPECT_TRUE(rig.host.boxes_snapshot().empty());
}

TEST_P(LinkSim, WatchdogFiresOncePerLoad) {
    FakeClock clock;
    Rig rig(GetParam(), clock);
    rig.sim.set_silent(true);
    rig.link.start(1);
    ASSERT_TRUE(rig.sim.wait_received("\rr", long_wait_ms));
    std::this_thread::sleep_for(100ms); // the receive loop has started and marked the time
    clock.advance(5001);
    ASSERT_TRUE(wait_for([&] { return rig.host.boxes_snapshot().size() == 1; }));
    // The flag follows the box (which holds the comm thread until it is answered).
    EXPECT_TRUE(wait_for([&] { return rig.decoder.state.no_response_seen.load(); }));
    clock.advance(20000);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(rig.host.boxes_snapshot().size(), 1u);

    ASSERT_TRUE(rig.link.post(request_open_door_a));
    ASSERT_TRUE(rig.sim.wait_received("o", long_wait_ms));
    std::this_thread::sleep_for(20ms);
    clock.advance(5000);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(rig.host.boxes_snapshot().size(), 1u);
    clock.advance(1);
    ASSERT_TRUE(wait_for([&] { return rig.host.boxes_snapshot().size() == 2; }));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(rig.host.boxes_snapshot().size(), 2u);
    EXPECT_EQ(rig.host.boxes_snapshot()[1].text,
              "Tessary didn't get a response from the key controller.\nIs the controller "
              "properly connected to this computer?");
}

TEST_P(LinkSim, RepeatSuppressionWindowsFollowTheClock) {
    FakeClock clock;
    Rig rig(GetParam(), clock);
    rig.sim.set_memory(0x10, {0x42});
    rig.connect();
    rig.sim.present_key(0x42);
    ASSERT_TRUE(rig.wait_lines(1));
    clock.advance(1500);
    rig.sim.present_key(0x42); // dropped
    rig.sim.present_key(0x43); // another key: its own line
    ASSERT_TRUE(rig.wait_lines(2));
    clock.advance(2500);
    rig.sim.present_key(0x43);
    ASSERT_TRUE(rig.wait_lines(3));
    rig.sim.contact_shorted();
    ASSERT_TRUE(rig.wait_lines(4));
    clock.advance(30000);
    rig.sim.contact_shorted(); // dropped: within the minute
    rig.sim.open_door(true);
    ASSERT_TRUE(rig.wait_lines(5));
    clock.advance(30001);
    rig.sim.contact_shorted();
    ASSERT_TRUE(rig.wait_lines(6));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(rig.log.lines(), (std::vector<LoggedLine>{
                                   {"000042", "Valid key.", false},
                                   {"000043", "Invalid key detected.", true},
                                   {"000043", "Invalid key detected.", true},
                                   {"", "Door A contact shorted ", true},
                                   {"", "Door B is open ", false},
                                   {"", "Door A contact shorted ", true},
                               }));
}

TEST_P(LinkSim, EveryEventTextWithItsHighlight) {
    FakeClock clock;
    Rig rig(GetParam(), clock);
    rig.sim.set_memory(0x10, {0x42, 0x43});
    rig.add_db_key(0x42, "Alice", "Night shift");
    rig.add_db_key(0x10, "Boss");
    rig.connect();
    std::vector<std::function<void()>> steps = {
        [&] { rig.sim.present_key(0x42, SimKeyKind::Auto, false, true); },
        [&] { rig.sim.present_key(0x43, SimKeyKind::Auto, true, true); },
        [&] { rig.sim.present_key(0x99); },
        [&] { rig.sim.present_key(0x10); },
        [&] { rig.sim.manual_add(0x77); },
        [&] { rig.sim.manual_delete(0x43); },
        [&] { rig.sim.penalty(0x98, true); },
        [&] { rig.sim.contact_shorted(true); },
        [&] { rig.sim.door_closed(false); },
        [&] { rig.link.post(request_clear_memory); },
        [&] { rig.sim.present_key(0x55); }, // the first key after a clear becomes the master
    };
    size_t expected_lines[] = {2, 3, 4, 5, 8, 11, 13, 14, 15, 16, 19};
    for (size_t i = 0; i < steps.size(); ++i) {
        clock.advance(3000); // outside every repeat window but the contact's
        steps[i]();
        ASSERT_TRUE(rig.wait_lines(expected_lines[i])) << "step " << i;
    }
    std::this_thread::sleep_for(50ms);
    std::vector<LoggedLine> want = {
        {"000042", "Valid key: Alice.  Door A is open.", false},
        {"", "Memo: \"Night shift\"", false},
        {"000043", "Valid key.  Door B is open.", false},
        {"000099", "Invalid key detected.", true},
        {"000010", "Master key: Boss.", false},
        {"000077", "Invalid key detected.", true},
        {"000010", "Master key: Boss.", false},
        {"000077", "Key added manually", true},
        {"000043", "Valid key.", false},
        {"000010", "Master key: Boss.", false},
        {"000043", "Key deleted manually", true},
        {"000098", "Invalid key detected.", true},
        {"", "Door B temporarily blocked as penalty ", true},
        {"", "Door B contact shorted ", true},
        {"", "Door A closed ", false},
        {"", "The key controller's memory was cleared, including the master", true},
        {"", "The key controller is being initialized with a new master key", true},
        {"000055", "Master key.", false},
        {"", "The key controller's memory has been initialized with this key as the new master",
         true},
    };
    auto got = rig.log.lines();
    ASSERT_EQ(got.size(), 19u);
    EXPECT_EQ(got, want);
    EXPECT_EQ(rig.sim.memory(), (std::vector<uint32_t>{0x55}));
}

TEST_P(LinkSim, PageFullAtCapacityRaisesTheSignalAndRefusesTheAdd) {
    FakeClock clock;
    Rig rig(GetParam(), clock);
    rig.sim.set_memory(0x10, {0x11});
    rig.sim.set_capacity(3);
    rig.connect();
    rig.sim.manual_add(0x12); // fits: three keys now
    ASSERT_TRUE(rig.wait_lines(3));
    EXPECT_FALSE(rig.decoder.state.page_full_seen.load());
    clock.advance(3000);
    rig.sim.manual_add(0x14);
    ASSERT_TRUE(wait_for([&] { return rig.decoder.state.page_full_seen.load(); }));
    ASSERT_TRUE(rig.wait_lines(6));
    auto lines = rig.log.lines();
    EXPECT_EQ(lines[5], (LoggedLine{"000014",
                                    "Attempt to add key manually failed: EEPROM key memory page "
                                    "is full",
                                    true}));
    // An add from the program into the full page is refused and reported the same way.
    rig.decoder.state.page_full_seen.store(false);
    clock.auto_advance.store(true);
    auto keys = ids({0x13});
    EXPECT_FALSE(send_add_keys(rig.link, keys));
    clock.auto_advance.store(false);
    ASSERT_TRUE(wait_for([&] { return rig.decoder.state.page_full_seen.load(); }));
    EXPECT_EQ(rig.sim.memory(), (std::vector<uint32_t>{0x10, 0x11, 0x12}));
}

TEST_P(LinkSim, LineNoiseAndMalformedReportsDoNotDerailTheLink) {
    Rig rig(GetParam(), system_clock());
    rig.sim.set_memory(0x10, {});
    rig.connect();
    // Noise inside and between messages, a report cut short, a bad door letter, an overlong
    // message, then a well-formed report that must come through intact.
    std::string noise = std::string("\x11\n\x13") + "\xff\x80garbage<zz.1\r>Q\r<01.00000000" +
                        std::string(150, 'x') + "\r<01.0000000\n000aa.\x13" + "0b+K\r";
    rig.sim.send_raw(rd04() ? noise : noise + " ");
    ASSERT_TRUE(rig.wait_lines(1));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(rig.log.lines(), (std::vector<LoggedLine>{{"0000aa", "Valid key.", false}}));
    auto keys = ids({5});
    EXPECT_TRUE(send_add_keys(rig.link, keys));
}

TEST(LinkSimSwitch, IdentificationSwitchesThePacing) {
    Rig rig(SimModel::Rd04, system_clock());
    rig.sim.set_memory(0x10, {});
    rig.connect();
    // The whole line is published for whoever waits for it.
    EXPECT_EQ(rig.link.identification().line, "RD-04 V2.1");
    const uint32_t seen = rig.link.identification().count;
    rig.sim.clear_record();
    auto keys = ids({1});
    ASSERT_TRUE(send_add_keys(rig.link, keys));
    EXPECT_EQ(rig.sim.received_chunks(), (std::vector<std::string>{"n000001\r"}));

    rig.sim.set_model(SimModel::Rd03); // announced at the next reset
    ASSERT_TRUE(rig.link.post(request_reset));
    ASSERT_TRUE(wait_for([&] { return rig.sim.resets() == 2; }));
    ASSERT_TRUE(wait_for([&] { return rig.link.identification().count == seen + 1; }));
    EXPECT_EQ(rig.link.identification().line, "RD-03 V2.1");
    std::this_thread::sleep_for(100ms);
    rig.sim.clear_record();
    auto more = ids({2});
    ASSERT_TRUE(send_add_keys(rig.link, more));
    EXPECT_EQ(rig.sim.received_chunks(),
              (std::vector<std::string>{"n", "0", "0", "0", "0", "0", "2", "\r"}));
    EXPECT_EQ(rig.sim.pacing_violations(), 0);
}

TEST(LinkSimRd03, ResetBetweenTheBytesOfAHalfSentClear) {
    Rig rig(SimModel::Rd03, system_clock());
    rig.connect();
    // The prompt after the connecting report must have been taken in first: arriving after the
    // "c" it would pass for its echo, and the "!" would follow.
    ASSERT_TRUE(rig.sim.wait_idle(long_wait_ms));
    std::this_thread::sleep_for(100ms);
    rig.sim.set_silent(true); // holds back the echo of "c"
    ASSERT_TRUE(rig.link.post(request_clear_memory));
    ASSERT_TRUE(rig.sim.wait_received("c", long_wait_ms));
    ASSERT_TRUE(rig.link.post(request_reset));
    ASSERT_TRUE(rig.sim.wait_received("c\rr", long_wait_ms));
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(same_bytes("\rrc\rr", rig.sim.received()));
    rig.sim.set_silent(false);
    rig.sim.send_raw("\rRD-03 V2.1\r "); // what the unit says after its reset
    ASSERT_TRUE(rig.sim.wait_received("!", long_wait_ms));
    EXPECT_TRUE(same_bytes("\rrc\rr!", rig.sim.received()));
}

} // namespace
