// Synchronize end to end: the real comm thread on a pseudo-terminal, the simulated controller
// of each model on the other side, and a scripted answer to each box. What the unit received
// is checked byte for byte, and what it holds afterwards key for key.
#include "sync/synchronize.h"

#include "sim_controller.h"
#include "support/hex_dump.h"
#include "support/link_fixture.h"
#include "sync/trace_host.h"
#include "tcp_bridge.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <thread>

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

namespace {

const char* const caption = "Tessary - Synchronizing with controller";
const char* const now_up_to_date = "The database and the key controller are now up to date.";
const char* const data_error =
    "A data error occurred during synchronisation.\nSynchronisation is incomplete.";
const char* const no_room = "There was no room in the key controller for some of the\nkeys. "
                            "(Read the documentation for more information).";
const char* const extra_keys_question =
    "The controller contains keys which aren't in the current database.\nDo you want to keep "
    "these keys?\n\nChoose 'Yes' to add the keys to the current database.\nChoose 'No'  to "
    "remove the keys from the door controller.\nChoose 'Cancel' to stop the synchronize "
    "operation.\n";

// The real clock run faster by a whole factor, so that the 5000 ms windows (the watchdog, the
// acknowledgement wait) pass in 1000 ms while everything keeps its real order and proportion.
class FastClock final : public Clock {
  public:
    explicit FastClock(uint32_t factor) : factor_(factor) {}
    uint32_t tick_ms() override { return system_clock().tick_ms() * factor_; }
    LocalTime local_time() override { return LocalTime{2003, 7, 4, 9, 5, 0}; }
    void sleep_ms(uint32_t ms) override { system_clock().sleep_ms((ms + factor_ - 1) / factor_); }
    bool wait_for(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                  uint32_t timeout_ms, const std::function<bool()>& ready) override {
        return Clock::wait_for(cv, lock, real_wait_ms(timeout_ms), ready);
    }
    uint32_t real_wait_ms(uint32_t timeout_ms) override {
        return (timeout_ms + factor_ - 1) / factor_;
    }

  private:
    uint32_t factor_;
};

// The same local time as the fast clock, at the real pace.
class RealClock final : public Clock {
  public:
    uint32_t tick_ms() override { return system_clock().tick_ms(); }
    LocalTime local_time() override { return LocalTime{2003, 7, 4, 9, 5, 0}; }
    void sleep_ms(uint32_t ms) override { system_clock().sleep_ms(ms); }
};

// The link is built with the test, before a test says whether it wants the fast pace; it sees
// the pace through this clock, which connect() sets before the comm thread starts.
class PaceClock final : public Clock {
  public:
    void go_fast(bool fast) { chosen_ = fast ? static_cast<Clock*>(&fast_) : &real_; }
    uint32_t tick_ms() override { return chosen_->tick_ms(); }
    LocalTime local_time() override { return chosen_->local_time(); }
    void sleep_ms(uint32_t ms) override { chosen_->sleep_ms(ms); }
    bool wait_for(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                  uint32_t timeout_ms, const std::function<bool()>& ready) override {
        return chosen_->wait_for(cv, lock, timeout_ms, ready);
    }
    uint32_t real_wait_ms(uint32_t timeout_ms) override {
        return chosen_->real_wait_ms(timeout_ms);
    }

  private:
    FastClock fast_{5};
    RealClock real_;
    Clock* chosen_ = &real_;
};

struct Box {
    std::string caption;
    std::string text;
    MsgIcon icon;
    MsgButtons buttons;
    friend bool operator==(const Box&, const Box&) = default;
};

std::ostream& operator<<(std::ostream& os, const Box& b) {
    return os << "{" << b.caption << " | " << b.text << " | icon " << static_cast<int>(b.icon)
              << " | buttons " << static_cast<int>(b.buttons) << "}";
}

const Box question{caption, extra_keys_question, MsgIcon::Question, MsgButtons::YesNoCancel};

// How the comm thread reaches the simulated unit: its pty directly; COM3 in a port folder,
// linked to the pty; or COM3 in a port folder naming a TCP bridge to the pty.
enum class Route { Direct, Folder, Tcp };

class SimSyncTest : public ::testing::TestWithParam<SimModel> {
  protected:
    ~SimSyncTest() override {
        link->stop();
        bridge.reset();
        if (sim) {
            sim->stop();
        }
        if (!port_dir.empty()) {
            std::filesystem::remove_all(port_dir);
        }
    }

