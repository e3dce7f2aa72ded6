// JSON output: strings are UTF-8 in, escaped JSON string literals out.
#pragma once

#include <string>
#include <string_view>

// The quoted JSON string of UTF-8 text: quote, backslash and control characters escaped.
std::string json_string(std::string_view utf8);
