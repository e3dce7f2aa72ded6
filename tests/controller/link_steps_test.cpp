// The comm thread's steps driven on the test's thread: parsing, pacing and the watchdog, with a
// recording port and a hand-moved clock.
#include "controller/link_steps.h"

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

class LinkStepsTest : public ::testing::Test,
                      protected LinkStepsClock,
                      protected LinkFixture<FakeHost> {
  protected:
    LinkStepsTest() : LinkFixture(LinkStepsClock::clock) {
        link.comm.port = &port;
        receive_loop_start(link);
        // Posting needs an active link; these tests play the comm thread themselves.
        LinkTestAccess::set_active(link, true);
    }
    ~LinkStepsTest() override {
        LinkTestAccess::set_active(link, false);
        receive_loop_end(link);
    }

    void feed(const std::string& bytes) {
        for (char c : bytes) {
            handle_received_byte(link, static_cast<uint8_t>(c));
        }
    }
    void pass(int n = 1) {
        for (int i = 0; i < n; ++i) {
            receive_pass_send_side(link);
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
};

// --- identification and readiness -------------------------------------------------------------

TEST_F(LinkStepsTest, Rd04IdentificationMakesTheLineEndReady) {
    link.comm.may_send = false;
    feed("RD-04");
    EXPECT_FALSE(link.comm.rd04_mode);
    feed("\r");
    EXPECT_TRUE(link.comm.rd04_mode);
    EXPECT_TRUE(link.comm.may_send);
    EXPECT_FALSE(link.comm.ident_line);
}

TEST_F(LinkStepsTest, IdentificationWordsAfterTheFirstAreSkippedExceptTheLast) {
    // The second word would count an acknowledgement if it were parsed; the third is.
    feed("RD-03 n00001! n00002!\r");
    EXPECT_EQ(link.transfer_acked(), 1);
    EXPECT_FALSE(link.comm.rd04_mode);
    feed("RD-04 n00003! xx\r");
    EXPECT_EQ(link.transfer_acked(), 1);
    EXPECT_TRUE(link.comm.rd04_mode);
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

TEST_F(LinkStepsTest, ModelWordsChooseThePacingAndOtherRdTextKeepsIt) {
    feed("RD-04\r");
    EXPECT_TRUE(link.comm.rd04_mode);
    feed("RD-99\r");
    EXPECT_TRUE(link.comm.rd04_mode);
    feed("RD-0x\r");
    EXPECT_FALSE(link.comm.rd04_mode);
    feed("RD-04 v2\r");
    feed("RD-03\r");
    EXPECT_FALSE(link.comm.rd04_mode);
}

// --- transmission ----------------------------------------------------------------------------

TEST_F(LinkStepsTest, DoorsAandBPostedTogetherGoOutOneAfterTheOtherOnReadiness) {
    ASSERT_TRUE(post_request(link, request_open_door_b));
    ASSERT_TRUE(post_request(link, request_open_door_a));
    pass();
    EXPECT_TRUE(same_bytes("o", take_written()));
    EXPECT_FALSE(link.comm.may_send);
    pass(3);
    EXPECT_TRUE(same_bytes("", take_written())); // "b" loaded, waiting for the prompt
    EXPECT_EQ(link.pending_requests(), 0u);
    feed("o\r>O\r "); // echo, door report, prompt
    pass();
    EXPECT_TRUE(same_bytes("b", take_written()));
}

TEST_F(LinkStepsTest, TheSameRequestTwiceGivesOneCommand) {
    post_request(link, request_open_door_a);
    post_request(link, request_open_door_a);
    pass();
    feed(" ");
    pass(2);
    EXPECT_TRUE(same_bytes("o", take_written()));
}

TEST_F(LinkStepsTest, BitsWithoutTextAreClearedSilently) {
    post_request(link, 128);
    post_request(link, 1u << 31);
    pass();
    EXPECT_EQ(link.pending_requests(), 0u);
    EXPECT_TRUE(same_bytes("", take_written()));
}

TEST_F(LinkStepsTest, ByteByBytePacingWaitsForEachEcho) {
    feed(" "); // prompt: ready, and echoes now belong to a reply
    post_request(link, request_clear_memory);
    pass();
    EXPECT_TRUE(same_bytes("c", take_written()));
    pass(3);
    EXPECT_TRUE(same_bytes("", take_written()));
    feed("c");
    pass();
    EXPECT_TRUE(same_bytes("!", take_written()));
    EXPECT_FALSE(link.comm.may_send);
}

TEST_F(LinkStepsTest, EchoOutsideAReplyDoesNotCount) {
    post_request(link, request_clear_memory);
    pass();
    EXPECT_TRUE(same_bytes("c", take_written()));
    feed("c"); // message type is still plain: not an echo
    pass();
    EXPECT_TRUE(same_bytes("", take_written()));
}

TEST_F(LinkStepsTest, ResetGoesOutBetweenTheBytesOfAHalfSentCommand) {
    feed(" ");
    post_request(link, request_clear_memory);
    pass();
    EXPECT_TRUE(same_bytes("c", take_written()));
    uint32_t before = clock.tick_ms();
    clock.advance(10);
    post_request(link, request_reset);
    pass();
    ASSERT_EQ(port.writes.size(), 2u); // two separate writes
    EXPECT_TRUE(same_bytes("\rr", take_written()));
    EXPECT_EQ(link.comm.last_tx_time, before + 10);
    EXPECT_EQ(link.pending_requests(), 0u);
    feed("c");
    pass();
    EXPECT_TRUE(same_bytes("!", take_written()));
}

TEST_F(LinkStepsTest, Rd04GetsTheWholeCommandInOneWrite) {
    feed("RD-04\r");
    post_request(link, request_clear_memory);
    pass();
    ASSERT_EQ(port.writes.size(), 1u);
    EXPECT_TRUE(same_bytes("c!", take_written()));
    EXPECT_FALSE(link.comm.may_send);
    post_request(link, request_readout);
    pass();
    EXPECT_TRUE(same_bytes("", take_written()));
    feed(" c!\r");
    pass();
    EXPECT_TRUE(same_bytes("s", take_written()));
    EXPECT_EQ(log.lines(),
              (std::vector<LoggedLine>{
                  {"", "The key controller's memory was cleared, including the master", true}}));
}

TEST_F(LinkStepsTest, Rd04IsReadyAtASpaceOnlyDuringARead_out) {
    feed("RD-04\r");
    link.comm.may_send = false;
    feed(" x");
    EXPECT_FALSE(link.comm.may_send);
    feed("\r000001\r");
    link.comm.may_send = false;
    feed("\r"); // a CR during the read-out ends it (empty line) and then makes ready
    EXPECT_TRUE(link.comm.may_send);
    feed("000002\r");
    link.comm.may_send = false;
    feed(" ");
    EXPECT_TRUE(link.comm.may_send);
}

TEST_F(LinkStepsTest, PostWithoutALinkFailsWithTheMessageExceptForTheLineEnd) {
    LinkTestAccess::set_active(link, false);
    EXPECT_FALSE(post_request(link, request_line_end));
    EXPECT_TRUE(host.boxes.empty());
    EXPECT_FALSE(post_request(link, request_open_door_a));
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].caption, "Tessary - Serial communications");
    EXPECT_EQ(host.boxes[0].text, "There is no active COM port.\n\nChoose one using the "
                                  "'File/Settings'\nmenu, or open an existing database.");
    EXPECT_EQ(host.boxes[0].icon, MsgIcon::Error);
    EXPECT_EQ(link.pending_requests(), 0u);
}

// Posted while the port was still being opened and reset: the loop's start keeps them (what an
// earlier link left undone is dropped when the link starts, before anything can be posted).
TEST_F(LinkStepsTest, LoopStartKeepsWhatWasPostedWhileThePortOpened) {
    post_request(link, request_open_door_a);
    receive_loop_start(link);
    pass();
    EXPECT_TRUE(same_bytes("o", take_written()));
    start_transfer({{0, 1, 0}}, true);
    receive_loop_start(link);
    EXPECT_EQ(link.transfer_remaining(), 1);
}

// --- transfers ------------------------------------------------------------------------------

TEST_F(LinkStepsTest, AddTransferSendsLastElementFirstAndCountsAcknowledgements) {
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

TEST_F(LinkStepsTest, DeleteTransferSendsTheLowSixDigitsByteByByte) {
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

TEST_F(LinkStepsTest, ARequestTakesPrecedenceOverTheTransfer) {
    feed("RD-04\r");
    start_transfer({{0, 1, 0}}, true);
    post_request(link, request_open_door_a);
    pass();
    EXPECT_TRUE(same_bytes("o", take_written()));
    feed(">O\r");
    pass();
    EXPECT_TRUE(same_bytes("n000001\r", take_written()));
}

// --- replies ---------------------------------------------------------------------------------

TEST_F(LinkStepsTest, ReplyScan) {
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
        parse_reply(link, message(c.reply));
        EXPECT_EQ(link.transfer_acked(), c.acks) << c.reply;
        EXPECT_EQ(log.size(), c.cleared) << c.reply;
    }
}

// --- key and door reports ---------------------------------------------------------------------

TEST_F(LinkStepsTest, KeyReportFieldsGoToTheLineKeyAndFlags) {
    parse_key_report(link, message("01.0000001234ab.5c+KB"));
    const EventRecord& r = link.comm.line_record;
    EXPECT_TRUE(r.key_event);
    EXPECT_TRUE(r.key_valid);
    EXPECT_TRUE(r.door_b);
    EXPECT_FALSE(r.key_master);
    EXPECT_EQ(link.comm.line_key, (KeyId{1, 0x1234ab, 0x5c}));
}

TEST_F(LinkStepsTest, SerialFieldKeepsItsLastEightDigits) {
    parse_key_report(link, message("ff.123456789abc.00+U"));
    EXPECT_EQ(link.comm.line_key, (KeyId{0xff, 0x56789abc, 0}));
    EXPECT_TRUE(link.comm.line_record.key_event);
    EXPECT_FALSE(link.comm.line_record.key_valid);
}

TEST_F(LinkStepsTest, KeyReportResults) {
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
        clear_event(link.comm.line_record);
        parse_key_report(link, message(std::string("01.000000000001.02+") + c.result));
        const EventRecord& r = link.comm.line_record;
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
    clear_event(link.comm.line_record);
}

TEST_F(LinkStepsTest, MalformedKeyReportsKeepTheFlagsSetSoFar) {
    parse_key_report(link, message("SB"));
    EXPECT_TRUE(link.comm.line_record.contact_shorted);
    EXPECT_TRUE(link.comm.line_record.door_b);
    EXPECT_FALSE(link.comm.line_record.key_event);
    EXPECT_EQ(link.comm.line_key.first, 0xffffffffu);

    clear_event(link.comm.line_record);
    parse_key_report(link, message("01-000000000001.02+K"));
    EXPECT_EQ(link.comm.line_key.first, 1u);
    EXPECT_FALSE(link.comm.line_record.key_event);

    clear_event(link.comm.line_record);
    parse_key_report(link, message("01.00000000zz01.02+K"));
    EXPECT_EQ(link.comm.line_key.number, 0xffffffffu);
    EXPECT_FALSE(link.comm.line_record.key_event);

    clear_event(link.comm.line_record);
    parse_key_report(link, message("01.000000000001.02K"));
    EXPECT_EQ(link.comm.line_key.last, 2u);
    EXPECT_FALSE(link.comm.line_record.key_event);
    clear_event(link.comm.line_record);
}

TEST_F(LinkStepsTest, RememberedKeyTravelsToALaterManualAdd) {
    feed("<01.0000000000aa.02+Kx\r");
    EXPECT_EQ(link.comm.remembered_key, (KeyId{1, 0xaa, 2}));
    feed("<01.0000000000bb.02+Ux\r");
    EXPECT_EQ(link.comm.remembered_key, (KeyId{1, 0xbb, 2}));
    feed("<01.000000000001.02+MN\r");
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], (LoggedLine{"0000aa", "Valid key.", false}));
    EXPECT_EQ(lines[1], (LoggedLine{"0000bb", "Invalid key detected.", true}));
    EXPECT_EQ(lines[2], (LoggedLine{"000001", "Master key.", false}));
    EXPECT_EQ(lines[3], (LoggedLine{"0000bb", "Key added manually", true}));
}

