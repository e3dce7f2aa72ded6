// Millisecond tick and local time behind one seam, so that tests move time instead of sleeping.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

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
    // Milliseconds from an arbitrary start; compared only by unsigned difference, so wrapping is
    // fine.
    virtual uint32_t tick_ms() = 0;
    virtual LocalTime local_time() = 0;
    virtual void sleep_ms(uint32_t ms) = 0;
    // Waits on cv (lock held) until ready() or until timeout_ms of this clock have passed;
    // returns ready(). A clock that tests move makes the time-out follow its own tick.
    virtual bool wait_for(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                          uint32_t timeout_ms, const std::function<bool()>& ready);
    // How long a thread that sleeps in poll may sleep in real time to let timeout_ms of this
    // clock pass. A clock that tests move by hand says how soon to look at it again.
    virtual uint32_t real_wait_ms(uint32_t timeout_ms) { return timeout_ms; }
};

// The real clock: a monotonic tick, the system's local time zone, a real sleep.
struct SystemClock final : Clock {
    uint32_t tick_ms() override;
    LocalTime local_time() override;
    void sleep_ms(uint32_t ms) override;
};

SystemClock& system_clock();
