// The comm side of the link without a thread: the receive loop's parsers, the paced sending side
// and the watchdog, run on a channel it is given and driven by plain calls. The link's comm
// thread drives it from poll; tests and the fuzzer drive it on their own thread.
#pragma once

#include "controller/link_shared.h"
#include "core/buffer.h"
#include "events/event_decoder.h"
#include "events/event_record.h"
#include "platform/clock.h"
#include "platform/serial_port.h"

#include <cstdint>
#include <string>

// The engine's state. The key identifiers and the line record are process-wide: they survive a
// restart.
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

inline bool command_has_unsent(const CommState& comm) {
    return comm.command[comm.send_pos] != 0;
}

class CommEngine {
  public:
    CommEngine(LinkShared& link, Clock& clock, DecoderContext& decoder);
    CommEngine(const CommEngine&) = delete;
    CommEngine& operator=(const CommEngine&) = delete;

    // Takes up a freshly opened channel: the reset the unit needs, then a fresh receive loop.
    void start(SerialIo& channel);
    // Lets go of the channel.
    void stop();

    enum class Turn { idle, stop, broken };
    // Runs passes, each the sending side and then one byte from the channel, while the channel
    // has bytes. idle: it has none left, and waiters were told what the burst changed; stop: a
    // stop was requested; broken: a read or write failed, or the channel hung up (`hung_up`,
    // as the caller's poll saw it) and all that came before the hang-up has been read.
    Turn serve(bool hung_up);
    // Milliseconds of the clock until the watchdog is due, or -1 when it is not armed: how long
    // the driver may sleep when nothing arrives and nothing is posted.
    int64_t next_deadline() const;

    // --- The pieces of the above, for tests and the fuzzer ----------------------------------
    void attach(SerialIo& channel) { c_.port = &channel; }
    // CR, pause, "r", pause: the controller starts over.
    void send_reset();
    // A fresh receive state; requests and transfers posted meanwhile are kept.
    void begin_receive();
    void end_receive();
    // The four sending-side steps of one pass, in their order.
    void pass();
    // Steps 4-6 of a pass for one byte read from the channel.
    void handle_byte(uint8_t byte);
    void parse_reply(Buffer* message);
    void parse_key_report(Buffer* message);
    CommState& state() { return c_; }
    const CommState& state() const { return c_; }

  private:
    void load_command(const char* text);
    void request_step();
    void transfer_step();
    void transmit_step();
    void watchdog_step();
    void dispatch_message(int type, Buffer* message);
    void parse_plain_line(Buffer* message);
    void parse_door_report(Buffer* message);
    void decode_only(void (*set)(EventRecord&));

    LinkShared& link_;
    Clock& clock_;
    DecoderContext& decoder_;
    CommState c_;
};
