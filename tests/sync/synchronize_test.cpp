// The synchronize operation against a scripted comm thread: every path, every text, caption and
// icon, the order of deletes and adds, the disabled command, the progress bar and the run's
// lifetime. The clock advances by itself, so the 5000 ms waits take milliseconds.
#include "sync/sync_thread.h"
#include "sync/synchronize.h"

#include "scripted_comm.h"
#include "support/fake_clock.h"
#include "support/link_fixture.h"
#include "support/link_test_access.h"
#include "support/recording_log.h"
#include "trace_host.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

const char* const no_port_text = "There is no active COM port.\n\nChoose one using the "
                                 "'File/Settings'\nmenu, or open an existing database.";
const char* const no_response_text =
    "Tessary didn't get a response from the key controller.\nIs the controller properly "
    "connected to this computer?";

// Counts key list changes and notes any made off the user-interface thread.
struct UiCheckingObserver final : KeyListObserver {
    void rows_inserted(int, int) override { check(); }
    void rows_removed(int, int) override { check(); }
    void row_changed(int) override { check(); }
    void rows_reordered() override { check(); }
    void rows_reset() override { check(); }
    void check() {
        if (!TraceHost::in_ui()) {
            ++off_ui;
        }
    }
    std::atomic<int> off_ui{0};
};

// Made before the link fixture, which takes them.
struct SyncTestParts {
    FakeClock fake_clock;
    UiCheckingObserver db_observer;
    UiCheckingObserver controller_observer;
};

class SyncTest : public ::testing::Test, protected SyncTestParts, protected LinkFixture<TraceHost> {
  protected:
    SyncTest() : LinkFixture(fake_clock, &db_observer, &controller_observer) {
        clock.auto_advance = true;
    }
    ~SyncTest() override { comm.stop(); }

    void database_keys(std::initializer_list<uint32_t> keys) {
        for (uint32_t k : keys) {
            ASSERT_GE(db.keys.add(KeyId{0, k, 0}, "key " + std::to_string(k)), 0);
        }
    }
    SyncResult run() {
        db_observer.off_ui = 0;
        controller_observer.off_ui = 0;
        comm.start();
        SyncResult r = synchronize_keys(ctx);
        comm.stop();
        return r;
    }
    std::vector<std::string> sent_after_readout() {
        std::vector<std::string> s = comm.sent();
        EXPECT_FALSE(s.empty());
        if (!s.empty()) {
            EXPECT_EQ(s.front(), "s");
            s.erase(s.begin());
        }
        return s;
    }
    // The disabled command brackets everything the run showed, and the run ends "Ready".
    void expect_bracketed_by_disable_and_enable() {
        std::vector<std::string> t = host.trace_snapshot();
        ASSERT_GE(t.size(), 4u);
        EXPECT_EQ(t[0], "sync running");
        EXPECT_EQ(t[1], "status Checking the keys in the key controller");
        EXPECT_EQ(t[t.size() - 2], "status Ready");
        EXPECT_EQ(t.back(), "sync done");
        EXPECT_EQ(std::count(t.begin(), t.end(), "sync running"), 1);
        EXPECT_EQ(std::count(t.begin(), t.end(), "sync done"), 1);
        EXPECT_EQ(host.off_ui_calls.load(), 0);
        EXPECT_EQ(db_observer.off_ui.load(), 0);
        EXPECT_EQ(controller_observer.off_ui.load(), 0);
    }
    void expect_one_box(const std::string& caption, const std::string& text, MsgIcon icon) {
        auto boxes = host.boxes_snapshot();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].caption, caption);
        EXPECT_EQ(boxes[0].text, text);
        EXPECT_EQ(boxes[0].icon, icon);
        EXPECT_EQ(boxes[0].buttons, MsgButtons::Ok);
    }
    void expect_question_then(const std::string& caption, const std::string& text, MsgIcon icon) {
        auto boxes = host.boxes_snapshot();
        ASSERT_EQ(boxes.size(), 2u);
        EXPECT_EQ(boxes[0].caption, "Tessary - Synchronizing with controller");
        EXPECT_EQ(boxes[0].text,
                  "The controller contains keys which aren't in the current database.\n"
                  "Do you want to keep these keys?\n\n"
                  "Choose 'Yes' to add the keys to the current database.\n"
                  "Choose 'No'  to remove the keys from the door controller.\n"
                  "Choose 'Cancel' to stop the synchronize operation.\n");
        EXPECT_EQ(boxes[0].icon, MsgIcon::Question);
        EXPECT_EQ(boxes[0].buttons, MsgButtons::YesNoCancel);
        EXPECT_EQ(boxes[0].default_button, MsgAnswer::No);
        EXPECT_EQ(boxes[1].caption, caption);
        EXPECT_EQ(boxes[1].text, text);
        EXPECT_EQ(boxes[1].icon, icon);
        EXPECT_EQ(boxes[1].buttons, MsgButtons::Ok);
    }
    std::string free_field(int row) {
        return db.keys.row(row) ? db.keys.row(row)->free_field : std::string();
    }
    std::string name(int row) { return db.keys.row(row) ? db.keys.row(row)->name : std::string(); }

    FakeClock& clock = fake_clock;
    ScriptedComm comm{link};
    int modified_calls = 0;
    TraceSyncObserver observer{host, [this] {
                                   EXPECT_TRUE(TraceHost::in_ui());
                                   ++modified_calls;
                               }};
    SyncContext ctx{link, db, controller, &observer};
};

