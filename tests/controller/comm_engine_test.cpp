// The comm engine driven on the test's thread: parsing, pacing and the watchdog, with a
// recording port and a hand-moved clock.
#include "controller/comm_engine.h"

#include "support/fake_clock.h"
#include "support/fake_host.h"
#include "support/hex_dump.h"
#include "support/link_fixture.h"
#include "support/link_test_access.h"
#include "support/recording_log.h"
#include "support/recording_port.h"

#include <gtest/gtest.h>

namespace {

struct LinkStepsClock {
    FakeClock clock;
};

class CommEngineTest : public ::testing::Test,
                       protected LinkStepsClock,
                       protected LinkFixture<FakeHost> {
  protected:
    CommEngineTest() : LinkFixture(LinkStepsClock::clock) {
        engine.attach(port);
        engine.begin_receive();
        // Posting needs an active link; these tests play the comm thread themselves.
        LinkTestAccess::set_active(link, true);
    }
    ~CommEngineTest() override {
        LinkTestAccess::set_active(link, false);
        engine.end_receive();
    }

    void feed(const std::string& bytes) {
        for (char c : bytes) {
            engine.handle_byte(static_cast<uint8_t>(c));
        }
    }
    void pass(int n = 1) {
        for (int i = 0; i < n; ++i) {
            engine.pass();
        }
    }
    std::string take_written() {
        std::string w = port.written();
        port.writes.clear();
        return w;
    }
    void start_transfer(const std::vector<KeyId>& keys, bool add) {
        LinkTestAccess::start_transfer(link, keys, add);
    }
    Buffer* message(const std::string& text) {
        scratch = make_buffer(message_capacity);
        buffer_append_bytes(scratch.get(), text);
        return scratch.get();
    }

    FakeClock& clock = LinkStepsClock::clock;
    RecordingPort port;
    BufferPtr scratch;
    CommEngine engine{LinkTestAccess::shared(link), clock, decoder};
    CommState& comm = engine.state();
};

// --- identification and readiness -------------------------------------------------------------

TEST_F(CommEngineTest, Rd04IdentificationMakesTheLineEndReady) {
    comm.may_send = false;
    feed("RD-04");
    EXPECT_FALSE(comm.rd04_mode);
    feed("\r");
    EXPECT_TRUE(comm.rd04_mode);
    EXPECT_TRUE(comm.may_send);
    EXPECT_FALSE(comm.ident_line);
}

TEST_F(CommEngineTest, IdentificationWordsAfterTheFirstAreSkippedExceptTheLast) {
    // The second word would count an acknowledgement if it were parsed; the third is.
    feed("RD-03 n00001! n00002!\r");
    EXPECT_EQ(link.transfer_acked(), 1);
    EXPECT_FALSE(comm.rd04_mode);
    feed("RD-04 n00003! xx\r");
    EXPECT_EQ(link.transfer_acked(), 1);
    EXPECT_TRUE(comm.rd04_mode);
    // Waiters get the whole line, each once; endless noise after the model word stays bounded.
    EXPECT_EQ(link.identification().line, "RD-04 n00003! xx");
    EXPECT_EQ(link.identification().count, 2u);
    std::string noise;
    for (int i = 0; i < 1000; ++i) {
        noise += " word";
    }
    feed("RD-07" + noise + "\r");
    EXPECT_EQ(link.identification().line.substr(0, 11), "RD-07 word ");
    EXPECT_LE(link.identification().line.size(), 2 * message_capacity);
}

TEST_F(CommEngineTest, ModelWordsChooseThePacingAndOtherRdTextKeepsIt) {
    feed("RD-04\r");
    EXPECT_TRUE(comm.rd04_mode);
    feed("RD-99\r");
    EXPECT_TRUE(comm.rd04_mode);
    feed("RD-0x\r");
    EXPECT_FALSE(comm.rd04_mode);
    feed("RD-04 v2\r");
    feed("RD-03\r");
    EXPECT_FALSE(comm.rd04_mode);
}

// --- transmission ----------------------------------------------------------------------------

TEST_F(CommEngineTest, DoorsAandBPostedTogetherGoOutOneAfterTheOtherOnReadiness) {
    ASSERT_TRUE(link.post(request_open_door_b));
    ASSERT_TRUE(link.post(request_open_door_a));
    pass();
    EXPECT_TRUE(same_bytes("o", take_written()));
    EXPECT_FALSE(comm.may_send);
    pass(3);
    EXPECT_TRUE(same_bytes("", take_written())); // "b" loaded, waiting for the prompt
    EXPECT_EQ(link.pending_requests(), 0u);
    feed("o\r>O\r "); // echo, door report, prompt
    pass();
    EXPECT_TRUE(same_bytes("b", take_written()));
}

TEST_F(CommEngineTest, TheSameRequestTwiceGivesOneCommand) {
    link.post(request_open_door_a);
    link.post(request_open_door_a);
    pass();
    feed(" ");
    pass(2);
    EXPECT_TRUE(same_bytes("o", take_written()));
}

TEST_F(CommEngineTest, BitsWithoutTextAreClearedSilently) {
    link.post(128);
    link.post(1u << 31);
    pass();
    EXPECT_EQ(link.pending_requests(), 0u);
    EXPECT_TRUE(same_bytes("", take_written()));
}

TEST_F(CommEngineTest, ByteByBytePacingWaitsForEachEcho) {
    feed(" "); // prompt: ready, and echoes now belong to a reply
    link.post(request_clear_memory);
    pass();
    EXPECT_TRUE(same_bytes("c", take_written()));
    pass(3);
    EXPECT_TRUE(same_bytes("", take_written()));
    feed("c");
    pass();
    EXPECT_TRUE(same_bytes("!", take_written()));
    EXPECT_FALSE(comm.may_send);
}

TEST_F(CommEngineTest, EchoOutsideAReplyDoesNotCount) {
    link.post(request_clear_memory);
    pass();
    EXPECT_TRUE(same_bytes("c", take_written()));
    feed("c"); // message type is still plain: not an echo
    pass();
    EXPECT_TRUE(same_bytes("", take_written()));
}

TEST_F(CommEngineTest, ResetGoesOutBetweenTheBytesOfAHalfSentCommand) {
    feed(" ");
    link.post(request_clear_memory);
    pass();
    EXPECT_TRUE(same_bytes("c", take_written()));
    uint32_t before = clock.tick_ms();
    clock.advance(10);
    link.post(request_reset);
    pass();
    ASSERT_EQ(port.writes.size(), 2u); // two separate writes
    EXPECT_TRUE(same_bytes("\rr", take_written()));
    EXPECT_EQ(comm.last_tx_time, before + 10);
    EXPECT_EQ(link.pending_requests(), 0u);
    feed("c");
    pass();
    EXPECT_TRUE(same_bytes("!", take_written()));
}

TEST_F(CommEngineTest, Rd04GetsTheWholeCommandInOneWrite) {
    feed("RD-04\r");
    link.post(request_clear_memory);
    pass();
    ASSERT_EQ(port.writes.size(), 1u);
    EXPECT_TRUE(same_bytes("c!", take_written()));
    EXPECT_FALSE(comm.may_send);
    link.post(request_readout);
    pass();
    EXPECT_TRUE(same_bytes("", take_written()));
    feed(" c!\r");
    pass();
    EXPECT_TRUE(same_bytes("s", take_written()));
    EXPECT_EQ(log.lines(),
              (std::vector<LoggedLine>{
                  {"", "The key controller's memory was cleared, including the master", true}}));
}

TEST_F(CommEngineTest, Rd04IsReadyAtASpaceOnlyDuringARead_out) {
    feed("RD-04\r");
    comm.may_send = false;
    feed(" x");
    EXPECT_FALSE(comm.may_send);
    feed("\r000001\r");
    comm.may_send = false;
    feed("\r"); // a CR during the read-out ends it (empty line) and then makes ready
    EXPECT_TRUE(comm.may_send);
    feed("000002\r");
    comm.may_send = false;
    feed(" ");
    EXPECT_TRUE(comm.may_send);
}

TEST_F(CommEngineTest, PostWithoutALinkFailsWithTheMessageExceptForTheLineEnd) {
    LinkTestAccess::set_active(link, false);
    EXPECT_FALSE(link.post(request_line_end));
    EXPECT_TRUE(host.boxes.empty());
    EXPECT_FALSE(link.post(request_open_door_a));
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].caption, "Tessary - Serial communications");
    EXPECT_EQ(host.boxes[0].text, "There is no active COM port.\n\nChoose one using the "
                                  "'File/Settings'\nmenu, or open an existing database.");
    EXPECT_EQ(host.boxes[0].icon, MsgIcon::Error);
    EXPECT_EQ(link.pending_requests(), 0u);
}

