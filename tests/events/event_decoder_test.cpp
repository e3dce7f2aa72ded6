#include "events/event_decoder.h"

#include "support/fake_clock.h"
#include "support/fake_host.h"
#include "support/recording_log.h"

#include <gtest/gtest.h>

namespace {

KeyId key(uint32_t number, uint32_t first = 0, uint32_t last = 0) {
    return KeyId{first, number, last};
}

class DecoderTest : public ::testing::Test {
  protected:
    DecoderTest() {}

    void add_db_key(uint32_t number, const char* name, const char* memo = "") {
        ASSERT_GE(db.keys.add(key(number), name, memo), 0);
    }

    void decode(const EventRecord& r, KeyId k = {}, KeyId manual = {}) {
        decode_event(ctx, r, k, manual);
    }

    EventRecord key_report(bool valid = true) {
        EventRecord r;
        r.key_event = true;
        r.key_valid = valid;
        return r;
    }

    std::vector<uint32_t> controller_numbers() {
        std::vector<uint32_t> out;
        for (const KeyRecord& key : controller) {
            out.push_back(key.id.number);
        }
        return out;
    }

    FakeHost host;
    FakeClock clock;
    RecordingLog log;
    KeyDatabase db;
    KeyList controller;
    DecoderContext ctx{host, clock, log, db, controller};
};

TEST_F(DecoderTest, KeyLineTextsFollowTheControllerFlagsOnly) {
    add_db_key(0x1234ab, "Caretaker");
    EventRecord master = key_report();
    master.key_master = true;
    decode(master, key(0x1234ab));
    clock.advance(3000);
    decode(key_report(true), key(0x1234ab));
    clock.advance(3000);
    decode(key_report(false), key(0x1234ab));
    clock.advance(3000);
    decode(key_report(false), key(0x00000a));
    EXPECT_EQ(log.lines(), (std::vector<LoggedLine>{
                               {"1234ab", "Master key: Caretaker.", false},
                               {"1234ab", "Valid key: Caretaker.", false},
                               {"1234ab", "Invalid key detected: Caretaker.", true},
                               {"00000a", "Invalid key detected.", true},
                           }));
}

TEST_F(DecoderTest, KeyTextIsAlwaysSixLowercaseDigits) {
    decode(key_report(), key(0x56789abc));
    decode(key_report(), key(0xAB));
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].key, "789abc");
    EXPECT_EQ(lines[1].key, "0000ab");
}

TEST_F(DecoderTest, EmptyNameStillGetsTheColon) {
    add_db_key(7, "");
    decode(key_report(), key(7));
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log.lines()[0].event, "Valid key: .");
}

TEST_F(DecoderTest, FoundKeyWithMemoGetsAQuotedMemoLineWithTheSameHighlight) {
    add_db_key(5, "Visitor", "Night shift");
    decode(key_report(false), key(5));
    EXPECT_EQ(log.lines(), (std::vector<LoggedLine>{
                               {"000005", "Invalid key detected: Visitor.", true},
                               {"", "Memo: \"Night shift\"", true},
                           }));
}

TEST_F(DecoderTest, LookupMatchesOnTheLow24BitsOnly) {
    add_db_key(0x1234ab, "Caretaker");
    decode(key_report(), key(0x7f1234ab, 1, 0x5c));
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log.lines()[0].event, "Valid key: Caretaker.");
}

TEST_F(DecoderTest, SameKeyWithinTwoSecondsIsDropped) {
    decode(key_report(), key(1));
    clock.advance(1500);
    decode(key_report(), key(1)); // dropped; the window is not moved by a dropped report
    clock.advance(600);
    decode(key_report(), key(1)); // 2100 ms after the first line
    clock.advance(100);
    decode(key_report(), key(2)); // another key a tenth of a second later
    clock.advance(100);
    decode(key_report(), key(2, 1)); // same number, another family: not the same key
    clock.advance(1999);
    decode(key_report(), key(2, 1)); // 1999 ms: still a repeat
    clock.advance(1);
    decode(key_report(), key(2, 1)); // exactly 2000 ms: reported
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0].key, "000001");
    EXPECT_EQ(lines[1].key, "000001");
    EXPECT_EQ(lines[2].key, "000002");
    EXPECT_EQ(lines[3].key, "000002");
    EXPECT_EQ(lines[4].key, "000002");
}

