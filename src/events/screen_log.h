// The screen log as a row store: the lines the log window shows, oldest first. It lives on the
// user-interface thread; a view follows it through the observer.
#pragma once

#include <deque>
#include <string>

struct LogRow {
    std::string key_text;
    std::string event_text;
    std::string time_text;
    // Kept with the row so that a highlighted line is drawn red on every repaint, not only
    // while it is being inserted.
    bool highlight = false;
};

// Told after each change of the store, with the rows as they were numbered at that moment.
struct ScreenLogObserver {
    virtual ~ScreenLogObserver() = default;
    virtual void log_rows_inserted(int first, int last) = 0;
    virtual void log_rows_removed(int first, int last) = 0;
    virtual void log_rows_reset() = 0;
};

struct ScreenLog {
    std::deque<LogRow> rows;
    ScreenLogObserver* observer = nullptr;
};

int screen_log_row_count(const ScreenLog& log);
// Appends at the end; returns the new row's index.
int screen_log_append(ScreenLog& log, LogRow row);
void screen_log_remove_first(ScreenLog& log);
void screen_log_clear(ScreenLog& log);
// Null for a row that does not exist.
const LogRow* screen_log_row(const ScreenLog& log, int row);
