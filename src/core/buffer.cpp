#include "core/buffer.h"

#include <cstring>

Buffer* buffer_create(uint32_t capacity) {
    auto* b = new Buffer;
    b->storage = new char[static_cast<size_t>(capacity) + 1];
    b->storage[0] = 0;
    b->capacity = capacity;
    return b;
}

void buffer_destroy(Buffer* b) {
    if (!b) {
        return;
    }
    delete[] b->storage;
    delete b;
}

void buffer_clear(Buffer* b) {
    b->read_pos = 0;
    b->length = 0;
}

uint32_t buffer_remaining(const Buffer* b) {
    return b->length - b->read_pos;
}

uint32_t buffer_room(const Buffer* b) {
    return b->capacity - b->read_pos;
}

char* buffer_text(Buffer* b) {
    b->storage[b->length] = 0;
    return b->storage + b->read_pos;
}

void buffer_adopt_text(Buffer* b) {
    // The outside writer was given buffer_room() bytes, so the text ends within the storage.
    const char* start = b->storage + b->read_pos;
    const void* zero = std::memchr(start, 0, static_cast<size_t>(b->capacity - b->read_pos) + 1);
    uint32_t n = zero ? static_cast<uint32_t>(static_cast<const char*>(zero) - start)
                      : b->capacity - b->read_pos;
    uint64_t end = static_cast<uint64_t>(b->read_pos) + n;
    b->length = end > b->capacity ? b->capacity : static_cast<uint32_t>(end);
}

void buffer_push(Buffer* b, int byte) {
    if (b->length < b->capacity) {
        b->storage[b->length++] = static_cast<char>(byte);
    }
}

void buffer_append_text(Buffer* b, const char* text) {
    for (; *text; ++text) {
        buffer_push(b, static_cast<unsigned char>(*text));
    }
}

uint32_t buffer_append(Buffer* dst, const Buffer* src) {
    uint32_t n = buffer_remaining(src);
    uint32_t room = dst->capacity - dst->length;
    if (n > room) {
        n = room;
    }
    std::memmove(dst->storage + dst->length, src->storage + src->read_pos, n);
    dst->length += n;
    return n;
}

uint32_t digit_count(uint32_t value, uint32_t base) {
    uint32_t count = 1;
    if (base < 2) {
        return count;
    }
    while (value >= base) {
        value /= base;
        ++count;
    }
    return count;
}

void buffer_append_number(Buffer* b, int32_t value, uint32_t width, uint32_t base) {
    uint32_t magnitude = static_cast<uint32_t>(value);
    if (value < 0) {
        magnitude = 0u - magnitude;
    }
    if (base < 2 || base > 16) {
        return;
    }
    if (width == 0) {
        width = digit_count(magnitude, base);
    }
    uint32_t room = b->capacity - b->length;
    if (width > room) {
        width = room;
    }
    static const char digits[] = "0123456789abcdef";
    for (uint32_t i = width; i > 0; --i) {
        b->storage[b->length + i - 1] = digits[magnitude % base];
        magnitude /= base;
    }
    b->length += width;
}

void buffer_append_decimal(Buffer* b, int32_t value, uint32_t width) {
    buffer_append_number(b, value, width, 10);
}

void buffer_append_hex(Buffer* b, int32_t value, uint32_t width) {
    buffer_append_number(b, value, width, 16);
}

int32_t buffer_parse_number(Buffer* b, uint32_t maximum, uint32_t base) {
    uint32_t available = buffer_remaining(b);
    uint32_t n = (maximum == 0 || available < maximum) ? available : maximum;
    uint32_t value = 0;
    for (uint32_t read = 0; read < n; ++read) {
        int32_t byte = buffer_peek(b);
        int32_t digit = -1;
        if (byte >= '0' && byte <= '9') {
            digit = byte - '0';
        } else if (byte >= 0) {
            int32_t lower = byte | 0x20;
            if (lower >= 'a' && lower <= 'f') {
                digit = lower - 87;
            }
        }
        if (digit < 0 || static_cast<uint32_t>(digit) >= base) {
            if (maximum == 0) {
                return static_cast<int32_t>(value);
            }
            buffer_skip(b, maximum - read);
            return -1;
        }
        b->read_pos++;
        value = value * base + static_cast<uint32_t>(digit);
    }
    return static_cast<int32_t>(value);
}

int32_t buffer_parse_decimal(Buffer* b, uint32_t maximum) {
    return buffer_parse_number(b, maximum, 10);
}

int32_t buffer_parse_hex(Buffer* b, uint32_t maximum) {
    return buffer_parse_number(b, maximum, 16);
}

static int32_t as_signed_byte(char c) {
    return static_cast<int32_t>(static_cast<signed char>(c));
}

int32_t buffer_peek(const Buffer* b) {
    return buffer_remaining(b) ? as_signed_byte(b->storage[b->read_pos]) : -1;
}

int32_t buffer_peek_at(const Buffer* b, uint32_t index) {
    return index < buffer_remaining(b) ? as_signed_byte(b->storage[b->read_pos + index]) : -1;
}

void buffer_poke_at(Buffer* b, uint32_t index, int byte) {
    if (index < buffer_remaining(b)) {
        b->storage[b->read_pos + index] = static_cast<char>(byte);
    }
}

int32_t buffer_next(Buffer* b) {
    int32_t byte = buffer_peek(b);
    if (buffer_remaining(b)) {
        b->read_pos++;
    }
    return byte;
}

int32_t buffer_last(const Buffer* b) {
    return buffer_remaining(b) ? as_signed_byte(b->storage[b->length - 1]) : -1;
}

int32_t buffer_pop_last(Buffer* b) {
    int32_t byte = buffer_last(b);
    if (buffer_remaining(b)) {
        b->length--;
    }
    return byte;
}

void buffer_skip(Buffer* b, uint32_t count) {
    if (count > buffer_remaining(b)) {
        buffer_clear(b);
    } else {
        b->read_pos += count;
    }
}

bool buffer_matches(const Buffer* b, const char* text) {
    uint32_t n = text_length(text);
    if (buffer_remaining(b) < n) {
        return false;
    }
    return std::memcmp(b->storage + b->read_pos, text, n) == 0;
}

void buffer_copy_out(char* dst, const Buffer* b, uint32_t dst_size) {
    // A size of 0 leaves no room even for the terminator; writing anything would overrun.
    if (dst_size == 0) {
        return;
    }
    uint32_t n = buffer_remaining(b);
    if (n > dst_size - 1) {
        n = dst_size - 1;
    }
    std::memcpy(dst, b->storage + b->read_pos, n);
    dst[n] = 0;
}

uint32_t text_length(const char* text) {
    return static_cast<uint32_t>(std::strlen(text));
}

void buffer_append_bytes(Buffer* b, std::string_view bytes) {
    uint32_t room = b->capacity - b->length;
    size_t n = bytes.size() < room ? bytes.size() : room;
    if (n == 0) {
        return; // an empty view may have no data pointer at all
    }
    std::memcpy(b->storage + b->length, bytes.data(), n);
    b->length += static_cast<uint32_t>(n);
}

std::string_view buffer_view(const Buffer* b) {
    return std::string_view(b->storage + b->read_pos, buffer_remaining(b));
}

std::string buffer_string(const Buffer* b) {
    return std::string(buffer_view(b));
}