TEST_F(DecoderTest, TheVeryFirstReportsAreNeverTakenForRepeatsOfTimeZero) {
    clock.set(500);
    decode(key_report(), key(0));
    EventRecord shorted;
    shorted.contact_shorted = true;
    decode(shorted);
    EventRecord open;
    open.door_open = true;
    decode(open);
    EXPECT_EQ(log.size(), 3u);
}

TEST_F(DecoderTest, KeyWithDoorOpenReportsTheDoorInItsLineAndStartsTheDoorWindow) {
    add_db_key(0x42, "Alice");
    EventRecord r = key_report();
    r.door_open = true;
    decode(r, key(0x42));
    clock.advance(1000);
    EventRecord door_a;
    door_a.door_open = true;
    decode(door_a); // within 2000 ms of the key's door-A opening: dropped
    EventRecord door_b = door_a;
    door_b.door_b = true;
    decode(door_b); // door B has its own window
    clock.advance(1000);
    decode(door_a); // 2000 ms: reported
    EXPECT_EQ(log.lines(), (std::vector<LoggedLine>{
                               {"000042", "Valid key: Alice.  Door A is open.", false},
                               {"", "Door B is open ", false},
                               {"", "Door A is open ", false},
                           }));
}

TEST_F(DecoderTest, DroppedKeyRepeatLeavesItsDoorOpenForTheDoorLine) {
    EventRecord r = key_report();
    r.door_open = true;
    r.door_b = true;
    decode(r, key(3));
    clock.advance(2500);
    decode(key_report(), key(3)); // moves the key window, no door
    clock.advance(100);
    decode(r, key(3)); // key dropped; door B last opened 2600 ms ago: door line
    EXPECT_EQ(log.lines(), (std::vector<LoggedLine>{
                               {"000003", "Valid key.  Door B is open.", false},
                               {"000003", "Valid key.", false},
                               {"", "Door B is open ", false},
                           }));
}

TEST_F(DecoderTest, DoorLinePiecesKeepTheirTrailingBlankAndHighlight) {
    EventRecord closed;
    closed.door_closed = true;
    closed.door_b = true;
    decode(closed);
    EventRecord penalty;
    penalty.penalty = true;
    decode(penalty);
    EventRecord both;
    both.door_closed = true;
    both.penalty = true;
    decode(both);
    EXPECT_EQ(log.lines(), (std::vector<LoggedLine>{
                               {"", "Door B closed ", false},
                               {"", "Door A temporarily blocked as penalty ", true},
                               {"", "Door A closed temporarily blocked as penalty ", true},
                           }));
}

TEST_F(DecoderTest, ContactShortedAtMostOnceAMinute) {
    EventRecord r;
    r.contact_shorted = true;
    for (int i = 0; i < 7; ++i) { // 0 s .. 60 s, every 10 s
        decode(r);
        clock.advance(10000);
    }
    // now 70 s after the first; the last accepted was at 0 s
    decode(r);
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], (LoggedLine{"", "Door A contact shorted ", true}));
    EXPECT_EQ(lines[1], lines[0]);
}

TEST_F(DecoderTest, ContactShortedWindowIncludesExactlySixtySeconds) {
    EventRecord r;
    r.contact_shorted = true;
    decode(r);
    clock.advance(60000);
    decode(r);
    clock.advance(1);
    decode(r);
    EXPECT_EQ(log.size(), 2u);
}

TEST_F(DecoderTest, ControllerStateTextsFirstApplicableWins) {
    struct Case {
        void (*set)(EventRecord&);
        const char* key;
        const char* text;
    };
    const Case cases[] = {
        {[](EventRecord& r) { r.master_programming = true; }, "",
         "The key controller is being initialized with a new master key"},
        {[](EventRecord& r) { r.master_initialized = true; }, "",
         "The key controller's memory has been initialized with this key as the new master"},
        {[](EventRecord& r) { r.memory_cleared = true; }, "",
         "The key controller's memory was cleared, including the master"},
        {[](EventRecord& r) {
             r.manual_add = true;
             r.page_full = true;
         },
         "00beef", "Attempt to add key manually failed: EEPROM key memory page is full"},
        {[](EventRecord& r) { r.manual_add = true; }, "00beef", "Key added manually"},
        {[](EventRecord& r) { r.manual_delete = true; }, "00beef", "Key deleted manually"},
        {[](EventRecord& r) {
             r.master_programming = true;
             r.manual_delete = true;
         },
         "00beef", "The key controller is being initialized with a new master key"},
    };
    for (const Case& c : cases) {
        log.clear();
        EventRecord r;
        c.set(r);
        decode(r, key(1), key(0xbeef));
        ASSERT_EQ(log.size(), 1u) << c.text;
        EXPECT_EQ(log.lines()[0], (LoggedLine{c.key, c.text, true}));
    }
}