// --- nothing to do, and the three answers ------------------------------------------------------

TEST_F(SyncTest, SameKeysOnBothSidesIsAlreadyUpToDateAndSendsNothing) {
    database_keys({0x10, 0x11, 0x12});
    comm.memory = {0x12, 0x10, 0x11};
    EXPECT_EQ(run(), SyncResult::UpToDate);
    EXPECT_THAT(comm.sent(), ElementsAre("s"));
    expect_one_box("Tessary - Synchronizing with controller",
                   "The database and the key controller are already up to date.",
                   MsgIcon::Information);
    expect_bracketed_by_disable_and_enable();
    EXPECT_EQ(modified_calls, 0);
    EXPECT_THAT(host.progress, IsEmpty());
    // The read-out's own log line is the decoder's; the operation adds none.
    EXPECT_THAT(log.lines(),
                ElementsAre(LoggedLine{" - ", "Performed synchronization with RD-unit.", true}));
}

class ExtraKeysTest : public SyncTest {
  protected:
    // The controller holds its master and two keys the database lacks; the database holds two
    // keys the controller lacks.
    ExtraKeysTest() {
        database_keys({0x0a, 0xb1, 0xb2});
        comm.memory = {0x100, 0x0a, 0x101, 0x102};
    }
};

TEST_F(ExtraKeysTest, YesKeepsTheExtraKeysInTheDatabaseAndAddsTheMissingOnes) {
    host.push_answer(MsgAnswer::Yes);
    EXPECT_EQ(run(), SyncResult::Done);
    expect_question_then("Tessary - Synchronizing with controller",
                         "The database and the key controller are now up to date.",
                         MsgIcon::Information);
    expect_bracketed_by_disable_and_enable();

    // Three new rows after the database's own, the master's with its own note.
    ASSERT_EQ(db.keys.size(), 6);
    std::vector<uint32_t> added;
    for (int row = 3; row < 6; ++row) {
        const KeyId id = db.keys.row(row)->id;
        added.push_back(id.number);
        EXPECT_EQ(name(row), "<No name yet>");
        EXPECT_EQ(db.keys.row(row)->memo, "");
        if (id.number == 0x100) {
            EXPECT_EQ(free_field(row),
                      "This is the master key, according to the synchronize operation on "
                      "2003/7/4 9:05");
        } else {
            EXPECT_EQ(free_field(row),
                      "This key was added by the synchronize operation on 2003/7/4 9:05");
        }
    }
    std::sort(added.begin(), added.end());
    EXPECT_THAT(added, ElementsAre(0x100u, 0x101u, 0x102u));
    EXPECT_EQ(modified_calls, 1);

    // The extra keys stay in the controller: nothing is deleted, only the missing are added.
    std::vector<std::string> sent = sent_after_readout();
    std::sort(sent.begin(), sent.end());
    EXPECT_THAT(sent, ElementsAre("n0000b1", "n0000b2"));

    std::vector<std::string> t = host.trace_snapshot();
    EXPECT_NE(std::find(t.begin(), t.end(), "status Adding keys to the key controller"), t.end());
    EXPECT_EQ(std::find(t.begin(), t.end(), "status Deleting keys from the key controller"),
              t.end());
}

