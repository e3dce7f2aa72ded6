// Asking the unit on a port which model it is, without a comm thread: for trying a port in the
// settings before the database is pointed at it. The comm thread sends the same reset.
#pragma once

#include "platform/clock.h"
#include "platform/serial_port.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

// CR, a pause, "r", a pause: the controller starts over and announces itself.
void send_reset(SerialIo& port, Clock& clock);

// How long a unit may take to announce itself after a reset.
constexpr uint32_t identify_wait_ms = 5000;

struct ProbeAnswer {
    enum Kind { Answered, NoAnswer, OpenFailed, Cancelled };
    Kind kind = NoAnswer;
    std::string line;    // the identification line, when answered
    std::string message; // why the open failed, as the comm thread would say it
};

// A line that begins with "RD" is the unit's identification, as the receive loop takes it.
bool is_identification(std::string_view line);
// What the settings show for an identification line: "RD-04" or "RD-03" for those two models,
// the line itself for any other.
std::string controller_model(std::string_view line);

// Sends the reset on an open channel and waits up to timeout_ms of the clock for an
// identification line. The cancel flag is looked at every 50 ms at the latest.
ProbeAnswer identify_on(SerialIo& port, Clock& clock, uint32_t timeout_ms,
                        const std::atomic<bool>& cancel);
// The same on what a port entry names (a device path, a port folder entry, or tcp:HOST:PORT),
// opened for the question and closed again.
ProbeAnswer identify_controller(const std::string& entry, Clock& clock, uint32_t timeout_ms,
                                const std::atomic<bool>& cancel);
