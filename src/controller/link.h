// The link to the key controller: one object that owns the comm thread, the serial port the
// thread opens, the one-shot request bits and the key transfers. One Link exists per
// application object.
#pragma once

#include "core/buffer.h"
#include "database/key_list.h"
#include "events/event_decoder.h"
#include "events/event_record.h"
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

// Request bits: one per one-shot controller command.
constexpr uint32_t request_reset = 1;        // CR, 20 ms, "r", 20 ms; not paced
constexpr uint32_t request_h = 2;            // "h!"
constexpr uint32_t request_clear_memory = 4; // "c!"
constexpr uint32_t request_readout = 8;      // "s"
constexpr uint32_t request_open_door_a = 16; // "o"
constexpr uint32_t request_open_door_b = 32; // "b"
constexpr uint32_t request_line_end = 64;    // "\r"

// Message types of the receive loop, set by the delimiter that opened the message.
enum MessageType : int { msg_plain = 0, msg_reply = 1, msg_key_report = 2, msg_door_report = 3 };

constexpr uint32_t message_capacity = 100;
constexpr uint32_t no_response_ms = 5000;
constexpr uint32_t stop_wait_ms = 1000;
constexpr uint32_t reset_pause_ms = 20;
constexpr uint32_t transfer_ack_ms = 5000;
// How often a lost connection is tried again.
constexpr uint32_t reconnect_ms = 2000;

// State that only the comm thread touches (tests and the fuzzer drive it on one thread).
// The key identifiers and the line record are process-wide: they survive a restart.
struct CommState {
    SerialIo* port = nullptr;

    // Receive side.
    BufferPtr message; // capacity 100 while the receive loop runs
    int message_type = msg_plain;
    bool rd04_mode = false;
    bool ident_line = false;
    std::string ident_text; // the identification line gathered so far, words joined by a space
    bool readout_active = false;
    uint32_t last_rx_time = 0;
    EventRecord line_record;
    KeyId line_key;
    KeyId remembered_key;
    KeyId readout_key_id;

    // Send side: one pending command of at most 11 bytes.
    char command[12] = {};
    uint32_t send_pos = 0;
    bool may_send = true;
    bool echo_seen = true;
    uint32_t last_tx_time = 0;

    // A message was handed to its parser or a report decoded since waiters last looked: the
    // burst's end wakes them only then, not after every echo.
    bool waiters_may_care = false;
};

// One key of a transfer, as the comm thread takes it.
struct TransferKey {
    bool add = false;
    KeyId key;
};

// Calls progress(acked, count) on the caller's thread whenever the acknowledgements may have
// moved, so that the caller can show how far the controller has got.
using TransferProgress = std::function<void(int32_t acked, int32_t count)>;

class Link {
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

    CommState comm; // comm thread only

    // --- User-interface thread -------------------------------------------------------------
    // Starts a comm thread for COM port `port` (> 0). Stops a running one first, and never lets
    // two run: it waits, still serving the old thread's calls, until the old one has ended.
    void start(uint32_t port);
    // The same with another body for the thread: test doubles that play the comm thread get
    // the same life (active flag, start count, stop request) as the real one.
    using CommBody = std::function<void(Link&)>;
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
    uint32_t pending_requests() const { return request_bits_.load(std::memory_order_acquire); }
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

    // --- Comm side: the comm thread, or a test double playing it ----------------------------
    bool stop_requested() const { return stop_requested_.load(std::memory_order_acquire); }
    // Takes a posted request bit: true when it was set.
    bool take_request(uint32_t bit);
    // The next key of a transfer (the last of the remaining first), or none.
    std::optional<TransferKey> take_transfer_key();
    void count_acknowledgement();
    void count_received_byte() { bytes_received_.fetch_add(1, std::memory_order_relaxed); }
    void note_identification(const std::string& line);
    void note_reset_round_trip(std::optional<uint32_t> round_trip_us);
    // Forgets requests and transfers: at a start and a restore, before post() may accept more.
    void forget_requests();
    // Wakes waiters on the change count.
    void notify_change();
    // The descriptor the comm thread polls beside the port; readable after a request, a
    // transfer or a stop request. drain_wake clears it.
    int wake_fd() const { return wake_fd_; }
    void drain_wake();

  private:
    friend struct LinkTestAccess;
    void wake();
    void join_serving_ui();
    void routine(uint32_t port);
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

    int wake_fd_ = -1;

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
