// Texts for standard output: UTF-8 in, JSON string literals or terminal-safe plain text out.
#pragma once

#include <string>
#include <string_view>

// The quoted JSON string of UTF-8 text: quote, backslash and control characters escaped.
std::string json_string(std::string_view utf8);
// Plain text that cannot steer a terminal: each control byte (below 0x20, 0x7f) and each byte of
// a C1 control (U+0080 to U+009F) written as \xNN, and a backslash before an x written as \x5c,
// so that \xNN in the output always stands for one byte.
std::string terminal_text(std::string_view utf8);
