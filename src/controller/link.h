// The link to the key controller: one object that owns the comm thread, the serial port the
// thread opens and the comm engine it drives there, the one-shot request bits and the key
// transfers. One Link exists per application object.
#pragma once

#include "controller/comm_engine.h"
#include "controller/link_shared.h"
#include "database/key_list.h"
#include "events/event_decoder.h"
#include "platform/clock.h"
#include "platform/host.h"
#include "platform/serial_port.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// Calls progress(acked, count) on the caller's thread whenever the acknowledgements may have
// moved, so that the caller can show how far the controller has got.
using TransferProgress = std::function<void(int32_t acked, int32_t count)>;

class Link : private LinkShared {
  public:
    Link(Host& host, Clock& clock, DecoderContext& decoder);
    // Asks a running comm thread to end and joins it. Owners whose user-interface thread must
    // keep serving the thread call shut_down first.
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    Host& host;
    Clock& clock;
    DecoderContext& decoder;
    // Maps a COM port number to a device path; tests may point it elsewhere.
    std::function<std::string(uint32_t)> port_path;
    // What the log lines and messages call the port; empty: "COMn".
    std::function<std::string(uint32_t)> port_name;

    // --- User-interface thread -------------------------------------------------------------
    // Starts a comm thread for COM port `port` (> 0). Stops a running one first, and never lets
    // two run: it waits, still serving the old thread's calls, until the old one has ended.
    void start(uint32_t port);
    // The same with another body for the thread: test doubles that play the comm thread get
    // the same life (active flag, start count, stop request) as the real one, and reach the
    // link's state through the interface the comm side has.
    using CommBody = std::function<void(LinkShared&)>;
    void start(CommBody body);
    // Asks the comm thread to end and waits up to 1000 ms, serving its calls meanwhile; says so
    // when it does not end. Does nothing when no comm thread is active.
    void stop();
    // Asks the comm thread to end and waits for it however long it takes, serving its calls:
    // for the owner's end, before the window goes.
    void shut_down();

    // The COM port number the comm thread was last started for; 0 when it was started with
    // another body. The port it holds while active().
    uint32_t port() const { return port_; }

    // The running comm thread, for measuring its CPU time.
    std::thread::native_handle_type native_handle() { return thread_.native_handle(); }

    // --- Any thread ---------------------------------------------------------------------------
    bool active() const { return comm_active_.load(std::memory_order_acquire); }
    // The comm thread runs but its device or endpoint broke; it is trying to reopen it.
    bool lost() const { return lost_.load(std::memory_order_acquire); }
    // Asks the comm thread to end without waiting for it.
    void request_stop();
    bool stop_requested() const override { return stop_requested_.load(std::memory_order_acquire); }
    // Counts comm thread starts. A stop followed at once by a start (the port changed in the
    // settings) can fall between two looks at active(); a waiter that compares this count with
    // the one it saw when it posted knows that its request went to a thread now gone.
    uint32_t starts() const { return comm_starts_.load(std::memory_order_acquire); }
    // Counted bytes from the controller, for waiters that must tell a silent unit from one that
    // answers without what they wait for.
    uint32_t bytes_received() const { return bytes_received_.load(std::memory_order_relaxed); }
    // The identification line the controller sent last ("RD-04 V2.1") and how many have come
    // since the program started: a waiter that posted a reset compares the count with the one
    // it saw before posting.
    struct Identification {
        uint32_t count = 0;
        std::string line;
        // From the reset before it: the time from its CR to the unit's first byte back.
        std::optional<uint32_t> reset_round_trip_us;
    };
    Identification identification() const;
    // Request bits posted and not yet taken by the comm thread.
    uint32_t pending_requests() const override {
        return request_bits_.load(std::memory_order_acquire);
    }
    // Keys of the running transfer not yet loaded, and acknowledgements counted so far.
    int32_t transfer_remaining() const;
    int32_t transfer_acked() const;

    // Posts a one-shot command (one of the request bits). False, with a message unless the bit
    // is request_line_end, when no comm thread is active or its connection is lost.
    bool post(uint32_t bit);
    // Blocking key transfer for the synchronize thread: hands the keys to the comm thread, which
    // sends them last first, waits until all are loaded, then up to 5000 ms for the rest of the
    // acknowledgements. True exactly when the controller acknowledged every key.
    bool transfer(bool add, std::vector<KeyId> keys, const TransferProgress* progress);

    // Waiting for the comm thread. The change count moves whenever the comm thread did something
    // a waiter may be waiting for: a byte handled, a report decoded, a key loaded, its end.
    uint64_t changes() const;
    // Returns when the change count is no longer `seen`, the link was asked to stop, or
    // timeout_ms of the link's clock have passed.
    void wait_change(uint64_t seen, uint32_t timeout_ms);
    // Wakes waiters on the change count.
    void notify_change() override;

  private:
    friend struct LinkTestAccess;

    // The comm side's calls.
    bool take_request(uint32_t bit) override;
    std::optional<TransferKey> take_transfer_key() override;
    void count_acknowledgement() override;
    void count_received_byte() override { bytes_received_.fetch_add(1, std::memory_order_relaxed); }
    void note_identification(const std::string& line) override;
    void note_reset_round_trip(std::optional<uint32_t> round_trip_us) override;

    // Forgets requests and transfers: at a start and a restore, before post() may accept more.
    void forget_requests();
    void drain_wake();
    void wake();
    void join_serving_ui();
    void routine(uint32_t port);
    // Drives the engine on an opened channel, sleeping in poll on it and on the wake-up between
    // bursts, until a stop is requested or the channel breaks: true for a broken channel.
    bool drive(SerialIo& channel);
    // Marks the connection lost, ends what waits on it, and tells the user once.
    void report_lost(const std::string& name, const std::string& device);
    // Sleeps up to reconnect_ms in poll on the wake-up only: false when a stop came.
    bool reconnect_pause();

    std::atomic<bool> comm_active_{false};
    std::atomic<bool> stop_requested_{false};
    std::atomic<bool> lost_{false};
    std::atomic<uint32_t> comm_starts_{0};
    std::atomic<uint32_t> bytes_received_{0};
    std::atomic<uint32_t> request_bits_{0};

    // Transfer and change count, under mutex_.
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    uint64_t change_count_ = 0;
    bool transfer_add_ = false;
    std::vector<KeyId> transfer_keys_; // the keys still to load; the last goes first
    int32_t transfer_acked_ = 0;
    std::string lost_text_; // what a command posted while the connection is lost is told
    Identification identification_;
    std::optional<uint32_t> reset_round_trip_us_; // of the last reset sent

    // The descriptor the comm thread polls beside the port; readable after a request, a
    // transfer or a stop request. drain_wake clears it.
    int wake_fd_ = -1;
    CommEngine engine_; // comm thread only

    // User-interface thread only.
    uint32_t port_ = 0;
    std::thread thread_;
    std::atomic<bool> thread_done_{true};
};

// What the comm thread says about a lost connection: the screen log lines and the boxes.
std::string connection_lost_line(const std::string& name);
std::string connection_restored_line(const std::string& name);
std::string connection_lost_message(const std::string& name, const std::string& device);
std::string connection_lost_command_message(const std::string& name, const std::string& device);

// Key transfers as the synchronize operation calls them: the last progress report comes after
// the result.
bool send_add_keys(Link& link, std::vector<KeyId> keys, const TransferProgress& progress = {});
bool send_delete_keys(Link& link, std::vector<KeyId> keys, const TransferProgress& progress = {});
