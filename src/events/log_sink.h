// Where log lines go: the screen log and the log file. The event decoder writes through this.
#pragma once

#include <string_view>

struct LogSink {
    virtual ~LogSink() = default;
    // Callable from any thread; the pieces of one line never interleave with another's.
    virtual void add_log_line(std::string_view key_text, std::string_view event_text,
                              bool highlight) = 0;
};
