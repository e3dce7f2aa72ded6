// A host without a window, for tessary-cli and the service.
#pragma once

#include "platform/host.h"

#include <chrono>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>

// A box's text on one line, as a diagnostic or a reason is printed: each line break a space.
inline std::string one_line(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c != '\n') {
            out += c;
        } else if (!out.empty() && out.back() != ' ') {
            out += ' ';
        }
    }
    return out;
}

// No window: the "user-interface thread" is whichever thread holds the one recursive lock, so
// that the decoder's list changes, the log lines and the synchronize operation's looks at the
// lists still never overlap.
class CliHost final : public Host {
  public:
    // prefix: the program's name before a warning or an error ("tessary-cli: ").
    CliHost(std::ostream& out, std::ostream& err, std::string prefix = "tessary-cli: ")
        : out_(out), err_(err), prefix_(std::move(prefix)) {}

    MsgAnswer message_box(const std::string& caption, const std::string& text, MsgIcon icon,
                          MsgButtons, MsgAnswer default_button) override {
        if (told && !told(caption, text, icon)) {
            return default_button;
        }
        std::lock_guard lock(print_);
        std::ostream& to = icon == MsgIcon::Information ? out_ : err_;
        // Line breaks kept where the text has them, so that a list of keys stays readable;
        // the first line carries the program's name, the others are indented under it.
        std::string line;
        bool first = true;
        auto flush_line = [&] {
            if (!line.empty()) {
                to << (first ? (icon == MsgIcon::Information ? "" : prefix_.c_str()) : "  ") << line
                   << "\n";
                first = false;
            }
            line.clear();
        };
        for (char c : text) {
            if (c == '\n') {
                flush_line();
            } else {
                line += c;
            }
        }
        flush_line();
        to.flush();
        return default_button;
    }
    void run_on_ui(const std::function<void()>& fn) override {
        std::lock_guard lock(ui_);
        fn();
    }
    bool wait_serving_ui(const std::function<bool()>& done, uint32_t timeout_ms) override {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (!done()) {
            if (std::chrono::steady_clock::now() >= end) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }
    void set_status_text(const std::string& text) override {
        if (status_told) {
            status_told(text);
        }
    }
    // Told each box before it is printed, on the thread that shows it; false: said already,
    // not printed again.
    std::function<bool(const std::string& caption, const std::string& text, MsgIcon icon)> told;
    // Told each status text (a run's phase), on the thread that sets it.
    std::function<void(const std::string& text)> status_told;
    void set_title(const std::string&) override {}
    std::optional<FileChoice> open_file_dialog() override { return std::nullopt; }
    std::optional<FileChoice> save_file_dialog() override { return std::nullopt; }

  private:
    std::ostream& out_;
    std::ostream& err_;
    std::string prefix_;
    std::recursive_mutex ui_;
    std::mutex print_;
};