// Posted while the port was still being opened and reset: the loop's start keeps them (what an
// earlier link left undone is dropped when the link starts, before anything can be posted).
TEST_F(CommEngineTest, LoopStartKeepsWhatWasPostedWhileThePortOpened) {
    link.post(request_open_door_a);
    engine.begin_receive();
    pass();
    EXPECT_TRUE(same_bytes("o", take_written()));
    start_transfer({{0, 1, 0}}, true);
    engine.begin_receive();
    EXPECT_EQ(link.transfer_remaining(), 1);
}

// --- transfers ------------------------------------------------------------------------------

TEST_F(CommEngineTest, AddTransferSendsLastElementFirstAndCountsAcknowledgements) {
    feed("RD-04\r");
    start_transfer({{0, 1, 0}, {0, 2, 0}, {0, 0xab, 0}}, true);
    pass();
    EXPECT_TRUE(same_bytes("n0000ab\r", take_written()));
    EXPECT_EQ(link.transfer_remaining(), 2);
    pass(2);
    EXPECT_TRUE(same_bytes("", take_written()));
    feed(" n0000ab!\r");
    EXPECT_EQ(link.transfer_acked(), 1);
    pass();
    EXPECT_TRUE(same_bytes("n000002\r", take_written()));
    feed(" n000002?\r"); // refused: not counted, but the controller is ready again
    pass();
    EXPECT_TRUE(same_bytes("n000001\r", take_written()));
    feed(" n000001!\r");
    EXPECT_EQ(link.transfer_acked(), 2);
    EXPECT_EQ(link.transfer_remaining(), 0);
}

