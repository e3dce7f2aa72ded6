// Millisecond tick and local time behind one seam, so that tests move time instead of sleeping.
#pragma once

#include <cstdint>

struct LocalTime {
    int year = 0;
    int month = 0; // 1..12
    int day = 0;   // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
};

struct Clock {
    virtual ~Clock() = default;
    // Milliseconds from an arbitrary start; compared only by unsigned difference, so wrapping is fine.
    virtual uint32_t tick_ms() = 0;
    virtual LocalTime local_time() = 0;
    virtual void sleep_ms(uint32_t ms) = 0;
};

// The real clock: a monotonic tick, the system's local time zone, a real sleep.
struct SystemClock final : Clock {
    uint32_t tick_ms() override;
    LocalTime local_time() override;
    void sleep_ms(uint32_t ms) override;
};

SystemClock& system_clock();
