// A FakeHost that also keeps one ordered trace of everything the synchronize operation shows,
// and notes every window call made outside run_on_ui (those belong to the user-interface
// thread, which a background thread reaches only through run_on_ui).
#pragma once

#include "support/fake_host.h"
#include "sync/synchronize.h"

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class TraceHost : public FakeHost {
  public:
    MsgAnswer message_box(const std::string& caption, const std::string& text, MsgIcon icon,
                          MsgButtons buttons, MsgAnswer default_button) override {
        add("box " + caption);
        return FakeHost::message_box(caption, text, icon, buttons, default_button);
    }
    void run_on_ui(const std::function<void()>& fn) override {
        FakeHost::run_on_ui([&] {
            ++ui_depth();
            fn();
            --ui_depth();
        });
    }
    void set_status_text(const std::string& text) override {
        check_ui();
        add("status " + text);
        FakeHost::set_status_text(text);
    }
    // A line of the trace from a user-interface call that is not the host's own.
    void note(const std::string& s) {
        check_ui();
        add(s);
    }
    void set_progress(int done, int total) override {
        check_ui();
        FakeHost::set_progress(done, total);
    }
    void hide_progress() override {
        check_ui();
        add("hide progress");
        FakeHost::hide_progress();
    }

    // True inside a run_on_ui call on this thread.
    static bool in_ui() { return ui_depth() > 0; }
    std::vector<std::string> trace_snapshot() {
        std::lock_guard lock(trace_mutex_);
        return trace_;
    }
    std::atomic<int> off_ui_calls{0};

  private:
    static int& ui_depth() {
        thread_local int depth = 0;
        return depth;
    }
    void check_ui() {
        if (ui_depth() == 0) {
            ++off_ui_calls;
        }
    }
    void add(const std::string& s) {
        std::lock_guard lock(trace_mutex_);
        trace_.push_back(s);
    }
    std::mutex trace_mutex_;
    std::vector<std::string> trace_;
};

// Shows a run as the window does: its running state in the trace, its progress on the host.
class TraceSyncObserver final : public SyncObserver {
  public:
    TraceSyncObserver(TraceHost& host, std::function<void()> kept = {})
        : host_(host), kept_(std::move(kept)) {}
    void sync_running(bool running) override { host_.note(running ? "sync running" : "sync done"); }
    void sync_progress(int done, int total) override {
        if (total < 0) {
            host_.hide_progress();
        } else {
            host_.set_progress(done, total);
        }
    }
    void keys_kept() override {
        if (kept_) {
            kept_();
        }
    }

  private:
    TraceHost& host_;
    std::function<void()> kept_;
};
