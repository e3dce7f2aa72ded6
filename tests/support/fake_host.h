// A scripted Host for tests: records every message box and answers from a queue; runs
// run_on_ui calls inline (serialised), records status texts and titles.
#pragma once

#include "platform/host.h"

#include <chrono>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct RecordedBox {
    std::string caption;
    std::string text;
    MsgIcon icon;
    MsgButtons buttons;
    MsgAnswer default_button;
};

class FakeHost : public Host {
  public:
    MsgAnswer message_box(const std::string& caption, const std::string& text, MsgIcon icon,
                          MsgButtons buttons, MsgAnswer default_button) override {
        std::lock_guard lock(mutex_);
        boxes.push_back({caption, text, icon, buttons, default_button});
        if (!answers.empty()) {
            MsgAnswer a = answers.front();
            answers.pop_front();
            return a;
        }
        return default_button;
    }
    void run_on_ui(const std::function<void()>& fn) override {
        std::lock_guard lock(ui_mutex_);
        fn();
    }
    bool wait_serving_ui(const std::function<bool()>& done, uint32_t timeout_ms) override {
        // run_on_ui runs inline here, so waiting needs only to poll.
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (!done()) {
            if (std::chrono::steady_clock::now() >= end) {
                return done();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }
    void set_status_text(const std::string& text) override {
        std::lock_guard lock(mutex_);
        status_texts.push_back(text);
    }
    void set_title(const std::string& t) override {
        std::lock_guard lock(mutex_);
        titles.push_back(t);
    }
    void set_progress(int done, int total) override {
        std::lock_guard lock(mutex_);
        progress.emplace_back(done, total);
    }
    void hide_progress() override {
        std::lock_guard lock(mutex_);
        progress.emplace_back(-1, -1);
    }
    std::optional<FileChoice> open_file_dialog() override { return next_file(); }
    std::optional<FileChoice> save_file_dialog() override { return next_file(); }

    // Copies taken under the lock, for threaded tests.
    std::vector<RecordedBox> boxes_snapshot() {
        std::lock_guard lock(mutex_);
        return boxes;
    }
    std::vector<std::string> status_snapshot() {
        std::lock_guard lock(mutex_);
        return status_texts;
    }
    void push_answer(MsgAnswer a) {
        std::lock_guard lock(mutex_);
        answers.push_back(a);
    }

    std::vector<RecordedBox> boxes;
    std::deque<MsgAnswer> answers;
    std::vector<std::string> status_texts;
    std::vector<std::string> titles;
    std::vector<std::pair<int, int>> progress; // (done, total); (-1, -1) for hide_progress
    std::deque<std::optional<FileChoice>> file_choices;

  private:
    std::optional<FileChoice> next_file() {
        std::lock_guard lock(mutex_);
        if (file_choices.empty()) {
            return std::nullopt;
        }
        auto c = file_choices.front();
        file_choices.pop_front();
        return c;
    }
    std::recursive_mutex ui_mutex_;
    std::mutex mutex_;
};
