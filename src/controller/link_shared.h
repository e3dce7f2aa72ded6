// What the link and its comm side share: the request bits, the timing of the controller's
// protocol, and the one interface through which the comm side reaches the link's state.
#pragma once

#include "database/key_list.h"

#include <cstdint>
#include <optional>
#include <string>

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

// One key of a transfer, as the comm side takes it.
struct TransferKey {
    bool add = false;
    KeyId key;
};

// The link's state as the comm side sees it: the comm thread's engine, or a test double playing
// the comm thread. Every call is safe against the threads that post, transfer and wait.
class LinkShared {
  public:
    virtual bool stop_requested() const = 0;
    // Request bits posted and not yet taken.
    virtual uint32_t pending_requests() const = 0;
    // Takes a posted request bit: true when it was set.
    virtual bool take_request(uint32_t bit) = 0;
    // The next key of a transfer (the last of the remaining first), or none.
    virtual std::optional<TransferKey> take_transfer_key() = 0;
    virtual void count_acknowledgement() = 0;
    virtual void count_received_byte() = 0;
    virtual void note_identification(const std::string& line) = 0;
    virtual void note_reset_round_trip(std::optional<uint32_t> round_trip_us) = 0;
    // Wakes waiters on the change count.
    virtual void notify_change() = 0;

  protected:
    ~LinkShared() = default;
};
