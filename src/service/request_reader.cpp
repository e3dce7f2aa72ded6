#include "service/request_reader.h"

#include "cli/json_text.h"

#include <cmath>

void LineReader::feed(std::string_view bytes) {
    while (!bytes.empty()) {
        const size_t end = bytes.find('\n');
        if (skipping_) {
            if (end == std::string_view::npos) {
                return;
            }
            skipping_ = false;
            bytes.remove_prefix(end + 1);
            continue;
        }
        if (end == std::string_view::npos) {
            take(bytes);
            return;
        }
        take(bytes.substr(0, end));
        bytes.remove_prefix(end + 1);
        if (!skipping_) {
            Line line{std::move(partial_), false};
            partial_.clear();
            if (!line.text.empty() && line.text.back() == '\r') {
                line.text.pop_back();
            }
            if (line.text.find_first_not_of(" \t") != std::string::npos) {
                ready_.push_back(std::move(line));
            }
        }
        skipping_ = false;
    }
}

void LineReader::take(std::string_view bytes) {
    if (skipping_) {
        return;
    }
    if (partial_.size() + bytes.size() > max_) {
        partial_.clear();
        partial_.shrink_to_fit();
        ready_.push_back(Line{{}, true});
        skipping_ = true;
        return;
    }
    partial_.append(bytes);
}

std::optional<LineReader::Line> LineReader::next() {
    if (ready_.empty()) {
        return std::nullopt;
    }
    Line line = std::move(ready_.front());
    ready_.pop_front();
    return line;
}

std::string ok_answer(const std::string& id, const std::string& fields) {
    return "{\"id\": " + id + ", \"ok\": true" + (fields.empty() ? "" : ", " + fields) + "}\n";
}

std::string error_answer(const std::string& id, const std::string& error) {
    return "{\"id\": " + id + ", \"ok\": false, \"error\": " + json_string(error) + "}\n";
}

namespace {

struct OpName {
    const char* name;
    RequestOp op;
};

constexpr OpName op_names[] = {
    {"list", RequestOp::List},       {"subscribe", RequestOp::Subscribe}, {"door", RequestOp::Door},
    {"reset", RequestOp::Reset},     {"clear", RequestOp::Clear},         {"sync", RequestOp::Sync},
    {"compare", RequestOp::Compare},
};

using Type = JsonValue::Type;

// An id is repeated as it came: a string or a whole number within what a double holds exactly.
bool read_id(const JsonValue& v, std::string& id) {
    if (v.type == Type::String) {
        id = json_string(v.text);
        return true;
    }
    if (v.type == Type::Number && std::fabs(v.number) <= 9007199254740991.0 &&
        std::floor(v.number) == v.number) {
        id = std::to_string(static_cast<long long>(v.number));
        return true;
    }
    return false;
}

// The fields each op takes; a wrong one is named in *error.
bool read_fields(const JsonValue& v, Request& r, std::string* error) {
    if (const JsonValue* db = v.member("database")) {
        if (db->type != Type::String || db->text.empty()) {
            *error = "\"database\" must be a file name";
            return false;
        }
        r.database = db->text;
    }
    if (const JsonValue* b = v.member("backlog")) {
        if (b->type != Type::Number || b->number < 0 || b->number > 100000 ||
            std::floor(b->number) != b->number) {
            *error = "\"backlog\" must be a whole number from 0 to 100000";
            return false;
        }
        r.backlog = static_cast<size_t>(b->number);
    }
    if (r.op == RequestOp::Door) {
        const JsonValue* d = v.member("door");
        if (!d || d->type != Type::String || (d->text != "A" && d->text != "B")) {
            *error = "\"door\" must be \"A\" or \"B\"";
            return false;
        }
        r.door = d->text[0];
    }
    if (r.op == RequestOp::Clear) {
        const JsonValue* c = v.member("confirm");
        if (!c || c->type != Type::Bool || !c->boolean) {
            *error = "clear erases the controller's keys: it needs \"confirm\": true";
            return false;
        }
    }
    if (const JsonValue* e = v.member("extras"); e && r.op == RequestOp::Sync) {
        if (e->type != Type::String || (e->text != "keep" && e->text != "delete")) {
            *error = "\"extras\" must be \"keep\" or \"delete\"";
            return false;
        }
        r.extras = e->text == "keep" ? ExtraKeys::Keep : ExtraKeys::Delete;
    }
    if (const JsonValue* f = v.member("verify"); f && r.op == RequestOp::Sync) {
        if (f->type != Type::Bool) {
            *error = "\"verify\" must be true or false";
            return false;
        }
        r.verify = f->boolean;
    }
    return true;
}

} // namespace

std::optional<Request> read_request(const LineReader::Line& line, std::string* answer) {
    Request r;
    if (line.oversized) {
        *answer = error_answer(r.id, "request line longer than " +
                                         std::to_string(max_request_line) + " bytes");
        return std::nullopt;
    }
    std::string error;
    std::optional<JsonValue> v = parse_json(line.text, &error);
    if (!v) {
        *answer = error_answer(r.id, "malformed request: " + error);
        return std::nullopt;
    }
    if (v->type != Type::Object) {
        *answer = error_answer(r.id, "a request is a JSON object");
        return std::nullopt;
    }
    const JsonValue* id = v->member("id");
    if (!id || !read_id(*id, r.id)) {
        *answer = error_answer("null", "a request needs an \"id\": a string or a whole number");
        return std::nullopt;
    }
    const JsonValue* op = v->member("op");
    if (!op || op->type != Type::String) {
        *answer = error_answer(r.id, "a request needs an \"op\"");
        return std::nullopt;
    }
    bool known = false;
    for (const OpName& o : op_names) {
        if (op->text == o.name) {
            r.op = o.op;
            known = true;
        }
    }
    if (!known) {
        *answer = error_answer(r.id, "unknown op " + json_string(op->text));
        return std::nullopt;
    }
    if (!read_fields(*v, r, &error)) {
        *answer = error_answer(r.id, error);
        return std::nullopt;
    }
    return r;
}
