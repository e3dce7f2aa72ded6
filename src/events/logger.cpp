#include "events/logger.h"

#include "events/log_file.h"

#include <cstdint>

const char* const log_open_error_caption = "Tessary - Opening logfile";
const char* const log_open_error_text =
    "The logfile couldn't be opened.\n\nIt is probably set to 'read-only'. Tessary will function\n"
    "as normal, but it will not be able to log events to disk.";

Logger::Logger(DatabaseRecord& database, ScreenLog& screen, Host& host, Clock& clock)
    : db_(database), screen_(screen), host_(host), clock_(clock) {}

void Logger::add_log_line(std::string_view key_text, std::string_view event_text, bool highlight) {
    host_.run_on_ui([&] { add_line_on_ui(key_text, event_text, highlight); });
}

void Logger::start_log() {
    host_.run_on_ui([&] {
        screen_log_clear(screen_);
        ensure_log_file();
        add_line_on_ui(" - ", "Log started", true);
    });
}

void Logger::end_log() {
    host_.run_on_ui([&] {
        add_line_on_ui(" - ", "Log ended", true);
        screen_log_clear(screen_);
        file_.close();
    });
}

void Logger::ensure_log_file() {
    if (db_.file_name.empty()) {
        return;
    }
    const std::string name = log_file_name(db_.file_name);
    const std::string rotated = rotated_log_file_name(db_.file_name, clock_.local_time());
    // 64-bit: a limit near the top of its 32-bit range must not wrap into "always full".
    const int64_t limit = static_cast<int64_t>(db_.log_file_size) * 1024;
    if (file_.is_open() && file_.size() + log_line_reserve >= limit) {
        file_.close();
        // A failure (for instance a rotated name taken earlier in the same minute) leaves the
        // full file in place; it is reopened below and rotation is tried again next line.
        if (db_.rename_full_logs) {
            rename_file(name, rotated);
        } else {
            remove_file(name);
        }
    }
    if (!file_.is_open() && db_.log_file_size > 0) {
        file_ = File::open_append(name);
        if (!file_.is_open() && !db_.log_error_shown) {
            // Set before the box: the box serves other threads' lines, which must not ask again.
            db_.log_error_shown = true;
            host_.message_box(log_open_error_caption, log_open_error_text, MsgIcon::Error);
        }
    }
}

void Logger::add_line_on_ui(std::string_view key_text, std::string_view event_text,
                            bool highlight) {
    key_text = key_text.substr(0, log_key_text_capacity);
    event_text = event_text.substr(0, log_event_text_capacity);
    // A limit of 0 or below still keeps the newest line.
    if (screen_log_row_count(screen_) > 0 &&
        screen_log_row_count(screen_) >= db_.screen_log_lines) {
        screen_log_remove_first(screen_);
    }
    ensure_log_file();
    const std::string time_text = log_time_text(clock_.local_time());
    screen_log_append(screen_,
                      LogRow{std::string(key_text), std::string(event_text), time_text, highlight});
    if (file_.is_open()) {
        // One write per line: its pieces reach the file together or not at all.
        file_.write(log_file_line(time_text, key_text, event_text));
        file_.flush();
    }
}
