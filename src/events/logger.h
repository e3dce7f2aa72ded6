// Every log line goes to the screen log and, while the database has a file, to its log file.
// Lines may come from any thread; each is carried out whole on the user-interface thread (through
// Host::run_on_ui), which owns the screen log, the database record and the log file, so the bytes
// of two lines can never mix and no lock is held while a message box is up.
#pragma once

#include "database/key_database.h"
#include "events/log_flusher.h"
#include "events/log_sink.h"
#include "events/screen_log.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/host.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

constexpr size_t log_key_text_capacity = 100;
constexpr size_t log_event_text_capacity = 2100;

class Logger final : public LogSink {
  public:
    Logger(KeyDatabase& database, ScreenLog& screen, Host& host, Clock& clock,
           std::chrono::milliseconds flush_interval = std::chrono::seconds(1));
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    void add_log_line(std::string_view key_text, std::string_view event_text,
                      bool highlight) override;
    // A line another process logged (a service serving the controller): shown on the screen log
    // only, under the same limit, since that process writes its own log file.
    void show_line(LogRow row);
    // Empties the screen log and writes "Log started" to the log of the current database.
    void start_log();
    // Writes "Log ended", empties the screen log and closes the log file without rotating it.
    void end_log();
    // Opens, rotates, closes or leaves the log file; run before every line.
    void ensure_log_file();

    bool log_file_open() const { return file_ != nullptr; }
    // Whether a log file error was told since the last rearm_error_report; a new database
    // (New, Open) arms the report again.
    bool error_shown() const { return error_shown_; }
    void rearm_error_report() { error_shown_ = false; }

    // Told every line the screen log takes, on the user-interface thread, after the log file
    // has it: for owners that pass the lines on (a session's observers).
    std::function<void(const LogRow&)> on_line;
    LogFlusher& flusher() { return flusher_; }

  private:
    void make_room_on_screen();
    void add_line_on_ui(std::string_view key_text, std::string_view event_text, bool highlight);
    void write_line(const std::string& line);
    void close_log_file();
    // Moves the full log file to the first free rotated name of this minute.
    void move_full_log(const std::string& name);
    void report_once(const char* caption, const std::string& text);

    KeyDatabase& db_;
    // A log file that cannot be opened or written is told once per database, not at every line.
    bool error_shown_ = false;
    ScreenLog& screen_;
    Host& host_;
    Clock& clock_;
    // The file and the name it was opened under: a line goes to this file only while the
    // database still has that log name, whatever happened to the record in between.
    std::shared_ptr<File> file_;
    std::string file_path_;
    // The first rotated name of the minute of the last rotation, and the number to try next
    // within that minute.
    std::string rotation_minute_;
    int rotation_number_ = 1;
    LogFlusher flusher_;
};

extern const char* const log_open_error_caption;
extern const char* const log_open_error_text;
extern const char* const log_write_error_caption;
// Followed by the file's path, then the system's reason.
extern const char* const log_write_error_text;