TEST_F(DecoderTest, PageFullRaisesItsSignal) {
    EventRecord r;
    r.manual_add = true;
    r.page_full = true;
    EXPECT_FALSE(ctx.state.page_full_seen.load());
    decode(r, {}, key(0x10));
    EXPECT_TRUE(ctx.state.page_full_seen.load());
}

TEST_F(DecoderTest, NoResponseShowsTheBoxThenRaisesTheSignal) {
    EventRecord r;
    r.no_response = true;
    decode(r);
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].caption, "Tessary - Serial communications");
    EXPECT_EQ(host.boxes[0].text, "Tessary didn't get a response from the key controller.\nIs the "
                                  "controller properly connected to this computer?");
    EXPECT_EQ(host.boxes[0].icon, MsgIcon::Error);
    EXPECT_EQ(host.boxes[0].buttons, MsgButtons::Ok);
    EXPECT_TRUE(ctx.state.no_response_seen.load());
    EXPECT_EQ(log.size(), 0u);
}

TEST_F(DecoderTest, ReadOutFillsTheControllerListInArrivalOrderWithoutDuplicates) {
    EventRecord rk;
    rk.readout_key = true;
    for (uint32_t n : {1u, 2u, 2u, 3u}) {
        decode(rk, key(n));
    }
    EXPECT_EQ(controller_numbers(), (std::vector<uint32_t>{1, 2, 3}));
    EXPECT_EQ(log.size(), 0u);
    EXPECT_FALSE(ctx.state.readout_done.load());

    EventRecord end;
    end.readout_end = true;
    decode(end);
    EXPECT_TRUE(ctx.state.readout_done.load());
    EXPECT_EQ(log.lines(),
              (std::vector<LoggedLine>{{" - ", "Performed synchronization with RD-unit.", true}}));

    // The next read-out replaces the list at its first key.
    decode(rk, key(9));
    EXPECT_EQ(controller_numbers(), (std::vector<uint32_t>{9}));
}

TEST_F(DecoderTest, IncompleteReadOutRaisesFailureUntilTheNextReadOutStarts) {
    EventRecord bad;
    bad.readout_incomplete = true;
    decode(bad);
    EXPECT_TRUE(ctx.state.readout_failed.load());
    EventRecord rk;
    rk.readout_key = true;
    decode(rk, key(1));
    EXPECT_FALSE(ctx.state.readout_failed.load());
}

TEST_F(DecoderTest, LinesOfOneCallComeInTheirFixedOrder) {
    add_db_key(0x77, "Bob", "Desk");
    EventRecord r = key_report();
    r.door_closed = true;
    r.manual_add = true;
    r.readout_end = true;
    decode(r, key(0x77), key(0x88));
    EXPECT_EQ(log.lines(), (std::vector<LoggedLine>{
                               {"000077", "Valid key: Bob.", false},
                               {"", "Memo: \"Desk\"", false},
                               {"", "Door A closed ", false},
                               {"000088", "Key added manually", true},
                               {" - ", "Performed synchronization with RD-unit.", true},
                           }));
}

TEST_F(DecoderTest, RecordWithoutFlagsChangesNothing) {
    EventRecord r;
    decode(r, key(1));
    EXPECT_EQ(log.size(), 0u);
    EXPECT_TRUE(host.boxes.empty());
    EXPECT_FALSE(ctx.state.last_key_seen);
    clear_event(r);
    EXPECT_FALSE(event_has_flags(r));
    r.page_full = true;
    clear_event(r);
    EXPECT_FALSE(event_has_flags(r));
}

} // namespace