TEST_F(CommEngineTest, DeleteTransferSendsTheLowSixDigitsByteByByte) {
    feed(" ");
    start_transfer({{5, 0x7f12ab34, 6}}, false);
    std::string wire;
    for (int i = 0; i < 20; ++i) {
        pass();
        std::string w = take_written();
        wire += w;
        if (!w.empty() && w != "\r") {
            feed(w); // echo each byte, as the unit does
        }
    }
    EXPECT_TRUE(same_bytes("d12ab34\r", wire));
    feed("!\r");
    EXPECT_EQ(link.transfer_acked(), 1);
}

TEST_F(CommEngineTest, ARequestTakesPrecedenceOverTheTransfer) {
    feed("RD-04\r");
    start_transfer({{0, 1, 0}}, true);
    link.post(request_open_door_a);
    pass();
    EXPECT_TRUE(same_bytes("o", take_written()));
    feed(">O\r");
    pass();
    EXPECT_TRUE(same_bytes("n000001\r", take_written()));
}

// --- replies ---------------------------------------------------------------------------------

TEST_F(CommEngineTest, ReplyScan) {
    struct Case {
        const char* reply;
        int acks;
        size_t cleared;
    };
    const Case cases[] = {
        {"n0000ab!", 1, 0}, {"n0000ab?", 0, 0}, {"d123456!", 1, 0}, {"n1234567!", 0, 0},
        {"xxn1!d2!", 2, 0}, {"n", 0, 0},        {"c!", 0, 1},       {"c?c!", 0, 1},
        {"cc!", 0, 1},      {"c", 0, 0},        {"n!c!n!", 2, 1},   {"d??", 0, 0},
        {"n?n!", 1, 0},     {"!n0!", 1, 0},     {"", 0, 0},         {"c!c!", 0, 2},
    };
    for (const Case& c : cases) {
        LinkTestAccess::start_transfer(link, {}, true); // zeroes the count
        log.clear();
        engine.parse_reply(message(c.reply));
        EXPECT_EQ(link.transfer_acked(), c.acks) << c.reply;
        EXPECT_EQ(log.size(), c.cleared) << c.reply;
    }
}

// --- key and door reports ---------------------------------------------------------------------