TEST_F(ExtraKeysTest, NoDeletesAllThreeExtrasMasterIncludedBeforeAnyAdd) {
    host.push_answer(MsgAnswer::No);
    EXPECT_EQ(run(), SyncResult::Done);
    expect_question_then("Tessary - Synchronizing with controller",
                         "The database and the key controller are now up to date.",
                         MsgIcon::Information);
    expect_bracketed_by_disable_and_enable();

    std::vector<std::string> sent = sent_after_readout();
    ASSERT_EQ(sent.size(), 5u);
    std::vector<std::string> deletes(sent.begin(), sent.begin() + 3);
    std::vector<std::string> adds(sent.begin() + 3, sent.end());
    std::sort(deletes.begin(), deletes.end());
    std::sort(adds.begin(), adds.end());
    EXPECT_THAT(deletes, ElementsAre("d000100", "d000101", "d000102"));
    EXPECT_THAT(adds, ElementsAre("n0000b1", "n0000b2"));

    EXPECT_EQ(db.keys.size(), 3);
    EXPECT_EQ(modified_calls, 0);

    std::vector<std::string> t = host.trace_snapshot();
    auto deleting = std::find(t.begin(), t.end(), "status Deleting keys from the key controller");
    auto adding = std::find(t.begin(), t.end(), "status Adding keys to the key controller");
    ASSERT_NE(deleting, t.end());
    ASSERT_NE(adding, t.end());
    EXPECT_LT(deleting, adding);
}

TEST_F(ExtraKeysTest, CancelSendsNothingAfterTheReadOutAndChangesNothing) {
    host.push_answer(MsgAnswer::Cancel);
    EXPECT_EQ(run(), SyncResult::Cancelled);
    EXPECT_THAT(comm.sent(), ElementsAre("s"));
    EXPECT_EQ(host.boxes_snapshot().size(), 1u);
    EXPECT_EQ(db.keys.size(), 3);
    EXPECT_EQ(modified_calls, 0);
    expect_bracketed_by_disable_and_enable();
    EXPECT_THAT(host.progress, IsEmpty());
}

TEST_F(ExtraKeysTest, AnUnscriptedAnswerTakesNoTheDefault) {
    EXPECT_EQ(run(), SyncResult::Done);
    EXPECT_EQ(sent_after_readout().size(), 5u);
    EXPECT_EQ(db.keys.size(), 3);
}

TEST_F(ExtraKeysTest, AnyOtherAnswerCountsAsCancel) {
    host.push_answer(MsgAnswer::Ok);
    EXPECT_EQ(run(), SyncResult::Cancelled);
    EXPECT_THAT(comm.sent(), ElementsAre("s"));
}

TEST_F(SyncTest, OnlyMissingKeysAsksNothingAndAddsThem) {
    database_keys({0x1, 0x2, 0xab});
    comm.memory = {};
    EXPECT_EQ(run(), SyncResult::Done);
    std::vector<std::string> sent = sent_after_readout();
    std::sort(sent.begin(), sent.end());
    EXPECT_THAT(sent, ElementsAre("n000001", "n000002", "n0000ab"));
    expect_one_box("Tessary - Synchronizing with controller",
                   "The database and the key controller are now up to date.", MsgIcon::Information);
    expect_bracketed_by_disable_and_enable();
}

