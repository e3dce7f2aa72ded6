#include "platform/clock.h"

#include <chrono>
#include <ctime>
#include <thread>

uint32_t SystemClock::tick_ms() {
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

LocalTime SystemClock::local_time() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    return LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                     tm.tm_hour,        tm.tm_min,     tm.tm_sec};
}

void SystemClock::sleep_ms(uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool Clock::wait_for(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                     uint32_t timeout_ms, const std::function<bool()>& ready) {
    return cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), ready);
}

SystemClock& system_clock() {
    static SystemClock clock;
    return clock;
}
