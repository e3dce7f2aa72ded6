// Asking the unit on a port which model it is, without a comm thread: for trying a port in the
// settings before the database is pointed at it. The comm thread sends the same reset.
#pragma once

#include "platform/clock.h"
#include "platform/serial_port.h"

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// CR, a pause, "r", a pause: the controller starts over and announces itself. Returns the time
// in microseconds from the CR to the first byte back, where the channel can be watched and that
// byte came within the pauses.
std::optional<uint32_t> send_reset(SerialIo& port, Clock& clock);

// How long a unit may take to announce itself after a reset.
constexpr uint32_t identify_wait_ms = 5000;

struct ProbeAnswer {
    enum Kind { Answered, NoAnswer, OpenFailed, Cancelled };
    Kind kind = NoAnswer;
    std::string line;    // the identification line, when answered
    std::string message; // why the open failed, as the comm thread would say it
    // The reset's CR to the first byte back, in microseconds: for a unit that echoes, the
    // round trip of the echo.
    std::optional<uint32_t> reset_round_trip_us;
};

// A line that begins with "RD" is the unit's identification, as the receive loop takes it.
bool is_identification(std::string_view line);
// What the settings show for an identification line: "RD-04" or "RD-03" for those two models,
// the line itself for any other.
std::string controller_model(std::string_view line);
// "echo round trip 1.1 ms": milliseconds with one decimal, whatever the locale.
std::string echo_round_trip_text(uint32_t round_trip_us);
// What Settings › Test shows for an answer: the model, and for a unit that echoes what it is
// sent, the round trip of that echo ("RD-03, echo round trip 1.1 ms"). An RD-04 echoes
// nothing, so what comes back after the CR is its reply, not an echo, and no time is shown.
std::string test_result_text(std::string_view line, std::optional<uint32_t> round_trip_us);

// Sends the reset on an open channel and waits up to timeout_ms of the clock for an
// identification line. The cancel flag is looked at every 50 ms at the latest.
ProbeAnswer identify_on(SerialIo& port, Clock& clock, uint32_t timeout_ms,
                        const std::atomic<bool>& cancel);
// The same on what a port entry names (a device path, a port folder entry, or tcp:HOST:PORT),
// opened for the question and closed again.
ProbeAnswer identify_controller(const std::string& entry, Clock& clock, uint32_t timeout_ms,
                                const std::atomic<bool>& cancel);