TEST_F(LinkStepsTest, KeyAndDoorReportsOnOneLineAddUpAndDecodeAtTheLineEnd) {
    feed("<01.0000001234ab.5c+KB>OB");
    EXPECT_EQ(log.size(), 0u);
    feed("\r");
    EXPECT_EQ(log.lines(),
              (std::vector<LoggedLine>{{"1234ab", "Valid key.  Door B is open.", false}}));
    EXPECT_FALSE(event_has_flags(link.comm.line_record));
}

TEST_F(LinkStepsTest, DoorReports) {
    feed(">O\r");
    clock.advance(3000);
    feed(">OB\r>C\r>CB\r>X\r>\r");
    EXPECT_EQ(log.lines(), (std::vector<LoggedLine>{{"", "Door A is open ", false},
                                                    {"", "Door B is open ", false},
                                                    {"", "Door A closed ", false},
                                                    {"", "Door B closed ", false}}));
}

TEST_F(LinkStepsTest, PInAKeyReportRaisesMasterProgrammingAtOnce) {
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

TEST_F(LinkStepsTest, ReadOutLinesAndItsEnd) {
    feed("0000aa\r0000BB\rzzzzzz\r0000cc\r");
    EXPECT_TRUE(link.comm.readout_active);
    EXPECT_EQ(controller.size(), 3); // the non-hex line is ignored
    EXPECT_EQ(link.comm.readout_key_id, (KeyId{0, 0xcc, 0}));
    EXPECT_FALSE(decoder.state.readout_done.load());
    feed("\r");
    EXPECT_FALSE(link.comm.readout_active);
    EXPECT_TRUE(decoder.state.readout_done.load());
    EXPECT_EQ(log.lines(),
              (std::vector<LoggedLine>{{" - ", "Performed synchronization with RD-unit.", true}}));
    feed("\r\r"); // no read-out in progress: nothing more
    EXPECT_EQ(log.size(), 1u);
}

TEST_F(LinkStepsTest, ANonHexSixByteLineStoresMinusOneButDoesNotEndTheRead_out) {
    feed("000001\r12x456\r");
    EXPECT_EQ(link.comm.readout_key_id.number, 0xffffffffu);
    EXPECT_TRUE(link.comm.readout_active);
}

// --- byte handling ---------------------------------------------------------------------------

TEST_F(LinkStepsTest, LineFeedXonXoffAreDroppedAndDoNotCount) {
    link.comm.last_rx_time = 7;
    feed("\n\x11\x13");
    EXPECT_EQ(link.comm.last_rx_time, 7u);
    feed(">\nO\x11\x13\r");
    EXPECT_EQ(log.lines(), (std::vector<LoggedLine>{{"", "Door A is open ", false}}));
}

TEST_F(LinkStepsTest, LongMessagesKeepTheirFirstHundredBytes) {
    feed(std::string(150, 'a'));
    EXPECT_EQ(buffer_remaining(link.comm.message.get()), 100u);
    EXPECT_EQ(buffer_string(link.comm.message.get()), std::string(100, 'a'));
    feed("\r");
    EXPECT_EQ(buffer_remaining(link.comm.message.get()), 0u);
}

// --- watchdog --------------------------------------------------------------------------------

TEST_F(LinkStepsTest, WatchdogFiresOncePerLoadAfterFiveSeconds) {
    feed("RD-04\r");
    clock.advance(1);
    post_request(link, request_open_door_a);
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
    post_request(link, request_open_door_b); // a new load arms it again
    pass();
    clock.advance(5001);
    pass();
    EXPECT_EQ(host.boxes.size(), 2u);
}

TEST_F(LinkStepsTest, AnyByteAfterTheLoadDisarmsTheWatchdog) {
    post_request(link, request_open_door_a);
    pass();
    clock.advance(10);
    feed("o");
    clock.advance(10000);
    pass();
    EXPECT_TRUE(host.boxes.empty());
}

TEST_F(LinkStepsTest, SilenceAfterTheLoopStartIsReportedOnce) {
    clock.advance(5001);
    pass();
    pass();
    EXPECT_EQ(host.boxes.size(), 1u);
}

TEST_F(LinkStepsTest, WatchdogSurvivesTheTickWrapping) {
    clock.set(0xffffff00u);
    receive_loop_start(link);
    clock.advance(0x200); // wrapped: 0x100
    pass();
    EXPECT_TRUE(host.boxes.empty());
    clock.advance(5000);
    pass();
    EXPECT_EQ(host.boxes.size(), 1u);
}

} // namespace