    // The controller on a pty, the comm thread on its other end, and the unit's answer to the
    // reset (its identification) taken in. fast: the 5000 ms windows pass in 1000 ms.
    void connect(bool fast = false, SimOptions options = {}, Route route = Route::Direct) {
        clock.go_fast(fast);
        ctx = std::make_unique<SyncContext>(*link, db, controller, &observer);

        options.model = GetParam();
        sim = std::make_unique<SimController>(options);
        sim->set_memory(master, memory);
        ASSERT_TRUE(sim->start());
        link->port_path = [this](uint32_t) { return sim->device(); };
        if (route != Route::Direct) {
            char dir[] = "/tmp/tessary-ports-XXXXXX";
            ASSERT_NE(mkdtemp(dir), nullptr);
            port_dir = dir;
            link->port_path = [this](uint32_t n) { return port_dir + "/COM" + std::to_string(n); };
        }
        if (route == Route::Folder) {
            ASSERT_TRUE(sim->link_as(port_dir, 3));
        }
        if (route == Route::Tcp) {
            bridge = std::make_unique<TcpBridge>(sim->device());
            ASSERT_TRUE(bridge->start());
            std::ofstream(port_dir + "/COM3") << "tcp:127.0.0.1:" << bridge->port() << "\n";
        }
        link->start(route == Route::Direct ? 1 : 3);
        ASSERT_TRUE(sim->wait_received("r", 10000)) << hex_dump(sim->received());
        ASSERT_TRUE(sim->wait_idle(10000));
        // Let the comm thread read the identification before the first command.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        sim->clear_record();
    }
    void database_keys(std::initializer_list<uint32_t> keys) {
        for (uint32_t k : keys) {
            db_keys.push_back(k);
        }
    }
    // The database is filled after connect() made the lists.
    void fill_database() {
        for (uint32_t k : db_keys) {
            if (db.keys.find(KeyId{0, k, 0}) >= 0) {
                continue; // filled by an earlier run
            }
            ASSERT_GE(db.keys.add(KeyId{0, k, 0}, "someone"), 0);
        }
    }
    SyncResult run() {
        fill_database();
        SyncResult result = SyncResult::Done;
        std::thread t([&] { result = synchronize_keys(*ctx); });
        t.join();
        return result;
    }
    std::vector<Box> boxes() {
        std::vector<Box> out;
        for (const RecordedBox& b : host.boxes_snapshot()) {
            out.push_back({b.caption, b.text, b.icon, b.buttons});
        }
        return out;
    }
    // The commands the unit received after the read-out request, split at their CRs.
    std::vector<std::string> commands_after_readout() {
        std::string got = sim->received();
        EXPECT_EQ(got.substr(0, 1), "s") << hex_dump(got);
        std::vector<std::string> out;
        std::string current;
        for (char c : got.substr(1)) {
            if (c == '\r') {
                out.push_back(current);
                current.clear();
            } else {
                current += c;
            }
        }
        EXPECT_EQ(current, "") << "a command without its CR";
        return out;
    }
    void expect_ended_ready() {
        std::vector<std::string> t = host.trace_snapshot();
        ASSERT_GE(t.size(), 2u);
        EXPECT_EQ(t.front(), "sync running");
        EXPECT_EQ(t[t.size() - 2], "status Ready");
        EXPECT_EQ(t.back(), "sync done");
        EXPECT_EQ(host.off_ui_calls.load(), 0);
    }
    std::string free_field_of(uint32_t key) {
        const KeyRecord* k = db.keys.row(db.keys.find(KeyId{0, key, 0}));
        return k ? k->free_field : std::string();
    }
    std::string name_of(uint32_t key) {
        const KeyRecord* k = db.keys.row(db.keys.find(KeyId{0, key, 0}));
        return k ? k->name : std::string();
    }