TEST_F(CommEngineTest, KeyReportFieldsGoToTheLineKeyAndFlags) {
    engine.parse_key_report(message("01.0000001234ab.5c+KB"));
    const EventRecord& r = comm.line_record;
    EXPECT_TRUE(r.key_event);
    EXPECT_TRUE(r.key_valid);
    EXPECT_TRUE(r.door_b);
    EXPECT_FALSE(r.key_master);
    EXPECT_EQ(comm.line_key, (KeyId{1, 0x1234ab, 0x5c}));
}

TEST_F(CommEngineTest, SerialFieldKeepsItsLastEightDigits) {
    engine.parse_key_report(message("ff.123456789abc.00+U"));
    EXPECT_EQ(comm.line_key, (KeyId{0xff, 0x56789abc, 0}));
    EXPECT_TRUE(comm.line_record.key_event);
    EXPECT_FALSE(comm.line_record.key_valid);
}

TEST_F(CommEngineTest, KeyReportResults) {
    struct Case {
        const char* result;
        EventRecord expect;
    };
    auto rec = [](auto set) {
        EventRecord r;
        r.key_event = true;
        set(r);
        return r;
    };
    const Case cases[] = {
        {"PW", rec([](EventRecord& r) {
             r.key_master = true;
             r.master_initialized = true;
         })},
        {"K", rec([](EventRecord& r) { r.key_valid = true; })},
        {"M", rec([](EventRecord& r) {
             r.key_valid = true;
             r.key_master = true;
         })},
        {"MD", rec([](EventRecord& r) { r.key_valid = r.key_master = r.manual_delete = true; })},
        {"MN", rec([](EventRecord& r) { r.key_valid = r.key_master = r.manual_add = true; })},
        {"MNF", rec([](EventRecord& r) {
             r.key_valid = r.key_master = r.manual_add = r.page_full = true;
         })},
        {"MR", rec([](EventRecord& r) { r.key_valid = r.key_master = r.memory_cleared = true; })},
        {"UW", rec([](EventRecord& r) { r.penalty = true; })},
        {"U=", rec([](EventRecord&) {})},
        {"Z", rec([](EventRecord&) {})},
        {"", rec([](EventRecord&) {})},
    };
    for (const Case& c : cases) {
        clear_event(comm.line_record);
        engine.parse_key_report(message(std::string("01.000000000001.02+") + c.result));
        const EventRecord& r = comm.line_record;
        const EventRecord& e = c.expect;
        SCOPED_TRACE(c.result);
        EXPECT_EQ(r.key_event, e.key_event);
        EXPECT_EQ(r.key_valid, e.key_valid);
        EXPECT_EQ(r.key_master, e.key_master);
        EXPECT_EQ(r.master_initialized, e.master_initialized);
        EXPECT_EQ(r.manual_add, e.manual_add);
        EXPECT_EQ(r.manual_delete, e.manual_delete);
        EXPECT_EQ(r.page_full, e.page_full);
        EXPECT_EQ(r.memory_cleared, e.memory_cleared);
        EXPECT_EQ(r.penalty, e.penalty);
    }
    clear_event(comm.line_record);
}

TEST_F(CommEngineTest, MalformedKeyReportsKeepTheFlagsSetSoFar) {
    engine.parse_key_report(message("SB"));
    EXPECT_TRUE(comm.line_record.contact_shorted);
    EXPECT_TRUE(comm.line_record.door_b);
    EXPECT_FALSE(comm.line_record.key_event);
    EXPECT_EQ(comm.line_key.first, 0xffffffffu);

    clear_event(comm.line_record);
    engine.parse_key_report(message("01-000000000001.02+K"));
    EXPECT_EQ(comm.line_key.first, 1u);
    EXPECT_FALSE(comm.line_record.key_event);

    clear_event(comm.line_record);
    engine.parse_key_report(message("01.00000000zz01.02+K"));
    EXPECT_EQ(comm.line_key.number, 0xffffffffu);
    EXPECT_FALSE(comm.line_record.key_event);

    clear_event(comm.line_record);
    engine.parse_key_report(message("01.000000000001.02K"));
    EXPECT_EQ(comm.line_key.last, 2u);
    EXPECT_FALSE(comm.line_record.key_event);
    clear_event(comm.line_record);
}