// --- transfer failures -------------------------------------------------------------------------

TEST_F(SyncTest, ARefusedKeyIsADataErrorAfterTheAcknowledgementWait) {
    database_keys({0x1, 0x2, 0x3});
    comm.memory = {0x100};
    comm.refused = {0x2};
    host.push_answer(MsgAnswer::Yes);
    uint32_t before = clock.tick_ms();
    EXPECT_EQ(run(), SyncResult::DataError);
    // The acknowledgement wait ran its 5000 ms on the clock.
    EXPECT_GE(clock.tick_ms() - before, 5000u);
    expect_question_then("Tessary - Synchronizing with controller",
                         "A data error occurred during synchronisation.\nSynchronisation is "
                         "incomplete.",
                         MsgIcon::Error);
    expect_bracketed_by_disable_and_enable();
}

TEST_F(SyncTest, PageFullIsReportedEvenWhenEveryKeyWasAcknowledged) {
    database_keys({0x1, 0x2, 0x3});
    comm.memory = {0x100};
    comm.page_full_after = {0x2};
    host.push_answer(MsgAnswer::Yes);
    EXPECT_EQ(run(), SyncResult::NoRoom);
    expect_question_then("Tessary - Adding keys to controller",
                         "There was no room in the key controller for some of the\nkeys. (Read "
                         "the documentation for more information).",
                         MsgIcon::Error);
    expect_bracketed_by_disable_and_enable();
}

TEST_F(SyncTest, PageFullWinsOverARefusal) {
    database_keys({0x1, 0x2, 0x3});
    comm.page_full_after = {0x3};
    comm.refused = {0x3};
    EXPECT_EQ(run(), SyncResult::NoRoom);
    expect_one_box("Tessary - Adding keys to controller",
                   "There was no room in the key controller for some of the\nkeys. (Read the "
                   "documentation for more information).",
                   MsgIcon::Error);
}

TEST_F(SyncTest, APageFullLeftFromEarlierDoesNotCount) {
    database_keys({0x1});
    decoder.state.page_full_seen = true; // a manual add that failed before this run
    EXPECT_EQ(run(), SyncResult::Done);
    expect_one_box("Tessary - Synchronizing with controller",
                   "The database and the key controller are now up to date.", MsgIcon::Information);
}

TEST_F(SyncTest, AFailedDeletePhaseStillAddsThenReportsTheDataError) {
    database_keys({0x1});
    comm.memory = {0x100, 0x200};
    comm.refused = {0x200};
    host.push_answer(MsgAnswer::No);
    EXPECT_EQ(run(), SyncResult::DataError);
    std::vector<std::string> sent = sent_after_readout();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent.back(), "n000001");
    EXPECT_EQ(host.boxes_snapshot().back().text,
              "A data error occurred during synchronisation.\nSynchronisation is incomplete.");
}

TEST_F(SyncTest, TheCommThreadStoppingDuringATransferIsADataError) {
    database_keys({0x1, 0x2, 0x3});
    comm.before_key = [this](size_t loaded) {
        if (loaded == 1) {
            link.request_stop(); // the second key is the last one loaded
        }
    };
    EXPECT_EQ(run(), SyncResult::DataError);
    expect_one_box("Tessary - Synchronizing with controller",
                   "A data error occurred during synchronisation.\nSynchronisation is "
                   "incomplete.",
                   MsgIcon::Error);
    expect_bracketed_by_disable_and_enable();
}

// --- the read-out ends badly -------------------------------------------------------------------

TEST_F(SyncTest, NoComPortShowsOnlyThePostsMessageAndEndsReady) {
    database_keys({0x1});
    db_observer.off_ui = 0;
    controller_observer.off_ui = 0;
    EXPECT_EQ(synchronize_keys(ctx), SyncResult::NoPort);
    expect_one_box("Tessary - Serial communications", no_port_text, MsgIcon::Error);
    expect_bracketed_by_disable_and_enable();
}