    PaceClock clock;
    LinkFixture<TraceHost> fixture{clock};
    TraceHost& host = fixture.host;
    RecordingLog& log = fixture.log;
    KeyList& controller = fixture.controller;
    KeyDatabase& db = fixture.db;
    Link* const link = &fixture.link;
    TraceSyncObserver observer{host, [this] { ++modified_calls; }};
    std::unique_ptr<SyncContext> ctx;
    std::unique_ptr<SimController> sim;
    std::unique_ptr<TcpBridge> bridge;
    std::string port_dir;
    int modified_calls = 0;

    uint32_t master = 0x100;
    std::vector<uint32_t> memory; // besides the master
    std::vector<uint32_t> db_keys;
};

size_t log_count(RecordingLog& log, const std::string& event) {
    auto lines = log.lines();
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const LoggedLine& l) {
        return l.event == event && l.key == " - " && l.highlight;
    }));
}

std::set<uint32_t> as_set(const std::vector<uint32_t>& v) {
    return {v.begin(), v.end()};
}

// --- outcomes that need no waiting -------------------------------------------------------------

TEST_P(SimSyncTest, AlreadyUpToDateSendsNothingButTheReadOutRequest) {
    memory = {0x0a, 0x0b};
    database_keys({0x0b, 0x100, 0x0a});
    connect();
    EXPECT_EQ(run(), SyncResult::UpToDate);
    EXPECT_EQ(sim->received(), "s") << hex_dump(sim->received());
    EXPECT_THAT(boxes(), ElementsAre(Box{caption,
                                         "The database and the key controller are already up to "
                                         "date.",
                                         MsgIcon::Information, MsgButtons::Ok}));
    expect_ended_ready();
    EXPECT_EQ(modified_calls, 0);
}

class ExtraKeysSimTest : public SimSyncTest {
  protected:
    // The unit holds its master and two keys the database lacks, and one they share; the
    // database has two keys the unit lacks.
    ExtraKeysSimTest() {
        memory = {0x0a, 0x101, 0x102};
        database_keys({0x0a, 0xb1, 0xb2});
    }
};

TEST_P(ExtraKeysSimTest, YesKeepsTheExtrasAndAddsTheMissingKeys) {
    connect();
    host.push_answer(MsgAnswer::Yes);
    EXPECT_EQ(run(), SyncResult::Done);
    EXPECT_THAT(boxes(), ElementsAre(question, Box{caption, now_up_to_date, MsgIcon::Information,
                                                   MsgButtons::Ok}));
    EXPECT_EQ(host.boxes_snapshot()[0].default_button, MsgAnswer::No);
    expect_ended_ready();

    EXPECT_EQ(db.keys.size(), 6);
    for (uint32_t k : {0x100u, 0x101u, 0x102u}) {
        EXPECT_EQ(name_of(k), "<No name yet>");
    }
    EXPECT_EQ(free_field_of(0x100),
              "This is the master key, according to the synchronize operation on 2003/7/4 9:05");
    EXPECT_EQ(free_field_of(0x101),
              "This key was added by the synchronize operation on 2003/7/4 9:05");
    EXPECT_EQ(free_field_of(0x102),
              "This key was added by the synchronize operation on 2003/7/4 9:05");
    EXPECT_EQ(modified_calls, 1);

    EXPECT_THAT(commands_after_readout(), UnorderedElementsAre("n0000b1", "n0000b2"));
    EXPECT_EQ(as_set(sim->memory()), (std::set<uint32_t>{0x100, 0x0a, 0x101, 0x102, 0xb1, 0xb2}));
    // The bar counted the unit's acknowledgements up to both keys, then went away.
    ASSERT_GE(host.progress.size(), 3u);
    EXPECT_EQ(host.progress.front(), std::make_pair(0, 2));
    EXPECT_EQ(host.progress[host.progress.size() - 2], std::make_pair(2, 2));
    EXPECT_EQ(host.progress.back(), std::make_pair(-1, -1));
}