TEST_F(CommEngineTest, RememberedKeyTravelsToALaterManualAdd) {
    feed("<01.0000000000aa.02+Kx\r");
    EXPECT_EQ(comm.remembered_key, (KeyId{1, 0xaa, 2}));
    feed("<01.0000000000bb.02+Ux\r");
    EXPECT_EQ(comm.remembered_key, (KeyId{1, 0xbb, 2}));
    feed("<01.000000000001.02+MN\r");
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], (LoggedLine{"0000aa", "Valid key.", false}));
    EXPECT_EQ(lines[1], (LoggedLine{"0000bb", "Invalid key detected.", true}));
    EXPECT_EQ(lines[2], (LoggedLine{"000001", "Master key.", false}));
    EXPECT_EQ(lines[3], (LoggedLine{"0000bb", "Key added manually", true}));
}

TEST_F(CommEngineTest, KeyAndDoorReportsOnOneLineAddUpAndDecodeAtTheLineEnd) {
    feed("<01.0000001234ab.5c+KB>OB");
    EXPECT_EQ(log.size(), 0u);
    feed("\r");
    EXPECT_EQ(log.lines(),
              (std::vector<LoggedLine>{{"1234ab", "Valid key.  Door B is open.", false}}));
    EXPECT_FALSE(event_has_flags(comm.line_record));
}

TEST_F(CommEngineTest, DoorReports) {
    feed(">O\r");
    clock.advance(3000);
    feed(">OB\r>C\r>CB\r>X\r>\r");
    EXPECT_EQ(log.lines(), (std::vector<LoggedLine>{{"", "Door A is open ", false},
                                                    {"", "Door B is open ", false},
                                                    {"", "Door A closed ", false},
                                                    {"", "Door B closed ", false}}));
}

TEST_F(CommEngineTest, PInAKeyReportRaisesMasterProgrammingAtOnce) {
    feed("<01.000000000001.02+");
    EXPECT_EQ(log.size(), 0u);
    feed("P");
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log.lines()[0].event,
              "The key controller is being initialized with a new master key");
    feed("W\r");
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1].event, "Master key.");
    EXPECT_EQ(lines[2].event,
              "The key controller's memory has been initialized with this key as the new master");
    feed(" P>P\r"); // not in a key report: nothing
    EXPECT_EQ(log.size(), 3u);
}

// --- read-out --------------------------------------------------------------------------------

TEST_F(CommEngineTest, ReadOutLinesAndItsEnd) {
    feed("0000aa\r0000BB\rzzzzzz\r0000cc\r");
    EXPECT_TRUE(comm.readout_active);
    EXPECT_EQ(controller.size(), 3); // the non-hex line is ignored
    EXPECT_EQ(comm.readout_key_id, (KeyId{0, 0xcc, 0}));
    EXPECT_FALSE(decoder.state.readout_done.load());
    feed("\r");
    EXPECT_FALSE(comm.readout_active);
    EXPECT_TRUE(decoder.state.readout_done.load());
    EXPECT_EQ(log.lines(),
              (std::vector<LoggedLine>{{" - ", "Performed synchronization with RD-unit.", true}}));
    feed("\r\r"); // no read-out in progress: nothing more
    EXPECT_EQ(log.size(), 1u);
}

TEST_F(CommEngineTest, ANonHexSixByteLineStoresMinusOneButDoesNotEndTheRead_out) {
    feed("000001\r12x456\r");
    EXPECT_EQ(comm.readout_key_id.number, 0xffffffffu);
    EXPECT_TRUE(comm.readout_active);
}

// --- byte handling ---------------------------------------------------------------------------

TEST_F(CommEngineTest, LineFeedXonXoffAreDroppedAndDoNotCount) {
    comm.last_rx_time = 7;
    feed("\n\x11\x13");
    EXPECT_EQ(comm.last_rx_time, 7u);
    feed(">\nO\x11\x13\r");
    EXPECT_EQ(log.lines(), (std::vector<LoggedLine>{{"", "Door A is open ", false}}));
}

TEST_F(CommEngineTest, LongMessagesKeepTheirFirstHundredBytes) {
    feed(std::string(150, 'a'));
    EXPECT_EQ(buffer_remaining(comm.message.get()), 100u);
    EXPECT_EQ(buffer_string(comm.message.get()), std::string(100, 'a'));
    feed("\r");
    EXPECT_EQ(buffer_remaining(comm.message.get()), 0u);
}

// --- watchdog --------------------------------------------------------------------------------

