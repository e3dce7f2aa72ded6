// A small JSON reader for the service's requests: one object a line, a few fields each. Depth
// and size are bounded by the caller's line limit and by max_json_depth, so no input can make
// it recurse or allocate without end.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

constexpr int max_json_depth = 32;

struct JsonValue {
    enum class Type { Null, Bool, Number, String, Array, Object };
    Type type = Type::Null;
    bool boolean = false;
    double number = 0;
    std::string text; // a string, or a number as written
    std::vector<JsonValue> items;
    std::map<std::string, JsonValue> members; // a repeated name keeps its last value

    const JsonValue* member(const std::string& name) const;
};

// The value the whole of `text` holds (blanks around it allowed); none, with the reason in
// *error, for anything else.
std::optional<JsonValue> parse_json(std::string_view text, std::string* error);