TEST_P(ExtraKeysSimTest, NoDeletesTheThreeExtrasFirstThenAdds) {
    connect();
    host.push_answer(MsgAnswer::No);
    EXPECT_EQ(run(), SyncResult::Done);
    EXPECT_THAT(boxes(), ElementsAre(question, Box{caption, now_up_to_date, MsgIcon::Information,
                                                   MsgButtons::Ok}));
    expect_ended_ready();

    std::vector<std::string> sent = commands_after_readout();
    ASSERT_EQ(sent.size(), 5u);
    EXPECT_THAT(std::vector<std::string>(sent.begin(), sent.begin() + 3),
                UnorderedElementsAre("d000100", "d000101", "d000102"));
    EXPECT_THAT(std::vector<std::string>(sent.begin() + 3, sent.end()),
                UnorderedElementsAre("n0000b1", "n0000b2"));
    EXPECT_EQ(as_set(sim->memory()), (std::set<uint32_t>{0x0a, 0xb1, 0xb2}));
    EXPECT_EQ(db.keys.size(), 3);
    EXPECT_EQ(modified_calls, 0);
}

TEST_P(ExtraKeysSimTest, CancelSendsNothingAfterTheReadOut) {
    connect();
    host.push_answer(MsgAnswer::Cancel);
    EXPECT_EQ(run(), SyncResult::Cancelled);
    EXPECT_EQ(sim->received(), "s") << hex_dump(sim->received());
    EXPECT_THAT(boxes(), ElementsAre(question));
    expect_ended_ready();
    EXPECT_EQ(host.status_texts.back(), "Ready");
    EXPECT_EQ(db.keys.size(), 3);
    EXPECT_EQ(as_set(sim->memory()), (std::set<uint32_t>{0x100, 0x0a, 0x101, 0x102}));
}

TEST_P(ExtraKeysSimTest, CompareFindsBothDirectionsAndSendsOnlyTheReadOut) {
    connect();
    fill_database();
    KeyDifference diff;
    SyncResult result = SyncResult::NoPort;
    std::thread t([&] { result = compare_with_controller(*ctx, diff); });
    t.join();
    EXPECT_EQ(result, SyncResult::Done);
    auto numbers = [](const std::vector<KeyId>& keys) {
        std::set<uint32_t> out;
        for (const KeyId& k : keys) {
            out.insert(k.number);
        }
        return out;
    };
    EXPECT_EQ(diff.master.number, 0x100u);
    EXPECT_EQ(numbers(diff.to_add), (std::set<uint32_t>{0xb1, 0xb2}));
    EXPECT_EQ(numbers(diff.extra), (std::set<uint32_t>{0x100, 0x101, 0x102}));
    EXPECT_THAT(diff.expired, IsEmpty());
    EXPECT_FALSE(diff.readout_incomplete);
    EXPECT_EQ(sim->received(), "s") << hex_dump(sim->received());
    EXPECT_THAT(boxes(), IsEmpty());
    EXPECT_THAT(host.trace_snapshot(), IsEmpty());
    EXPECT_EQ(db.keys.size(), 3);
    EXPECT_EQ(controller.size(), 4);
    EXPECT_EQ(modified_calls, 0);
    // Nothing was synchronized, and the log must not say so.
    EXPECT_EQ(log_count(log, "Compared the keys with RD-unit."), 1u);
    EXPECT_EQ(log_count(log, "Performed synchronization with RD-unit."), 0u);
}

