// A LogSink that keeps every line, for tests; safe to call from any thread.
#pragma once

#include "events/log_sink.h"

#include <mutex>
#include <ostream>
#include <string>
#include <vector>

struct LoggedLine {
    std::string key;
    std::string event;
    bool highlight = false;
    friend bool operator==(const LoggedLine&, const LoggedLine&) = default;
};

class RecordingLog final : public LogSink {
  public:
    void add_log_line(std::string_view key_text, std::string_view event_text,
                      bool highlight) override {
        std::lock_guard lock(mutex_);
        lines_.push_back({std::string(key_text), std::string(event_text), highlight});
    }
    std::vector<LoggedLine> lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    size_t size() {
        std::lock_guard lock(mutex_);
        return lines_.size();
    }
    void clear() {
        std::lock_guard lock(mutex_);
        lines_.clear();
    }

  private:
    std::mutex mutex_;
    std::vector<LoggedLine> lines_;
};

inline std::ostream& operator<<(std::ostream& os, const LoggedLine& l) {
    return os << "[" << l.key << "|" << l.event << "|" << (l.highlight ? "red" : "plain") << "]";
}
