#include "ui/models/key_text.h"

#include "core/text_encoding.h"

#include <cstdint>

namespace {

bool is_continuation(unsigned char c) {
    return (c & 0xc0) == 0x80;
}

} // namespace

bool is_valid_utf8(std::string_view bytes) {
    return text_is_utf8(bytes);
}

QString display_text(std::string_view bytes) {
    if (is_valid_utf8(bytes)) {
        return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
    }
    QString text;
    text.reserve(static_cast<qsizetype>(bytes.size()));
    for (char b : bytes) {
        const auto c = static_cast<unsigned char>(b);
        text.append(QChar(static_cast<char16_t>(cp1252_char(c))));
    }
    return text;
}

std::string cut_text(std::string bytes, size_t max_bytes) {
    if (bytes.size() <= max_bytes) {
        return bytes;
    }
    if (!is_valid_utf8(bytes)) {
        bytes.resize(max_bytes);
        return bytes;
    }
    // Back off to the first byte of the character that would be cut.
    size_t end = max_bytes;
    while (end > 0 && is_continuation(static_cast<unsigned char>(bytes[end]))) {
        --end;
    }
    bytes.resize(end);
    return bytes;
}

std::string field_bytes(const QString& shown, const std::string& original, size_t max_bytes) {
    if (shown == display_text(original)) {
        return cut_text(original, max_bytes);
    }
    return cut_text(shown.toStdString(), max_bytes);
}