TEST_P(ExtraKeysSimTest, RefusingExtrasSendsNothingAndAsksNothing) {
    connect();
    ctx->extra_keys = ExtraKeys::Refuse;
    EXPECT_EQ(run(), SyncResult::ExtrasRefused);
    EXPECT_EQ(sim->received(), "s") << hex_dump(sim->received());
    EXPECT_THAT(boxes(), IsEmpty());
    expect_ended_ready();
    EXPECT_EQ(as_set(sim->memory()), (std::set<uint32_t>{0x100, 0x0a, 0x101, 0x102}));
}

TEST_P(SimSyncTest, VerifyCatchesAKeyTheUnitAcknowledgedButDidNotStore) {
    database_keys({0x100, 0xb1, 0xb2, 0xb3});
    connect();
    sim->drop_key(0xb2);
    ctx->verify = true;
    EXPECT_EQ(run(), SyncResult::VerifyFailed);
    EXPECT_EQ(sim->commands('n'), 3);
    EXPECT_EQ(sim->commands('s'), 2); // the read-out and the read-back
    EXPECT_THAT(boxes(), ElementsAre(Box{caption,
                                         "The key controller was read back after the synchronize "
                                         "operation and does not hold\nexactly the keys of the "
                                         "database.\n\nKeys the controller lacks:\n0000b2",
                                         MsgIcon::Error, MsgButtons::Ok}));
    expect_ended_ready();
}

TEST_P(SimSyncTest, VerifyThatAgreesLeavesTheReportAsItWas) {
    database_keys({0x100, 0xb1, 0xb2});
    connect();
    ctx->verify = true;
    EXPECT_EQ(run(), SyncResult::Done);
    EXPECT_EQ(sim->commands('s'), 2);
    EXPECT_THAT(boxes(),
                ElementsAre(Box{caption, now_up_to_date, MsgIcon::Information, MsgButtons::Ok}));
    expect_ended_ready();
    EXPECT_EQ(log_count(log, "Performed synchronization with RD-unit."), 1u);
    EXPECT_EQ(log_count(log, "Compared the keys with RD-unit."), 1u);
}

TEST_P(SimSyncTest, NoComPort) {
    connect();
    link->stop();
    sim->clear_record();
    EXPECT_EQ(run(), SyncResult::NoPort);
    EXPECT_THAT(boxes(), ElementsAre(Box{"Tessary - Serial communications",
                                         "There is no active COM port.\n\nChoose one using the "
                                         "'File/Settings'\nmenu, or open an existing database.",
                                         MsgIcon::Error, MsgButtons::Ok}));
    EXPECT_EQ(sim->received(), "");
    expect_ended_ready();
}

// A report spliced into the byte-by-byte exchange of the other models would break their echo
// pacing, so this one runs on the RD-04 only; the scripted comm thread covers the logic for all.
class Rd04SimSyncTest : public SimSyncTest {};

