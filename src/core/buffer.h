// Fixed-capacity byte buffer through which every text of the program is built and parsed.
// Appends never grow it (what does not fit is dropped) and reads past the data give -1,
// so no operation can fail or reallocate.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

struct Buffer {
    char* storage = nullptr; // capacity + 1 bytes: room for a terminating zero is always there
    uint32_t capacity = 0;
    uint32_t read_pos = 0;
    uint32_t length = 0;
};

Buffer* buffer_create(uint32_t capacity);
void buffer_destroy(Buffer* b);
void buffer_clear(Buffer* b);
uint32_t buffer_remaining(const Buffer* b);
uint32_t buffer_room(const Buffer* b);
char* buffer_text(Buffer* b);
void buffer_adopt_text(Buffer* b);
void buffer_push(Buffer* b, int byte);
void buffer_append_text(Buffer* b, const char* text);
uint32_t buffer_append(Buffer* dst, const Buffer* src);
void buffer_append_number(Buffer* b, int32_t value, uint32_t width, uint32_t base);
void buffer_append_decimal(Buffer* b, int32_t value, uint32_t width);
void buffer_append_hex(Buffer* b, int32_t value, uint32_t width);
uint32_t digit_count(uint32_t value, uint32_t base);
int32_t buffer_parse_number(Buffer* b, uint32_t maximum, uint32_t base);
int32_t buffer_parse_decimal(Buffer* b, uint32_t maximum);
int32_t buffer_parse_hex(Buffer* b, uint32_t maximum);
int32_t buffer_peek(const Buffer* b);
int32_t buffer_peek_at(const Buffer* b, uint32_t index);
void buffer_poke_at(Buffer* b, uint32_t index, int byte);
int32_t buffer_next(Buffer* b);
int32_t buffer_last(const Buffer* b);
int32_t buffer_pop_last(Buffer* b);
void buffer_skip(Buffer* b, uint32_t count);
bool buffer_matches(const Buffer* b, const char* text);
void buffer_copy_out(char* dst, const Buffer* b, uint32_t dst_size);
uint32_t text_length(const char* text);

// Conveniences for C++ callers; they keep the same drop-what-does-not-fit rules.
void buffer_append_bytes(Buffer* b, std::string_view bytes);
std::string_view buffer_view(const Buffer* b); // the unread bytes
std::string buffer_string(const Buffer* b);

struct BufferDeleter {
    void operator()(Buffer* b) const { buffer_destroy(b); }
};
// Owning handle, so that a Buffer created in a function is destroyed on every path out of it.
using BufferPtr = std::unique_ptr<Buffer, BufferDeleter>;
inline BufferPtr make_buffer(uint32_t capacity) { return BufferPtr(buffer_create(capacity)); }
