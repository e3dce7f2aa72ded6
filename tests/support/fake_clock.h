// A clock that tests move by hand. Its sleep either really sleeps (default), or, with
// auto_advance, moves the tick by the requested time and yields only briefly, so that a polling
// loop runs through a 5000 ms window in a few milliseconds of real time.
#pragma once

#include "platform/clock.h"

#include <algorithm>
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
    // Follows the fake tick: a test that moves the clock ends the wait within a millisecond,
    // and auto_advance moves it 25 ms for each real millisecond waited.
    bool wait_for(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                  uint32_t timeout_ms, const std::function<bool()>& ready) override {
        uint32_t start = tick_ms();
        while (!ready()) {
            uint32_t spent = tick_ms() - start;
            if (spent >= timeout_ms) {
                return false;
            }
            cv.wait_for(lock, std::chrono::milliseconds(1));
            if (auto_advance.load(std::memory_order_acquire) && !ready()) {
                now.fetch_add(std::min<uint32_t>(25, timeout_ms - spent),
                              std::memory_order_acq_rel);
            }
        }
        return true;
    }
    uint32_t real_wait_ms(uint32_t timeout_ms) override {
        return std::min<uint32_t>(timeout_ms, 1);
    }
    void advance(uint32_t ms) { now.fetch_add(ms, std::memory_order_acq_rel); }
    void set(uint32_t ms) { now.store(ms, std::memory_order_release); }

    std::atomic<uint32_t> now;
    std::atomic<bool> auto_advance{false};
};