TEST_P(Rd04SimSyncTest, PageFullReportedWhileEveryKeyIsAcknowledged) {
    database_keys({0x100});
    for (uint32_t k = 1; k <= 20; ++k) {
        db_keys.push_back(k);
    }
    SimOptions options;
    options.line_timing = true; // twenty keys at 9600 baud: time enough to report in between
    connect(false, options);
    fill_database();
    SyncResult result = SyncResult::Done;
    std::thread t([&] { result = synchronize_keys(*ctx); });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (sim->commands('n') < 3 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    // A whole report line between two replies, as the unit sends it after a failed add.
    sim->send_raw("<01.000000000100.02+MNF\r");
    t.join();
    EXPECT_EQ(result, SyncResult::NoRoom);
    EXPECT_EQ(sim->commands('n'), 20);
    EXPECT_EQ(sim->memory().size(), 21u);
    EXPECT_THAT(boxes(), ElementsAre(Box{"Tessary - Adding keys to controller", no_room,
                                         MsgIcon::Error, MsgButtons::Ok}));
    expect_ended_ready();
}

// --- outcomes behind a 5000 ms window (run at five times the pace) ------------------------------

TEST_P(SimSyncTest, ARefusedKeyGivesTheDataErrorAfterTheAcknowledgementWait) {
    database_keys({0x100, 0xb1, 0xb2, 0xb3});
    connect(true);
    sim->refuse_key(0xb2);
    uint32_t start = clock.tick_ms();
    EXPECT_EQ(run(), SyncResult::DataError);
    EXPECT_GE(clock.tick_ms() - start, 5000u);
    EXPECT_THAT(commands_after_readout(), UnorderedElementsAre("n0000b1", "n0000b2", "n0000b3"));
    EXPECT_THAT(boxes(), ElementsAre(Box{caption, data_error, MsgIcon::Error, MsgButtons::Ok}));
    expect_ended_ready();
    EXPECT_EQ(as_set(sim->memory()), (std::set<uint32_t>{0x100, 0xb1, 0xb3}));
}

TEST_P(SimSyncTest, AFullKeyMemoryGivesTheNoRoomMessage) {
    database_keys({0x100, 0xb1, 0xb2, 0xb3});
    SimOptions options;
    options.capacity = 3; // the master and two more
    connect(true, options);
    EXPECT_EQ(run(), SyncResult::NoRoom);
    EXPECT_EQ(sim->commands('n'), 3);
    EXPECT_EQ(sim->memory().size(), 3u);
    EXPECT_THAT(boxes(), ElementsAre(Box{"Tessary - Adding keys to controller", no_room,
                                         MsgIcon::Error, MsgButtons::Ok}));
    expect_ended_ready();
}

TEST_P(SimSyncTest, ASilentControllerShowsOnlyTheNoResponseMessage) {
    database_keys({0x100, 0xb1});
    connect(true);
    sim->set_silent(true);
    EXPECT_EQ(run(), SyncResult::NoAnswer);
    EXPECT_THAT(boxes(), ElementsAre(Box{"Tessary - Serial communications",
                                         "Tessary didn't get a response from the key "
                                         "controller.\nIs the controller properly connected to "
                                         "this computer?",
                                         MsgIcon::Error, MsgButtons::Ok}));
    expect_ended_ready();
}

TEST_P(SimSyncTest, AUnitWithAnEmptyMemoryEndsTheRunWithTheDataError) {
    // After Clear controller memory the unit has no master and answers "s" without a single
    // key line; the run must still end, and say that nothing was synchronized.
    database_keys({0xb1});
    connect(true);
    ASSERT_TRUE(link->post(request_clear_memory));
    ASSERT_TRUE(sim->wait_received("c!", 10000)) << hex_dump(sim->received());
    ASSERT_TRUE(sim->wait_idle(10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    sim->clear_record();
    EXPECT_EQ(run(), SyncResult::ReadoutMissing);
    EXPECT_EQ(sim->received(), "s") << hex_dump(sim->received());
    EXPECT_THAT(boxes(), ElementsAre(Box{caption, data_error, MsgIcon::Error, MsgButtons::Ok}));
    expect_ended_ready();
    EXPECT_EQ(modified_calls, 0);
}

// --- the comm thread goes away during the read-out wait -----------------------------------------

TEST_P(SimSyncTest, StoppingTheCommThreadDuringTheReadOutWaitEndsTheRunQuietly) {
    database_keys({0x100, 0xb1});
    connect();
    sim->set_silent(true);
    fill_database();
    SyncResult result = SyncResult::Done;
    std::thread t([&] { result = synchronize_keys(*ctx); });
    ASSERT_TRUE(sim->wait_received("s", 10000));
    link->stop(); // the port set to "None" in the settings, say
    t.join();
    EXPECT_EQ(result, SyncResult::CommStopped);
    EXPECT_THAT(boxes(), IsEmpty());
    expect_ended_ready();
}

TEST_P(SimSyncTest, RestartingTheCommThreadDuringTheReadOutWaitEndsTheRunQuietly) {
    database_keys({0x100, 0xb1});
    connect();
    sim->set_silent(true);
    fill_database();
    SyncResult result = SyncResult::Done;
    std::thread t([&] { result = synchronize_keys(*ctx); });
    ASSERT_TRUE(sim->wait_received("s", 10000));
    link->start(1); // another port chosen: a stop and a start in one go
    t.join();
    EXPECT_EQ(result, SyncResult::CommStopped);
    EXPECT_THAT(boxes(), IsEmpty());
    expect_ended_ready();
}

// --- a unit that goes away and comes back ------------------------------------------------------

const char* const serial_caption = "Tessary - Serial communications";

Box lost_box(const std::string& device) {
    return Box{serial_caption,
               "The connection to COM3 (" + device +
                   ") was lost.\nTessary tries to restore it every 2 seconds and carries on by "
                   "itself when the device is back.",
               MsgIcon::Error, MsgButtons::Ok};
}

class LinkLossSimTest : public SimSyncTest {
  protected:
    void await_restored() {
        ASSERT_TRUE(wait_for([&] { return log_count(log, "Connection to COM3 restored") == 1; }));
        ASSERT_TRUE(sim->wait_received("r", 10000));
        ASSERT_TRUE(sim->wait_idle(10000));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        sim->clear_record();
    }
    std::set<uint32_t> all_keys() { return as_set(db_keys); }
};

TEST_P(LinkLossSimTest, UnitGoneMidTransferEndsTheSyncWithItsDataErrorThenComesBack) {
    db_keys.push_back(master);
    for (uint32_t k = 1; k <= 300; ++k) {
        db_keys.push_back(0x1000 + k);
    }
    SimOptions roomy;
    roomy.capacity = 400;
    connect(true, roomy, Route::Folder);
    fill_database();
    const std::string gone = sim->device();
    SyncResult result = SyncResult::Done;
    std::thread t([&] { result = synchronize_keys(*ctx); });
    ASSERT_TRUE(wait_for([&] { return sim->commands('n') >= 100; }));
    sim->stop(); // the controller's end of the line closes
    t.join();
    EXPECT_EQ(result, SyncResult::DataError);
    // The comm thread's box and the synchronize thread's report come in either order.
    ASSERT_TRUE(wait_for([&] { return boxes().size() >= 2; }));
    EXPECT_THAT(boxes(), UnorderedElementsAre(lost_box(gone), Box{caption, data_error,
                                                                  MsgIcon::Error, MsgButtons::Ok}));
    std::vector<std::string> trace = host.trace_snapshot();
    std::erase(trace, "box " + std::string(serial_caption));
    ASSERT_GE(trace.size(), 2u);
    EXPECT_EQ(trace.front(), "sync running");
    EXPECT_EQ(trace[trace.size() - 2], "status Ready");
    EXPECT_EQ(trace.back(), "sync done");
    EXPECT_EQ(host.progress.back(), std::make_pair(-1, -1));
    EXPECT_EQ(log_count(log, "Connection to COM3 lost"), 1u);
    EXPECT_EQ(db.keys.size(), 301);

    // A new unit under the same name: found again, reset, and synchronized in full.
    ASSERT_TRUE(sim->start());
    ASSERT_TRUE(sim->link_as(port_dir, 3));
    await_restored();
    EXPECT_EQ(run(), SyncResult::Done);
    EXPECT_EQ(as_set(sim->memory()), all_keys());
    EXPECT_EQ(boxes().size(), 3u);
}

TEST_P(LinkLossSimTest, UnitGoneWhileIdleGivesOneMessageAnswersCommandsAndReopens) {
    connect(true, {}, Route::Folder);
    const std::string gone = sim->device();
    sim->stop();
    ASSERT_TRUE(wait_for([&] { return log_count(log, "Connection to COM3 lost") == 1; }));
    EXPECT_FALSE(link->post(request_open_door_a));
    // Several 2 s retries (400 ms each on this clock) go by without another word.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_THAT(boxes(),
                ElementsAre(lost_box(gone),
                            Box{serial_caption,
                                "The connection to COM3 (" + gone +
                                    ") is lost; the command was not sent.\nTessary tries to "
                                    "restore it every 2 seconds.",
                                MsgIcon::Error, MsgButtons::Ok}));
    EXPECT_EQ(log_count(log, "Connection to COM3 lost"), 1u);
    EXPECT_TRUE(link->active());

    ASSERT_TRUE(sim->start()); // another pty: the link in the port folder is re-pointed
    ASSERT_NE(sim->device(), "");
    ASSERT_TRUE(sim->link_as(port_dir, 3));
    await_restored();
    EXPECT_TRUE(link->post(request_open_door_a));
    EXPECT_TRUE(sim->wait_received("o", 10000)) << hex_dump(sim->received());
    EXPECT_EQ(boxes().size(), 2u);
}

TEST_P(LinkLossSimTest, TcpEndpointCarriesAFullSyncAndSurvivesTheBridgeRestarting) {
    db_keys.push_back(master);
    for (uint32_t k = 1; k <= 40; ++k) {
        db_keys.push_back(0x2000 + k);
    }
    connect(true, {}, Route::Tcp);
    EXPECT_EQ(run(), SyncResult::Done);
    EXPECT_EQ(as_set(sim->memory()), all_keys());
    EXPECT_EQ(sim->pacing_violations(), 0);

    const uint16_t port = bridge->port();
    bridge->stop();
    ASSERT_TRUE(wait_for([&] { return log_count(log, "Connection to COM3 lost") == 1; }));
    ASSERT_TRUE(bridge->start(port));
    await_restored();
    for (uint32_t k = 41; k <= 60; ++k) {
        db_keys.push_back(0x2000 + k);
    }
    EXPECT_EQ(run(), SyncResult::Done);
    EXPECT_EQ(as_set(sim->memory()), all_keys());
    EXPECT_EQ(sim->pacing_violations(), 0);
    EXPECT_THAT(boxes(),
                ElementsAre(Box{caption, now_up_to_date, MsgIcon::Information, MsgButtons::Ok},
                            lost_box("tcp:127.0.0.1:" + std::to_string(port)),
                            Box{caption, now_up_to_date, MsgIcon::Information, MsgButtons::Ok}));
}

// The simulator serving TCP itself, as the benchmarks use it: its port entry is a file naming
// the endpoint, and a client that leaves makes room for the next one.
TEST_P(LinkLossSimTest, SimulatorOnItsOwnTcpListenerSyncsAndTakesTheNextClient) {
    database_keys({master, 0x3001, 0x3002, 0x3003});
    SimOptions over_tcp;
    over_tcp.tcp = true;
    connect(true, over_tcp, Route::Folder);
    EXPECT_EQ(run(), SyncResult::Done);
    EXPECT_EQ(as_set(sim->memory()), all_keys());

    link->stop();
    link->start(3);
    // Posted while the port is still being opened and reset: it goes out once the link is up.
    EXPECT_TRUE(link->post(request_open_door_a));
    EXPECT_TRUE(sim->wait_received("\rro", 10000)) << hex_dump(sim->received());
    EXPECT_EQ(boxes().size(), 1u); // the sync's own; no lost link
}

std::string model_name(const ::testing::TestParamInfo<SimModel>& info) {
    return info.param == SimModel::Rd04 ? "Rd04" : "Rd03";
}

INSTANTIATE_TEST_SUITE_P(Models, SimSyncTest, ::testing::Values(SimModel::Rd04, SimModel::Rd03),
                         model_name);
INSTANTIATE_TEST_SUITE_P(Models, LinkLossSimTest, ::testing::Values(SimModel::Rd04, SimModel::Rd03),
                         model_name);
INSTANTIATE_TEST_SUITE_P(Models, Rd04SimSyncTest, ::testing::Values(SimModel::Rd04), model_name);
INSTANTIATE_TEST_SUITE_P(Models, ExtraKeysSimTest,
                         ::testing::Values(SimModel::Rd04, SimModel::Rd03), model_name);

} // namespace
