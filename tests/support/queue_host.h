// A Host whose run_on_ui really hands the call to the thread that plays the user interface
// (the test's thread) and blocks the caller until it has run there. Only wait_serving_ui and
// serve() run the queued calls, so a wait that did not serve them would deadlock.
#pragma once

#include "support/fake_host.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

class QueueHost final : public Host {
  public:
    QueueHost() : ui_thread_(std::this_thread::get_id()) {}

    MsgAnswer message_box(const std::string& caption, const std::string& text, MsgIcon icon,
                          MsgButtons buttons, MsgAnswer default_button) override {
        return boxes.message_box(caption, text, icon, buttons, default_button);
    }
    void run_on_ui(const std::function<void()>& fn) override {
        if (std::this_thread::get_id() == ui_thread_) {
            fn();
            return;
        }
        std::unique_lock lock(mutex_);
        bool done = false;
        queue_.push_back([&] {
            fn();
            std::lock_guard inner(mutex_);
            done = true;
        });
        cv_.notify_all();
        cv_.wait(lock, [&] { return done; });
    }
    bool wait_serving_ui(const std::function<bool()>& done, uint32_t timeout_ms) override {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            serve();
            if (done()) {
                return true;
            }
            if (std::chrono::steady_clock::now() >= end) {
                return false;
            }
            std::unique_lock lock(mutex_);
            cv_.wait_for(lock, std::chrono::milliseconds(1), [&] { return !queue_.empty(); });
        }
    }
    // Runs every queued call; returns how many ran.
    int serve() {
        int ran = 0;
        for (;;) {
            std::function<void()> job;
            {
                std::lock_guard lock(mutex_);
                if (queue_.empty()) {
                    break;
                }
                job = std::move(queue_.front());
                queue_.pop_front();
            }
            job();
            ++ran;
            cv_.notify_all();
        }
        return ran;
    }
    void set_status_text(const std::string&) override {}
    void set_title(const std::string&) override {}
    std::optional<FileChoice> open_file_dialog() override { return std::nullopt; }
    std::optional<FileChoice> save_file_dialog() override { return std::nullopt; }

    FakeHost boxes; // records the boxes

  private:
    std::thread::id ui_thread_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> queue_;
};
