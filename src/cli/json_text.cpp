#include "cli/json_text.h"

#include <cstdio>

std::string json_string(std::string_view utf8) {
    std::string out = "\"";
    for (char ch : utf8) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20 || c == 0x7f) {
                char esc[8];
                std::snprintf(esc, sizeof esc, "\\u%04x", c);
                out += esc;
            } else {
                out.push_back(ch);
            }
        }
    }
    out.push_back('"');
    return out;
}

std::string terminal_text(std::string_view utf8) {
    std::string out;
    auto escape = [&out](unsigned char c) {
        char esc[8];
        std::snprintf(esc, sizeof esc, "\\x%02x", c);
        out += esc;
    };
    for (size_t i = 0; i < utf8.size(); ++i) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        const auto next = i + 1 < utf8.size() ? static_cast<unsigned char>(utf8[i + 1]) : 0;
        if (c < 0x20 || c == 0x7f || (c == '\\' && next == 'x')) {
            escape(c);
        } else if (c == 0xc2 && next >= 0x80 && next <= 0x9f) {
            escape(c);
            escape(next);
            ++i;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}