TEST_F(SyncTest, ASilentControllerShowsOnlyTheNoResponseMessage) {
    database_keys({0x1});
    comm.readout = ScriptedComm::Readout::Silent;
    EXPECT_EQ(run(), SyncResult::NoAnswer);
    expect_one_box("Tessary - Serial communications", no_response_text, MsgIcon::Error);
    expect_bracketed_by_disable_and_enable();
    EXPECT_THAT(comm.sent(), ElementsAre("s"));
}

TEST_F(SyncTest, TheCommThreadStoppingDuringTheReadOutWaitEndsTheRunQuietly) {
    database_keys({0x1});
    comm.readout = ScriptedComm::Readout::Ignore;
    comm.on_readout_request = [this] { link.request_stop(); };
    EXPECT_EQ(run(), SyncResult::CommStopped);
    EXPECT_THAT(host.boxes_snapshot(), IsEmpty());
    expect_bracketed_by_disable_and_enable();
}

TEST_F(SyncTest, ACommThreadRestartBetweenTwoPollsAlsoEndsTheWait) {
    database_keys({0x1});
    comm.readout = ScriptedComm::Readout::Ignore;
    // A stop and a start in one go, as a port change in the settings does: comm_active never
    // reads false, but the thread the request went to is gone.
    comm.on_readout_request = [this] { LinkTestAccess::count_restart(link); };
    EXPECT_EQ(run(), SyncResult::CommStopped);
    EXPECT_THAT(host.boxes_snapshot(), IsEmpty());
    expect_bracketed_by_disable_and_enable();
}

TEST_F(SyncTest, AReadOutDoneLeftFromEarlierIsNotTakenForThisOne) {
    database_keys({0x1});
    decoder.state.readout_done = true;
    decoder.state.no_response_seen = true;
    comm.memory = {0x1};
    // The read-out comes only after a few of the operation's polls.
    comm.on_readout_request = [] { std::this_thread::sleep_for(std::chrono::milliseconds(30)); };
    EXPECT_EQ(run(), SyncResult::UpToDate);
}

TEST_F(SyncTest, AnIncompleteReadOutAsksAndCancelEndsTheRun) {
    database_keys({0x1});
    comm.memory = {0x100};
    comm.readout = ScriptedComm::Readout::Incomplete;
    EXPECT_EQ(run(), SyncResult::ReadoutAbandoned);
    auto boxes = host.boxes_snapshot();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, "Tessary - Synchronizing with controller");
    EXPECT_EQ(boxes[0].text,
              "A data communication problem occurred while Tessary was checking which keys\nare "
              "already in the key controller. Tessary may not have received all of the\nkeys "
              "correctly. Press 'OK' to continue with the synchronize operation or\n'cancel' to "
              "abort.");
    EXPECT_EQ(boxes[0].icon, MsgIcon::Error);
    EXPECT_EQ(boxes[0].buttons, MsgButtons::OkCancel);
    EXPECT_EQ(boxes[0].default_button, MsgAnswer::Cancel);
    expect_bracketed_by_disable_and_enable();
    EXPECT_THAT(comm.sent(), ElementsAre("s"));
}

TEST_F(SyncTest, AnIncompleteReadOutAnsweredOkGoesOn) {
    database_keys({0x1});
    comm.memory = {0x100};
    comm.readout = ScriptedComm::Readout::Incomplete;
    host.push_answer(MsgAnswer::Ok);
    host.push_answer(MsgAnswer::Cancel);
    EXPECT_EQ(run(), SyncResult::Cancelled);
    auto boxes = host.boxes_snapshot();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].buttons, MsgButtons::OkCancel);
    EXPECT_EQ(boxes[1].buttons, MsgButtons::YesNoCancel);
}

// --- the progress bar --------------------------------------------------------------------------

