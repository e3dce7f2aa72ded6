#include "events/screen_log.h"

#include <utility>

int screen_log_row_count(const ScreenLog& log) {
    return static_cast<int>(log.rows.size());
}

int screen_log_append(ScreenLog& log, LogRow row) {
    log.rows.push_back(std::move(row));
    int index = screen_log_row_count(log) - 1;
    if (log.observer) {
        log.observer->log_rows_inserted(index, index);
    }
    return index;
}

void screen_log_remove_first(ScreenLog& log) {
    if (log.rows.empty()) {
        return;
    }
    log.rows.pop_front();
    if (log.observer) {
        log.observer->log_rows_removed(0, 0);
    }
}

void screen_log_clear(ScreenLog& log) {
    log.rows.clear();
    if (log.observer) {
        log.observer->log_rows_reset();
    }
}

const LogRow* screen_log_row(const ScreenLog& log, int row) {
    if (row < 0 || row >= screen_log_row_count(log)) {
        return nullptr;
    }
    return &log.rows[static_cast<size_t>(row)];
}
