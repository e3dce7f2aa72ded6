// The service's requests: one JSON object a line from a client's byte stream, each with an `id`
// to repeat in its answer and an `op`, and the answers and events written back one object a
// line. A line that is not such a request becomes an error answer for the client; nothing a
// client sends can end the service.
#pragma once

#include "client/json_value.h"
#include "sync/synchronize.h"

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

constexpr size_t max_request_line = 64 * 1024;

// Cuts a byte stream into lines. A line longer than the bound is dropped as it comes (never
// held whole) and reported once, as an oversized line, when its end arrives or the bound is
// passed.
class LineReader {
  public:
    struct Line {
        std::string text; // without its '\n' (and '\r')
        bool oversized = false;
    };

    explicit LineReader(size_t max_line = max_request_line) : max_(max_line) {}
    void feed(std::string_view bytes);
    std::optional<Line> next();

  private:
    void take(std::string_view bytes);

    size_t max_;
    std::string partial_;
    bool skipping_ = false; // inside a line already reported oversized
    std::deque<Line> ready_;
};

enum class RequestOp { List, Subscribe, Door, Reset, Clear, Sync, Compare };

struct Request {
    std::string id = "null"; // as JSON text, repeated in the answer
    RequestOp op = RequestOp::List;
    std::string database; // empty: every controller (list, subscribe) or the only one
    size_t backlog = 0;
    char door = 0;
    ExtraKeys extras = ExtraKeys::Refuse;
    bool verify = false;
};

// The request of a line; none, with the error answer to send in *answer, for a line that is not
// a request the service knows (malformed JSON, no id or op, an unknown op, a bad field).
std::optional<Request> read_request(const LineReader::Line& line, std::string* answer);

// Answer lines, '\n' included. fields: further members, already JSON ("\"a\": 1, \"b\": 2").
std::string ok_answer(const std::string& id, const std::string& fields = {});
std::string error_answer(const std::string& id, const std::string& error);
