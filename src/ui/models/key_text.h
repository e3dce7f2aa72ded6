// Key texts are bytes: a .TSY file keeps them exactly as it read them. Files made on Windows
// hold Windows-1252 text, files made here UTF-8; the window shows either, and what the user
// types is stored as UTF-8.
#pragma once

#include <QString>

#include <cstddef>
#include <string>
#include <string_view>

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF, no cut sequence.
bool is_valid_utf8(std::string_view bytes);
// UTF-8 where the bytes are valid UTF-8, otherwise Windows-1252.
QString display_text(std::string_view bytes);
// The longest prefix of at most max_bytes bytes that does not end inside a UTF-8 character
// (when the bytes are UTF-8; a Windows-1252 text has one byte per character).
std::string cut_text(std::string bytes, size_t max_bytes);
// The bytes to store for a field that showed `original`: the original bytes when the field was
// left as it showed them (a Windows-1252 text is not rewritten by an OK that changed
// nothing), otherwise the field's text as UTF-8; either cut to max_bytes.
std::string field_bytes(const QString& shown, const std::string& original, size_t max_bytes);
