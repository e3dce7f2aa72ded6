#include "events/screen_log_csv.h"

#include "core/text_encoding.h"
#include "database/csv.h"

std::string screen_log_to_csv(const ScreenLog& log, const std::vector<int>* rows) {
    std::string out = csv_line({"key", "event", "time"});
    auto one = [&](int row) {
        if (const LogRow* r = screen_log_row(log, row)) {
            out += csv_line({utf8_from_key_text(r->key_text), utf8_from_key_text(r->event_text),
                             utf8_from_key_text(r->time_text)});
        }
    };
    if (rows) {
        for (int row : *rows) {
            one(row);
        }
    } else {
        for (int row = 0; row < screen_log_row_count(log); ++row) {
            one(row);
        }
    }
    return out;
}
