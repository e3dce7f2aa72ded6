#include "events/logger.h"

#include "events/log_file.h"

#include <cstdint>
#include <fcntl.h>

const char* const log_open_error_caption = "Tessary - Opening logfile";
const char* const log_open_error_text =
    "The logfile couldn't be opened.\n\nIt is probably set to 'read-only'. Tessary will function\n"
    "as normal, but it will not be able to log events to disk.";

const char* const log_write_error_caption = "Tessary - Writing logfile";
const char* const log_write_error_text =
    "A line couldn't be written to the logfile. Tessary will function as normal,\n"
    "but events may be missing from the log on disk.\n\n";

Logger::Logger(KeyDatabase& database, ScreenLog& screen, Host& host, Clock& clock,
               std::chrono::milliseconds flush_interval)
    : db_(database), screen_(screen), host_(host), clock_(clock), flusher_(flush_interval) {}

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
        close_log_file();
    });
}

void Logger::close_log_file() {
    if (file_) {
        flusher_.retire(std::move(file_));
        file_.reset();
    }
    file_path_.clear();
}

void Logger::report_once(const char* caption, const std::string& text) {
    if (error_shown_) {
        return;
    }
    // Set before the box: the box serves other threads' lines, which must not ask again.
    error_shown_ = true;
    host_.message_box(caption, text, MsgIcon::Error);
}

void Logger::ensure_log_file() {
    if (db_.file_name.empty()) {
        // A new, unnamed database logs to the screen only, never into a file opened before.
        close_log_file();
        return;
    }
    const std::string name = log_file_name(db_.file_name);
    if (file_ && (file_path_ != name || !file_->is_linked())) {
        // The database changed its name, or the file was removed under us: lines written to it
        // would be lost, so the next line goes to a file under the current name.
        close_log_file();
    }
    // 64-bit: a limit near the top of its 32-bit range must not wrap into "always full".
    const int64_t limit = static_cast<int64_t>(db_.log.log_file_size) * 1024;
    if (file_ && file_->size() + log_line_reserve >= limit) {
        close_log_file();
        if (db_.log.rename_full_logs) {
            move_full_log(name);
        } else {
            remove_file(name);
        }
    }
    if (!file_ && db_.log.log_file_size > 0) {
        // Not through a link planted under the log's name, and no wider open than the database.
        File opened =
            File::open_beside(name, O_WRONLY | O_CREAT | O_APPEND, mode_beside(db_.file_name));
        if (opened.is_open()) {
            file_ = std::make_shared<File>(std::move(opened));
            file_path_ = name;
        } else {
            // The old text guesses at the cause; the file and the system's reason settle it.
            report_once(log_open_error_caption, std::string(log_open_error_text) +
                                                    "\n\nFile: " + name +
                                                    "\nReason: " + opened.open_error().message());
        }
    }
}

void Logger::move_full_log(const std::string& name) {
    const LocalTime now = clock_.local_time();
    const std::string first = rotated_log_file_name(db_.file_name, now);
    if (first != rotation_minute_) {
        rotation_minute_ = first;
        rotation_number_ = 1;
    }
    // A name taken (by an earlier rotation in this minute, or by anyone) moves on to the next
    // number, and the count is kept so that a flood does not try every taken name each time.
    // Any other failure, or a minute with every number used, leaves the full file in place: it
    // is reopened and rotation is tried again before the next line.
    for (; rotation_number_ <= max_rotated_log_number; ++rotation_number_) {
        IoResult moved =
            rename_file(name, rotated_log_file_name(db_.file_name, now, rotation_number_));
        if (moved) {
            ++rotation_number_;
            return;
        }
        if (moved.error() != std::errc::file_exists) {
            return;
        }
    }
}

void Logger::write_line(const std::string& line) {
    const int64_t before = file_->size();
    // One write per line: its pieces reach the file together or not at all.
    IoResult written = file_->write(line);
    if (written) {
        flusher_.written(file_);
        return;
    }
    // A part of the line may have gone in (the disk filled up midway): take it back out, so
    // that the next line, once there is room, starts on a line of its own.
    if (before >= 0) {
        (void)file_->truncate(before);
    }
    const std::string path = file_path_;
    // The file is opened afresh before the next line: a medium that went away and came back,
    // or a disk with room again, then takes lines without a new word.
    close_log_file();
    report_once(log_write_error_caption, std::string(log_write_error_text) + "File: " + path +
                                             "\nReason: " + written.reason());
}

void Logger::make_room_on_screen() {
    // A limit of 0 or below still keeps the newest line.
    if (screen_log_row_count(screen_) > 0 &&
        screen_log_row_count(screen_) >= db_.log.screen_log_lines) {
        screen_log_remove_first(screen_);
    }
}

void Logger::show_line(LogRow row) {
    make_room_on_screen();
    screen_log_append(screen_, std::move(row));
}

void Logger::add_line_on_ui(std::string_view key_text, std::string_view event_text,
                            bool highlight) {
    key_text = key_text.substr(0, log_key_text_capacity);
    event_text = event_text.substr(0, log_event_text_capacity);
    make_room_on_screen();
    ensure_log_file();
    const std::string time_text = log_time_text(clock_.local_time());
    LogRow row{std::string(key_text), std::string(event_text), time_text, highlight};
    if (on_line) {
        screen_log_append(screen_, row);
    } else {
        screen_log_append(screen_, std::move(row));
    }
    if (file_) {
        write_line(log_file_line(time_text, key_text, event_text));
    }
    if (on_line) {
        on_line(row);
    }
}
