// Key texts are bytes: UTF-8 where they are valid UTF-8, otherwise Windows-1252 (files made on
// Windows). Whatever leaves the program as text (CSV, JSON) is UTF-8, so the other kind is
// converted on the way out.
#pragma once

#include <string>
#include <string_view>

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF, no cut sequence.
bool text_is_utf8(std::string_view bytes);
// Each byte as the Windows-1252 character it stands for (the five bytes that code page leaves
// undefined as the C1 controls of the same value), in UTF-8.
std::string utf8_from_cp1252(std::string_view bytes);
// The bytes themselves when they are UTF-8, otherwise their Windows-1252 reading in UTF-8.
std::string utf8_from_key_text(std::string_view bytes);
// Appends one code point (at most U+10FFFF) in UTF-8.
void append_utf8(std::string& out, char32_t cp);
