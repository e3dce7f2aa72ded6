// A clock that tests move by hand. Its sleep either really sleeps (default), or, with
// auto_advance, moves the tick by the requested time and yields only briefly, so that a polling
// loop runs through a 5000 ms window in a few milliseconds of real time.
#pragma once

#include "platform/clock.h"

#include <atomic>
#include <chrono>
#include <thread>

class FakeClock final : public Clock {
  public:
    explicit FakeClock(uint32_t start_ms = 1'000'000) : now(start_ms) {}

    uint32_t tick_ms() override { return now.load(std::memory_order_acquire); }
    LocalTime local_time() override { return LocalTime{2003, 7, 4, 9, 5, 0}; }
    void sleep_ms(uint32_t ms) override {
        if (auto_advance.load(std::memory_order_acquire)) {
            now.fetch_add(ms, std::memory_order_acq_rel);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        }
    }
    void advance(uint32_t ms) { now.fetch_add(ms, std::memory_order_acq_rel); }
    void set(uint32_t ms) { now.store(ms, std::memory_order_release); }

    std::atomic<uint32_t> now;
    std::atomic<bool> auto_advance{false};
};
