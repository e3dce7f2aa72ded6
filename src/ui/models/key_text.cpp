#include "ui/models/key_text.h"

#include <cstdint>

namespace {

// 0x80-0x9f of Windows-1252. The five bytes it leaves undefined map to the C1 controls of the
// same value, as Windows itself converts them; the rest of the range is Latin-1.
constexpr char16_t cp1252_high[32] = {
    0x20ac, 0x0081, 0x201a, 0x0192, 0x201e, 0x2026, 0x2020, 0x2021, 0x02c6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008d, 0x017d, 0x008f, 0x0090, 0x2018, 0x2019, 0x201c, 0x201d, 0x2022,
    0x2013, 0x2014, 0x02dc, 0x2122, 0x0161, 0x203a, 0x0153, 0x009d, 0x017e, 0x0178,
};

bool is_continuation(unsigned char c) {
    return (c & 0xc0) == 0x80;
}

} // namespace

bool is_valid_utf8(std::string_view bytes) {
    size_t i = 0;
    const size_t n = bytes.size();
    while (i < n) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t len = 0;
        uint32_t min = 0;
        uint32_t cp = 0;
        if ((c & 0xe0) == 0xc0) {
            len = 2;
            min = 0x80;
            cp = c & 0x1f;
        } else if ((c & 0xf0) == 0xe0) {
            len = 3;
            min = 0x800;
            cp = c & 0x0f;
        } else if ((c & 0xf8) == 0xf0) {
            len = 4;
            min = 0x10000;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (n - i < len) {
            return false;
        }
        for (size_t k = 1; k < len; ++k) {
            const auto cc = static_cast<unsigned char>(bytes[i + k]);
            if (!is_continuation(cc)) {
                return false;
            }
            cp = (cp << 6) | (cc & 0x3f);
        }
        if (cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) {
            return false;
        }
        i += len;
    }
    return true;
}

QString display_text(std::string_view bytes) {
    if (is_valid_utf8(bytes)) {
        return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
    }
    QString text;
    text.reserve(static_cast<qsizetype>(bytes.size()));
    for (char b : bytes) {
        const auto c = static_cast<unsigned char>(b);
        text.append(QChar(c >= 0x80 && c < 0xa0 ? cp1252_high[c - 0x80] : char16_t(c)));
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
