// The link to the key controller: the comm thread that owns the serial port, the one-shot
// request bits, and the key transfers. One LinkContext exists per application object.
#pragma once

#include "core/buffer.h"
#include "database/key_list.h"
#include "events/event_decoder.h"
#include "events/event_record.h"
#include "platform/clock.h"
#include "platform/host.h"
#include "platform/serial_port.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

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
constexpr uint32_t idle_wait_ms = 5;
constexpr uint32_t stop_wait_ms = 1000;
constexpr uint32_t reset_pause_ms = 20;
constexpr uint32_t transfer_poll_ms = 100;
constexpr uint32_t transfer_ack_ms = 5000;

// State that only the comm thread touches (tests and the fuzzer drive it on one thread).
// The key identifiers and the line record are process-wide: they survive a restart.
struct CommState {
    SerialIo* port = nullptr;

    // Receive side.
    BufferPtr message; // capacity 100 while the receive loop runs
    int message_type = msg_plain;
    bool rd04_mode = false;
    bool ident_line = false;
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
};

struct LinkContext {
    LinkContext(Host& host, Clock& clock, DecoderContext& decoder)
        : host(host), clock(clock), decoder(decoder) {}
    // Asks a running comm thread to end and joins it. Stop it with stop_comm_thread first where
    // the user-interface thread must keep serving it.
    ~LinkContext();
    LinkContext(const LinkContext&) = delete;
    LinkContext& operator=(const LinkContext&) = delete;

    Host& host;
    Clock& clock;
    DecoderContext& decoder;

    // Shared between threads.
    std::atomic<bool> comm_active{false};
    std::atomic<bool> stop_requested{false};
    // Counts comm thread starts. A stop followed at once by a start (the port changed in the
    // settings) can fall between two polls of comm_active; a waiter that compares this count
    // with the one it saw when it posted knows that its request went to a thread now gone.
    std::atomic<uint32_t> comm_starts{0};
    // Counted bytes from the controller, for waiters that must tell a silent unit from one that
    // answers without what they wait for.
    std::atomic<uint32_t> bytes_received{0};
    std::atomic<uint32_t> request_bits{0};
    // Transfer: the caller publishes add, keys and acked before the count (release); the comm
    // thread reads the count first (acquire).
    std::atomic<bool> transfer_add{false};
    std::atomic<const KeyId*> transfer_keys{nullptr};
    std::atomic<int32_t> transfer_remaining{0};
    std::atomic<int32_t> transfer_acked{0};

    CommState comm; // comm thread only

    // Maps a COM port number to a device path; tests may point it elsewhere.
    std::function<std::string(uint32_t)> port_path;

    // User-interface thread only.
    std::thread thread;
    std::atomic<bool> thread_done{true};
};

// Starts a comm thread for COM port `port` (> 0). Stops a running one first, and never lets two
// run: it waits, still serving the old thread's calls, until the old one has ended.
void start_comm_thread(LinkContext& link, uint32_t port);
// Asks the comm thread to end and waits up to 1000 ms, serving its calls meanwhile. Does nothing
// when no comm thread is active.
void stop_comm_thread(LinkContext& link);
bool comm_active(const LinkContext& link);

// Posts a one-shot command (one of the request bits). False, with a message unless the bit is
// request_line_end, when no comm thread is active.
bool post_request(LinkContext& link, uint32_t bit);

// Blocking key transfers for the synchronize thread. The array must stay unchanged until they
// return. True exactly when the controller acknowledged every key.
bool send_add_keys(LinkContext& link, const KeyId* keys, int32_t count);
bool send_delete_keys(LinkContext& link, const KeyId* keys, int32_t count);
// The same, calling progress(acked, count) on the caller's thread after every poll, so that the
// caller can show how far the controller has got. The result is unchanged by it.
using TransferProgress = std::function<void(int32_t acked, int32_t count)>;
bool send_add_keys(LinkContext& link, const KeyId* keys, int32_t count,
                   const TransferProgress& progress);
bool send_delete_keys(LinkContext& link, const KeyId* keys, int32_t count,
                      const TransferProgress& progress);
