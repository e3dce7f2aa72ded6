#include "client/json_value.h"

#include <cstdlib>

const JsonValue* JsonValue::member(const std::string& name) const {
    auto it = members.find(name);
    return it == members.end() ? nullptr : &it->second;
}

namespace {

class Parser {
  public:
    explicit Parser(std::string_view text) : s_(text) {}

    bool whole(JsonValue& out) {
        blanks();
        if (!value(out, 0)) {
            return false;
        }
        blanks();
        return at_end() || fail("text after the value");
    }
    const std::string& error() const { return error_; }

  private:
    bool at_end() const { return i_ >= s_.size(); }
    char peek() const { return at_end() ? '\0' : s_[i_]; }
    bool fail(const char* what) {
        if (error_.empty()) {
            error_ = std::string(what) + " at byte " + std::to_string(i_ + 1);
        }
        return false;
    }
    void blanks() {
        while (!at_end() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\r' || s_[i_] == '\n')) {
            ++i_;
        }
    }
    bool word(std::string_view w) {
        if (s_.substr(i_, w.size()) != w) {
            return fail("unknown word");
        }
        i_ += w.size();
        return true;
    }

    bool value(JsonValue& out, int depth) {
        if (depth >= max_json_depth) {
            return fail("nesting too deep");
        }
        switch (peek()) {
        case '{':
            return object(out, depth);
        case '[':
            return array(out, depth);
        case '"':
            out.type = JsonValue::Type::String;
            return string(out.text);
        case 't':
            out.type = JsonValue::Type::Bool;
            out.boolean = true;
            return word("true");
        case 'f':
            out.type = JsonValue::Type::Bool;
            return word("false");
        case 'n':
            return word("null");
        default:
            return number(out);
        }
    }

    bool object(JsonValue& out, int depth) {
        out.type = JsonValue::Type::Object;
        ++i_;
        blanks();
        if (peek() == '}') {
            ++i_;
            return true;
        }
        for (;;) {
            std::string name;
            blanks();
            if (peek() != '"') {
                return fail("expected a member name");
            }
            if (!string(name)) {
                return false;
            }
            blanks();
            if (peek() != ':') {
                return fail("expected ':'");
            }
            ++i_;
            blanks();
            JsonValue v;
            if (!value(v, depth + 1)) {
                return false;
            }
            out.members[name] = std::move(v);
            blanks();
            if (peek() == '}') {
                ++i_;
                return true;
            }
            if (peek() != ',') {
                return fail("expected ',' or '}'");
            }
            ++i_;
        }
    }

    bool array(JsonValue& out, int depth) {
        out.type = JsonValue::Type::Array;
        ++i_;
        blanks();
        if (peek() == ']') {
            ++i_;
            return true;
        }
        for (;;) {
            blanks();
            out.items.emplace_back();
            if (!value(out.items.back(), depth + 1)) {
                return false;
            }
            blanks();
            if (peek() == ']') {
                ++i_;
                return true;
            }
            if (peek() != ',') {
                return fail("expected ',' or ']'");
            }
            ++i_;
        }
    }

    bool number(JsonValue& out) {
        const size_t start = i_;
        if (peek() == '-') {
            ++i_;
        }
        auto digits = [this] {
            size_t n = 0;
            for (; !at_end() && s_[i_] >= '0' && s_[i_] <= '9'; ++i_) {
                ++n;
            }
            return n;
        };
        if (digits() == 0) {
            return fail("unexpected character");
        }
        if (peek() == '.') {
            ++i_;
            if (digits() == 0) {
                return fail("malformed number");
            }
        }
        if (peek() == 'e' || peek() == 'E') {
            ++i_;
            if (peek() == '+' || peek() == '-') {
                ++i_;
            }
            if (digits() == 0) {
                return fail("malformed number");
            }
        }
        out.type = JsonValue::Type::Number;
        out.text = std::string(s_.substr(start, i_ - start));
        out.number = std::strtod(out.text.c_str(), nullptr);
        return true;
    }

    bool hex4(unsigned& code) {
        if (s_.size() - i_ < 4) {
            return fail("short \\u escape");
        }
        code = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = s_[i_++];
            code <<= 4;
            if (c >= '0' && c <= '9') {
                code |= static_cast<unsigned>(c - '0');
            } else if (c >= 'a' && c <= 'f') {
                code |= static_cast<unsigned>(c - 'a' + 10);
            } else if (c >= 'A' && c <= 'F') {
                code |= static_cast<unsigned>(c - 'A' + 10);
            } else {
                return fail("bad \\u escape");
            }
        }
        return true;
    }

    static void put_utf8(std::string& out, unsigned code) {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xc0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3f));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xe0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
            out += static_cast<char>(0x80 | (code & 0x3f));
        } else {
            out += static_cast<char>(0xf0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3f));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
            out += static_cast<char>(0x80 | (code & 0x3f));
        }
    }

    bool escape(std::string& out) {
        const char c = s_[i_++];
        switch (c) {
        case '"':
        case '\\':
        case '/':
            out += c;
            return true;
        case 'b':
            out += '\b';
            return true;
        case 'f':
            out += '\f';
            return true;
        case 'n':
            out += '\n';
            return true;
        case 'r':
            out += '\r';
            return true;
        case 't':
            out += '\t';
            return true;
        case 'u':
            return unicode(out);
        default:
            return fail("bad escape");
        }
    }

    bool unicode(std::string& out) {
        unsigned code = 0;
        if (!hex4(code)) {
            return false;
        }
        if (code >= 0xdc00 && code <= 0xdfff) {
            return fail("lone low surrogate");
        }
        if (code >= 0xd800 && code <= 0xdbff) {
            unsigned low = 0;
            if (s_.substr(i_, 2) != "\\u") {
                return fail("lone high surrogate");
            }
            i_ += 2;
            if (!hex4(low) || low < 0xdc00 || low > 0xdfff) {
                return fail("bad surrogate pair");
            }
            code = 0x10000 + ((code - 0xd800) << 10) + (low - 0xdc00);
        }
        put_utf8(out, code);
        return true;
    }

    bool string(std::string& out) {
        ++i_; // the opening quote
        for (;;) {
            if (at_end()) {
                return fail("unterminated string");
            }
            const auto c = static_cast<unsigned char>(s_[i_]);
            if (c == '"') {
                ++i_;
                return true;
            }
            if (c < 0x20) {
                return fail("control character in a string");
            }
            ++i_;
            if (c == '\\') {
                if (at_end()) {
                    return fail("unterminated string");
                }
                if (!escape(out)) {
                    return false;
                }
            } else {
                out += static_cast<char>(c);
            }
        }
    }

    std::string_view s_;
    size_t i_ = 0;
    std::string error_;
};

} // namespace

std::optional<JsonValue> parse_json(std::string_view text, std::string* error) {
    Parser p(text);
    JsonValue v;
    if (!p.whole(v)) {
        if (error) {
            *error = p.error();
        }
        return std::nullopt;
    }
    return v;
}
