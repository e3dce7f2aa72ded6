#include "core/buffer.h"

#include <gtest/gtest.h>

TEST(Buffer, HexAppendKeepsLowDigitsAndPads) {
    auto b = make_buffer(20);
    buffer_append_hex(b.get(), 0x1234ab, 6);
    buffer_push(b.get(), ' ');
    buffer_append_hex(b.get(), 0xab, 6);
    buffer_push(b.get(), ' ');
    buffer_append_hex(b.get(), 0xabcdef1, 6);
    EXPECT_EQ(buffer_string(b.get()), "1234ab 0000ab bcdef1");
}