TEST_F(ExtraKeysTest, TheProgressBarFollowsEachPhaseAndGoesAwayBeforeTheReport) {
    host.push_answer(MsgAnswer::No);
    EXPECT_EQ(run(), SyncResult::Done);
    const auto& p = host.progress;
    ASSERT_GE(p.size(), 3u);
    // Delete phase: 0 of 3 rising to 3 of 3; then the add phase from 0 of 2; then hidden.
    EXPECT_EQ(p.front(), std::make_pair(0, 3));
    auto add_start = std::find(p.begin(), p.end(), std::make_pair(0, 2));
    ASSERT_NE(add_start, p.end());
    for (auto it = p.begin(); it != add_start; ++it) {
        EXPECT_EQ(it->second, 3);
        if (it != p.begin()) {
            EXPECT_GT(it->first, (it - 1)->first);
        }
    }
    EXPECT_EQ((add_start - 1)->first, 3);
    for (auto it = add_start; it != p.end() - 1; ++it) {
        EXPECT_EQ(it->second, 2);
        EXPECT_LE(it->first, 2);
    }
    EXPECT_EQ((p.end() - 2)->first, 2);
    EXPECT_EQ(p.back(), std::make_pair(-1, -1));

    // The bar goes away before the report, and the status texts stay the operation's own.
    std::vector<std::string> t = host.trace_snapshot();
    auto hide = std::find(t.begin(), t.end(), "hide progress");
    auto report = std::find(t.begin(), t.end(), "box Tessary - Synchronizing with controller");
    ASSERT_NE(hide, t.end());
    EXPECT_LT(report, hide); // the question came first ...
    EXPECT_EQ(std::find(hide, t.end(), "box Tessary - Synchronizing with controller") - hide,
              1); // ... and the report right after the bar went
    for (const std::string& line : host.status_texts) {
        EXPECT_THAT(line, ::testing::AnyOf("Checking the keys in the key controller",
                                           "Deleting keys from the key controller",
                                           "Adding keys to the key controller", "Ready"));
    }
}

TEST_F(SyncTest, AFailedPhaseStillHidesTheBar) {
    database_keys({0x1, 0x2});
    comm.refused = {0x1};
    EXPECT_EQ(run(), SyncResult::DataError);
    ASSERT_FALSE(host.progress.empty());
    EXPECT_EQ(host.progress.front(), std::make_pair(0, 2));
    EXPECT_EQ(host.progress.back(), std::make_pair(-1, -1));
    // The refused key was never acknowledged, so the bar never showed 2 of 2.
    EXPECT_EQ(std::count(host.progress.begin(), host.progress.end(), std::make_pair(2, 2)), 0);
}

// --- the thread and its lifetime ---------------------------------------------------------------

TEST_F(SyncTest, TheThreadRunsOnceAtATimeAndCanRunAgainAfterwards) {
    database_keys({0x1});
    comm.memory = {0x1};
    comm.readout = ScriptedComm::Readout::Ignore;
    comm.start();
    SyncThread sync(link, db, controller, &observer);
    ASSERT_TRUE(sync.start());
    EXPECT_TRUE(sync.running());
    ASSERT_TRUE(wait_for([&] { return comm.sent().size() == 1; }));
    EXPECT_FALSE(sync.start()); // the first run is still waiting for its read-out
    link.request_stop();
    ASSERT_TRUE(wait_for([&] { return !sync.running(); }));
    EXPECT_EQ(sync.last_result(), SyncResult::CommStopped);

    comm.stop();
    comm.readout = ScriptedComm::Readout::Keys;
    comm.start();
    ASSERT_TRUE(sync.start());
    ASSERT_TRUE(wait_for([&] { return !sync.running(); }));
    EXPECT_EQ(sync.last_result(), SyncResult::UpToDate);
}