TEST_F(CommEngineTest, WatchdogFiresOncePerLoadAfterFiveSeconds) {
    feed("RD-04\r");
    clock.advance(1);
    link.post(request_open_door_a);
    pass(); // loaded at T, after the last byte
    clock.advance(5000);
    pass();
    EXPECT_TRUE(host.boxes.empty());
    clock.advance(1);
    pass();
    EXPECT_EQ(host.boxes.size(), 1u);
    EXPECT_TRUE(decoder.state.no_response_seen.load());
    clock.advance(60000);
    pass(3);
    EXPECT_EQ(host.boxes.size(), 1u);
    feed(">O\r"); // a late answer does not undo it
    EXPECT_EQ(host.boxes.size(), 1u);

    clock.advance(1);
    link.post(request_open_door_b); // a new load arms it again
    pass();
    clock.advance(5001);
    pass();
    EXPECT_EQ(host.boxes.size(), 2u);
}

TEST_F(CommEngineTest, AnyByteAfterTheLoadDisarmsTheWatchdog) {
    link.post(request_open_door_a);
    pass();
    clock.advance(10);
    feed("o");
    clock.advance(10000);
    pass();
    EXPECT_TRUE(host.boxes.empty());
}

TEST_F(CommEngineTest, SilenceAfterTheLoopStartIsReportedOnce) {
    clock.advance(5001);
    pass();
    pass();
    EXPECT_EQ(host.boxes.size(), 1u);
}

TEST_F(CommEngineTest, WatchdogSurvivesTheTickWrapping) {
    clock.set(0xffffff00u);
    engine.begin_receive();
    clock.advance(0x200); // wrapped: 0x100
    pass();
    EXPECT_TRUE(host.boxes.empty());
    clock.advance(5000);
    pass();
    EXPECT_EQ(host.boxes.size(), 1u);
}

// --- driven as the comm thread drives it ------------------------------------------------------

TEST_F(CommEngineTest, ServeAnswersABurstAndWakesWaitersOnceAtItsEnd) {
    link.post(request_open_door_a);
    port.input = {'o', '>', 'O', '\r'};
    uint64_t seen = link.changes();
    EXPECT_EQ(engine.serve(false), CommEngine::Turn::idle);
    EXPECT_TRUE(port.input.empty());
    EXPECT_TRUE(same_bytes("o", take_written()));
    EXPECT_EQ(link.changes(), seen + 1);
    EXPECT_EQ(engine.serve(false), CommEngine::Turn::idle); // nothing new: nobody woken
    EXPECT_EQ(link.changes(), seen + 1);
}

TEST_F(CommEngineTest, ServeEndsForAHangUpOnlyOnceTheBytesBeforeItAreRead) {
    port.input = {'>', 'O', '\r'};
    EXPECT_EQ(engine.serve(true), CommEngine::Turn::broken);
    EXPECT_TRUE(port.input.empty());
    EXPECT_EQ(log.lines(), (std::vector<LoggedLine>{{"", "Door A is open ", false}}));
    struct DeadPort final : SerialIo {
        bool write(std::string_view) override { return false; }
        int read_byte() override { return -1; }
        bool broken() const override { return true; }
    } dead;
    engine.attach(dead);
    EXPECT_EQ(engine.serve(false), CommEngine::Turn::broken);
    link.request_stop();
    EXPECT_EQ(engine.serve(false), CommEngine::Turn::stop);
}

TEST_F(CommEngineTest, NextDeadlineIsWhenTheWatchdogFires) {
    EXPECT_EQ(engine.next_deadline(), int64_t{no_response_ms} + 1);
    clock.advance(no_response_ms);
    EXPECT_EQ(engine.next_deadline(), 1);
    clock.advance(1);
    EXPECT_EQ(engine.next_deadline(), 0);
    feed(">");
    EXPECT_EQ(engine.next_deadline(), -1);
}

TEST_F(CommEngineTest, StartResetsTheUnitOnTheChannelAndStopLetsItGo) {
    clock.auto_advance = true;
    engine.stop();
    EXPECT_EQ(comm.port, nullptr);
    engine.start(port);
    EXPECT_EQ(port.writes, (std::vector<std::string>{"\r", "r"}));
    EXPECT_EQ(comm.last_tx_time, clock.tick_ms());
    EXPECT_EQ(engine.next_deadline(), int64_t{no_response_ms} + 1);
}

} // namespace
