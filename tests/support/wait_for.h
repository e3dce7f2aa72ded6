// Waits in real time for a condition that another thread makes true.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

// Generous by default: the machine may be loaded, and a TSan build is slow.
inline bool wait_for(const std::function<bool()>& cond, int timeout_ms = 30000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}
