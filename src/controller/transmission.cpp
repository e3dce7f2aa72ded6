// Computer to controller: request bits become one pending command, sent at the pace the
// controller's model allows.
#include "controller/controller_probe.h"
#include "controller/link.h"

#include <chrono>
#include <cstring>
#include <poll.h>

namespace {

using ResetClock = std::chrono::steady_clock;

// One of the reset's pauses. Until a first byte has come back it watches the line, timing the
// unit's answer to the CR: an RD-03 echoes every byte, and that round trip, paid once per byte,
// shows an adapter that holds received bytes back.
void reset_pause(SerialIo& port, Clock& clock, bool watch, ResetClock::time_point sent,
                 std::optional<uint32_t>& round_trip_us) {
    const uint32_t start = clock.tick_ms();
    if (watch && !round_trip_us) {
        pollfd p{port.poll_fd(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(clock.real_wait_ms(reset_pause_ms))) > 0 &&
            (p.revents & POLLIN)) {
            const auto waited = ResetClock::now() - sent;
            round_trip_us = static_cast<uint32_t>(
                std::chrono::duration_cast<std::chrono::microseconds>(waited).count());
        }
    }
    const uint32_t spent = clock.tick_ms() - start;
    if (spent < reset_pause_ms) {
        clock.sleep_ms(reset_pause_ms - spent);
    }
}

const char* request_text(uint32_t bit) {
    switch (bit) {
    case request_h:
        return "h!";
    case request_clear_memory:
        return "c!";
    case request_readout:
        return "s";
    case request_open_door_a:
        return "o";
    case request_open_door_b:
        return "b";
    case request_line_end:
        return "\r";
    default:
        return nullptr;
    }
}

} // namespace

bool Link::post(uint32_t bit) {
    if (active() && lost()) {
        if (bit != request_line_end) {
            std::string text;
            {
                std::lock_guard lock(mutex_);
                text = lost_text_;
            }
            host.message_box("Tessary - Serial communications", text, MsgIcon::Error);
        }
        return false;
    }
    if (active()) {
        // An atomic OR: a bit posted while the comm thread clears another is never lost.
        request_bits_.fetch_or(bit, std::memory_order_acq_rel);
        wake();
        return true;
    }
    if (bit != request_line_end) {
        host.message_box("Tessary - Serial communications",
                         "There is no active COM port.\n\nChoose one using the "
                         "'File/Settings'\nmenu, or open an existing database.",
                         MsgIcon::Error);
    }
    return false;
}

void CommEngine::load_command(const char* text) {
    CommState& c = c_;
    size_t n = std::strlen(text);
    if (n > sizeof(c.command) - 1) {
        n = sizeof(c.command) - 1;
    }
    std::memcpy(c.command, text, n);
    c.command[n] = 0;
    c.send_pos = 0;
    c.last_tx_time = clock_.tick_ms();
}

std::optional<uint32_t> send_reset(SerialIo& port, Clock& clock) {
    // A byte already waiting would pass for the answer to the CR: then nothing is timed.
    pollfd p{port.poll_fd(), POLLIN, 0};
    const bool watch = p.fd >= 0 && ::poll(&p, 1, 0) == 0;
    std::optional<uint32_t> round_trip_us;
    const ResetClock::time_point sent = ResetClock::now();
    // The controller needs the pauses to take the CR and the "r" as separate events.
    port.write("\r");
    reset_pause(port, clock, watch, sent, round_trip_us);
    port.write("r");
    reset_pause(port, clock, watch, sent, round_trip_us);
    return round_trip_us;
}

void CommEngine::send_reset() {
    link_.note_reset_round_trip(::send_reset(*c_.port, clock_));
    c_.last_tx_time = clock_.tick_ms();
}

void CommEngine::request_step() {
    // A reset goes out even in the middle of a command: the controller starts over anyway.
    if (link_.pending_requests() & request_reset) {
        send_reset();
        link_.take_request(request_reset);
    }
    if (command_has_unsent(c_)) {
        return;
    }
    uint32_t bits = link_.pending_requests();
    for (int i = 1; i < 32 && bits != 0; ++i) {
        uint32_t bit = uint32_t{1} << i;
        if (!(bits & bit)) {
            continue;
        }
        if (const char* text = request_text(bit)) {
            load_command(text);
        }
        link_.take_request(bit);
        if (command_has_unsent(c_)) {
            return;
        }
    }
}

void CommEngine::transmit_step() {
    CommState& c = c_;
    if (!command_has_unsent(c) || !c.may_send) {
        return;
    }
    if (c.rd04_mode) {
        const char* rest = c.command + c.send_pos;
        size_t n = std::strlen(rest);
        c.port->write(std::string_view(rest, n));
        c.send_pos += static_cast<uint32_t>(n);
    } else if (c.echo_seen) {
        // Units other than the RD-04 take one byte at a time and echo it before the next.
        c.port->write(std::string_view(c.command + c.send_pos, 1));
        c.echo_seen = false;
        c.send_pos += 1;
    }
    if (!command_has_unsent(c)) {
        c.may_send = false;
    }
}