TEST_F(SyncTest, ShuttingDownDuringTheReadOutWaitEndsTheRunWithoutTouchingTheWindow) {
    database_keys({0x1});
    comm.readout = ScriptedComm::Readout::Ignore;
    comm.start();
    {
        SyncThread sync(link, db, controller, &observer);
        ASSERT_TRUE(sync.start());
        ASSERT_TRUE(wait_for([&] { return comm.sent().size() == 1; }));
        sync.shut_down();
        EXPECT_FALSE(sync.running());
        EXPECT_EQ(sync.last_result(), SyncResult::Shutdown);
        EXPECT_FALSE(sync.start());
    }
    std::vector<std::string> t = host.trace_snapshot();
    EXPECT_EQ(std::find(t.begin(), t.end(), "status Ready"), t.end());
    EXPECT_THAT(host.boxes_snapshot(), IsEmpty());
}

TEST_F(SyncTest, DestroyingTheOwnerDuringAStalledTransferStopsTheCommThreadAndJoins) {
    database_keys({0x1, 0x2});
    comm.take_transfers = false; // the loading wait has no time limit of its own
    comm.start();
    auto sync = std::make_unique<SyncThread>(link, db, controller, &observer);
    ASSERT_TRUE(sync->start());
    ASSERT_TRUE(wait_for([&] { return link.transfer_remaining() == 2; }));
    sync.reset(); // the destructor shuts down: must not hang, must not leave the thread behind
    EXPECT_FALSE(link.active());
    EXPECT_THAT(host.boxes_snapshot(), IsEmpty());
}

} // namespace

// --- days of validity ----------------------------------------------------------------------------

// Key 5 opens on two days; the controller holds its master (in the database too) and, when
// asked, key 5.
class ValidityTest : public SyncTest {
  protected:
    ValidityTest() {
        database_keys({0x100, 0x5});
        db.keys.set_validity(1, first, Day{first.number + 1});
    }
    SyncResult run_on(Day day, bool controller_holds_key) {
        ctx.today = [day] { return day; };
        comm.memory =
            controller_holds_key ? std::vector<uint32_t>{0x100, 0x5} : std::vector<uint32_t>{0x100};
        return run();
    }
    const Day first = *parse_day("2026-03-01");
};

TEST_F(ValidityTest, AKeyIsAddedOnItsFirstDay) {
    EXPECT_EQ(run_on(first, false), SyncResult::Done);
    EXPECT_THAT(sent_after_readout(), ElementsAre("n000005"));
}

TEST_F(ValidityTest, AKeyIsNotAddedTheDayBeforeItsFirst) {
    EXPECT_EQ(run_on(Day{first.number - 1}, false), SyncResult::UpToDate);
}

TEST_F(ValidityTest, AKeyIsKeptOnItsLastDay) {
    EXPECT_EQ(run_on(Day{first.number + 1}, true), SyncResult::UpToDate);
}

// No question: the database does not hold an extra key, it holds one that must not open.
TEST_F(ValidityTest, AKeyIsDeletedTheDayAfterItsLastWithoutAQuestion) {
    EXPECT_EQ(run_on(Day{first.number + 2}, true), SyncResult::Done);
    EXPECT_THAT(sent_after_readout(), ElementsAre("d000005"));
    expect_one_box("Tessary - Synchronizing with controller",
                   "The database and the key controller are now up to date.", MsgIcon::Information);
}

namespace {

TEST(VerifyText, ListsBothGroupsTenToALineAndCapsEachAtTwenty) {
    KeyDifference diff;
    for (uint32_t k = 1; k <= 23; ++k) {
        diff.to_add.push_back(KeyId{0, 0xa00 + k, 0});
    }
    diff.extra.push_back(KeyId{7, 0x12abcdef, 9}); // only the low 24 bits are the key
    std::string lacks;
    for (uint32_t k = 1; k <= 20; ++k) {
        char number[8];
        std::snprintf(number, sizeof number, "%06x", 0xa00 + k);
        lacks += k == 1 || k == 11 ? '\n' : ' ';
        lacks += number;
    }
    EXPECT_EQ(verify_failed_text(diff),
              "The key controller was read back after the synchronize operation and does not "
              "hold\nexactly the keys of the database.\n\nKeys the controller lacks:" +
                  lacks + " and 3 more\n\nKeys only the controller holds:\nabcdef");
}

} // namespace
