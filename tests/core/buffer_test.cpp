#include "core/buffer.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

namespace {

BufferPtr holding(const std::string& bytes, uint32_t capacity = 100) {
    auto b = make_buffer(capacity);
    buffer_append_bytes(b.get(), bytes);
    return b;
}

} // namespace

// ---- Creation, clearing, counts ------------------------------------------------------------

TEST(BufferBasics, CreateGivesAnEmptyBufferOfTheCapacity) {
    Buffer* b = buffer_create(7);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->capacity, 7u);
    EXPECT_EQ(b->read_pos, 0u);
    EXPECT_EQ(b->length, 0u);
    EXPECT_EQ(buffer_remaining(b), 0u);
    EXPECT_EQ(buffer_room(b), 7u);
    EXPECT_STREQ(buffer_text(b), "");
    buffer_destroy(b);
    buffer_destroy(nullptr);
}

TEST(BufferBasics, ZeroCapacityHoldsNothing) {
    auto b = make_buffer(0);
    buffer_push(b.get(), 'x');
    buffer_append_text(b.get(), "abc");
    buffer_append_decimal(b.get(), 5, 0);
    EXPECT_EQ(b->length, 0u);
    EXPECT_STREQ(buffer_text(b.get()), "");
    EXPECT_EQ(buffer_next(b.get()), -1);
}

TEST(BufferBasics, ClearResetsBothEnds) {
    auto b = holding("abcdef");
    buffer_next(b.get());
    buffer_clear(b.get());
    EXPECT_EQ(b->read_pos, 0u);
    EXPECT_EQ(b->length, 0u);
}

TEST(BufferBasics, RemainingAndRoomCountFromTheReadPosition) {
    auto b = holding("abcdef", 10);
    buffer_next(b.get());
    buffer_next(b.get());
    EXPECT_EQ(buffer_remaining(b.get()), 4u);
    EXPECT_EQ(buffer_room(b.get()), 8u);
}

// ---- Appending -----------------------------------------------------------------------------

TEST(BufferAppend, PushIntoAFullBufferLeavesItUnchanged) {
    auto b = holding("abc", 3);
    buffer_text(b.get()); // puts the terminator after the last byte
    buffer_push(b.get(), 'd');
    EXPECT_EQ(b->length, 3u);
    EXPECT_EQ(buffer_string(b.get()), "abc");
    EXPECT_EQ(b->storage[3], 0) << "the byte after the capacity was written";
}

TEST(BufferAppend, AppendTextDropsWhatDoesNotFit) {
    auto b = make_buffer(5);
    buffer_append_text(b.get(), "abc");
    buffer_append_text(b.get(), "");
    buffer_append_text(b.get(), "defgh");
    EXPECT_EQ(buffer_string(b.get()), "abcde");
}

TEST(BufferAppend, AppendCopiesUnreadBytesAsFarAsTheyFit) {
    auto src = holding("0123456789");
    buffer_skip(src.get(), 3);
    auto dst = holding("ab", 6);
    EXPECT_EQ(buffer_append(dst.get(), src.get()), 4u);
    EXPECT_EQ(buffer_string(dst.get()), "ab3456");
    EXPECT_EQ(buffer_string(src.get()), "3456789") << "the source changed";
    EXPECT_EQ(buffer_append(dst.get(), src.get()), 0u);
    auto empty = make_buffer(4);
    EXPECT_EQ(buffer_append(dst.get(), empty.get()), 0u);
}

TEST(BufferAppend, AppendIgnoresTheDestinationReadPosition) {
    // The copy goes to the write end, not to the read position.
    auto dst = holding("xyz", 10);
    buffer_next(dst.get());
    auto src = holding("12");
    EXPECT_EQ(buffer_append(dst.get(), src.get()), 2u);
    EXPECT_EQ(buffer_string(dst.get()), "yz12");
}

// ---- Numbers out ---------------------------------------------------------------------------

TEST(BufferNumbers, HexAppendKeepsLowDigitsAndPads) {
    auto b = make_buffer(30);
    buffer_append_hex(b.get(), 0x1234ab, 6);
    buffer_push(b.get(), ' ');
    buffer_append_hex(b.get(), 0xab, 6);
    buffer_push(b.get(), ' ');
    buffer_append_hex(b.get(), 0xabcdef1, 6);
    buffer_push(b.get(), ' ');
    buffer_append_hex(b.get(), 0, 0);
    EXPECT_EQ(buffer_string(b.get()), "1234ab 0000ab bcdef1 0");
}

TEST(BufferNumbers, DecimalAppendWritesNoSign) {
    auto b = make_buffer(40);
    buffer_append_decimal(b.get(), -5, 0);
    buffer_push(b.get(), ' ');
    buffer_append_decimal(b.get(), 12, 4);
    buffer_push(b.get(), ' ');
    buffer_append_decimal(b.get(), INT32_MIN, 0);
    buffer_push(b.get(), ' ');
    buffer_append_decimal(b.get(), INT32_MAX, 0);
    buffer_push(b.get(), ' ');
    buffer_append_hex(b.get(), -1, 0);
    EXPECT_EQ(buffer_string(b.get()), "5 0012 2147483648 2147483647 1");
}

TEST(BufferNumbers, AppendIntoShortRoomKeepsTheLeastSignificantDigits) {
    auto b = holding("ab", 5); // room for 3
    buffer_append_decimal(b.get(), 12345, 0);
    EXPECT_EQ(buffer_string(b.get()), "ab345");
    buffer_append_decimal(b.get(), 6, 0);
    EXPECT_EQ(buffer_string(b.get()), "ab345");
    auto c = make_buffer(2);
    buffer_append_hex(c.get(), 0xabc, 6);
    EXPECT_EQ(buffer_string(c.get()), "bc");
}

TEST(BufferNumbers, OtherBasesWork) {
    auto b = make_buffer(40);
    buffer_append_number(b.get(), 5, 0, 2);
    buffer_push(b.get(), ' ');
    buffer_append_number(b.get(), 8, 4, 8);
    EXPECT_EQ(buffer_string(b.get()), "101 0010");
}

TEST(BufferNumbers, BaseOutsideTwoToSixteenAppendsNothing) {
    auto b = holding("x");
    for (uint32_t base : {0u, 1u, 17u, 100u}) {
        buffer_append_number(b.get(), 123, 0, base);
        buffer_append_number(b.get(), 123, 4, base);
    }
    EXPECT_EQ(buffer_string(b.get()), "x");
}

TEST(BufferNumbers, DigitCount) {
    EXPECT_EQ(digit_count(0, 10), 1u);
    EXPECT_EQ(digit_count(9, 10), 1u);
    EXPECT_EQ(digit_count(10, 10), 2u);
    EXPECT_EQ(digit_count(99, 10), 2u);
    EXPECT_EQ(digit_count(100, 10), 3u);
    EXPECT_EQ(digit_count(0xffffffffu, 10), 10u);
    EXPECT_EQ(digit_count(0xffffffffu, 16), 8u);
    EXPECT_EQ(digit_count(0xf, 16), 1u);
    EXPECT_EQ(digit_count(0x10, 16), 2u);
    EXPECT_EQ(digit_count(1, 2), 1u);
    EXPECT_EQ(digit_count(2, 2), 2u);
}

// ---- Numbers in ----------------------------------------------------------------------------

TEST(BufferParse, HexFixedFieldConsumesItWhole) {
    auto b = holding("1234AB");
    EXPECT_EQ(buffer_parse_hex(b.get(), 6), 0x1234ab);
    EXPECT_EQ(buffer_remaining(b.get()), 0u);
}

TEST(BufferParse, HexFixedFieldStopsAtTheMaximum) {
    auto b = holding("abcdef12");
    EXPECT_EQ(buffer_parse_hex(b.get(), 6), 0xabcdef);
    EXPECT_EQ(buffer_string(b.get()), "12");
}

TEST(BufferParse, BadByteInAShortFixedFieldEmptiesTheBuffer) {
    auto b = holding("12x4");
    EXPECT_EQ(buffer_parse_hex(b.get(), 6), -1);
    EXPECT_EQ(b->read_pos, 0u);
    EXPECT_EQ(b->length, 0u);
}

TEST(BufferParse, BadByteInAFixedFieldStepsOverTheWholeField) {
    auto b = holding("12x45678");
    EXPECT_EQ(buffer_parse_hex(b.get(), 6), -1);
    EXPECT_EQ(buffer_peek(b.get()), '7');
    // The field is counted from where the parse began, not from the start of the Buffer.
    auto c = holding("ab1x34567");
    buffer_skip(c.get(), 2);
    EXPECT_EQ(buffer_parse_hex(c.get(), 4), -1);
    EXPECT_EQ(buffer_string(c.get()), "567");
    // A bad first byte still steps over the field.
    auto d = holding("g23456789");
    EXPECT_EQ(buffer_parse_hex(d.get(), 6), -1);
    EXPECT_EQ(buffer_string(d.get()), "789");
}

TEST(BufferParse, DecimalWithoutMaximumStopsOnTheFirstNonDigit) {
    auto b = holding("12ab");
    EXPECT_EQ(buffer_parse_decimal(b.get(), 0), 12);
    EXPECT_EQ(buffer_peek(b.get()), 'a');
    auto c = holding("-5");
    EXPECT_EQ(buffer_parse_decimal(c.get(), 0), 0);
    EXPECT_EQ(buffer_peek(c.get()), '-');
}

TEST(BufferParse, DecimalRejectsHexLettersAsDigits) {
    auto b = holding("12a4");
    EXPECT_EQ(buffer_parse_decimal(b.get(), 4), -1);
    EXPECT_EQ(buffer_remaining(b.get()), 0u);
}

TEST(BufferParse, EmptyBufferGivesZero) {
    auto b = make_buffer(10);
    EXPECT_EQ(buffer_parse_hex(b.get(), 6), 0);
    EXPECT_EQ(buffer_parse_hex(b.get(), 0), 0);
    EXPECT_EQ(buffer_parse_decimal(b.get(), 0), 0);
    EXPECT_EQ(buffer_parse_decimal(b.get(), 3), 0);
}

TEST(BufferParse, ShortFieldIsNoError) {
    auto b = holding("7f");
    EXPECT_EQ(buffer_parse_hex(b.get(), 6), 0x7f);
    EXPECT_EQ(buffer_remaining(b.get()), 0u);
}

TEST(BufferParse, BothLetterCasesAndNothingElse) {
    auto b = holding("aAfF09");
    EXPECT_EQ(buffer_parse_hex(b.get(), 0), 0xaaff09);
    // 'G', 'g', '@' and '`' sit next to the letters and are no digits; nor are bytes >= 128,
    // whose lower-cased forms would otherwise land on letters too.
    for (const char* bad : {"G", "g", "@", "`", "\xc1", "\xe1", "\x01", "/", ":"}) {
        auto c = holding(std::string("1") + bad);
        EXPECT_EQ(buffer_parse_hex(c.get(), 0), 1) << int(static_cast<unsigned char>(bad[0]));
        EXPECT_EQ(buffer_remaining(c.get()), 1u);
        auto d = holding(std::string("1") + bad);
        EXPECT_EQ(buffer_parse_hex(d.get(), 2), -1);
    }
}

TEST(BufferParse, LongNumbersWrapModulo2To32) {
    auto b = holding("123456789abc");
    EXPECT_EQ(static_cast<uint32_t>(buffer_parse_hex(b.get(), 0)), 0x56789abcu);
    auto c = holding("ffffffff");
    EXPECT_EQ(buffer_parse_hex(c.get(), 0), -1) << "the failure mark and the value coincide";
    auto d = holding("4294967297");
    EXPECT_EQ(buffer_parse_decimal(d.get(), 0), 1);
}

TEST(BufferParse, BaseOutOfRangeReadsNoDigit) {
    auto b = holding("123");
    EXPECT_EQ(buffer_parse_number(b.get(), 0, 0), 0);
    EXPECT_EQ(buffer_remaining(b.get()), 3u);
    EXPECT_EQ(buffer_parse_number(b.get(), 0, 2), 1);
    EXPECT_EQ(buffer_peek(b.get()), '2');
}

// ---- Reading bytes -------------------------------------------------------------------------

TEST(BufferRead, PeekNextLast) {
    auto b = holding("ab\xff");
    EXPECT_EQ(buffer_peek(b.get()), 'a');
    EXPECT_EQ(buffer_last(b.get()), -1) << "0xff reads as -1";
    EXPECT_EQ(buffer_next(b.get()), 'a');
    EXPECT_EQ(buffer_next(b.get()), 'b');
    EXPECT_EQ(buffer_next(b.get()), -1);
    EXPECT_EQ(buffer_remaining(b.get()), 0u) << "0xff is still a byte and is consumed";
    EXPECT_EQ(buffer_next(b.get()), -1);
    EXPECT_EQ(b->read_pos, 3u);
    EXPECT_EQ(buffer_peek(b.get()), -1);
    EXPECT_EQ(buffer_last(b.get()), -1);
}

TEST(BufferRead, HighBytesReadAsNegative) {
    auto b = holding("\x80\xfe");
    EXPECT_EQ(buffer_peek(b.get()), -128);
    EXPECT_EQ(buffer_last(b.get()), -2);
}

TEST(BufferRead, PeekAtAndPokeAtStayWithinTheUnreadBytes) {
    auto b = holding("abcd");
    buffer_next(b.get());
    EXPECT_EQ(buffer_peek_at(b.get(), 0), 'b');
    EXPECT_EQ(buffer_peek_at(b.get(), 2), 'd');
    EXPECT_EQ(buffer_peek_at(b.get(), 3), -1);
    EXPECT_EQ(buffer_peek_at(b.get(), UINT32_MAX), -1);
    buffer_poke_at(b.get(), 1, 'X');
    buffer_poke_at(b.get(), 3, 'Y');
    buffer_poke_at(b.get(), UINT32_MAX, 'Z');
    EXPECT_EQ(buffer_string(b.get()), "bXd");
    EXPECT_EQ(b->length, 4u);
}

TEST(BufferRead, PopLastShrinksOnlyWhenSomethingRemains) {
    auto b = holding("ab");
    buffer_next(b.get());
    EXPECT_EQ(buffer_pop_last(b.get()), 'b');
    EXPECT_EQ(b->length, 1u);
    EXPECT_EQ(buffer_pop_last(b.get()), -1) << "the read byte 'a' is no longer remaining";
    EXPECT_EQ(b->length, 1u);
}

TEST(BufferRead, SkipPastTheEndEmptiesTheBuffer) {
    auto b = holding("abcdef");
    buffer_skip(b.get(), 2);
    EXPECT_EQ(buffer_peek(b.get()), 'c');
    buffer_skip(b.get(), 4);
    EXPECT_EQ(b->read_pos, 6u);
    EXPECT_EQ(b->length, 6u) << "skipping exactly what remains is not past the end";
    buffer_skip(b.get(), 1);
    EXPECT_EQ(b->read_pos, 0u);
    EXPECT_EQ(b->length, 0u);
    auto c = holding("abc");
    buffer_skip(c.get(), UINT32_MAX);
    EXPECT_EQ(c->length, 0u);
}

TEST(BufferRead, Matches) {
    auto b = holding("RD-0");
    EXPECT_FALSE(buffer_matches(b.get(), "RD-04"));
    auto c = holding("RD-04 v2.1");
    EXPECT_TRUE(buffer_matches(c.get(), "RD-04"));
    EXPECT_EQ(c->read_pos, 0u);
    EXPECT_FALSE(buffer_matches(c.get(), "rd-04"));
    EXPECT_TRUE(buffer_matches(c.get(), ""));
    buffer_skip(c.get(), 6);
    EXPECT_TRUE(buffer_matches(c.get(), "v2"));
    EXPECT_FALSE(buffer_matches(c.get(), "RD"));
    auto empty = make_buffer(0);
    EXPECT_TRUE(buffer_matches(empty.get(), ""));
    EXPECT_FALSE(buffer_matches(empty.get(), "x"));
}

// ---- Texts ---------------------------------------------------------------------------------

TEST(BufferText, TextStartsAtTheReadPosition) {
    auto b = holding("abcdef");
    buffer_next(b.get());
    buffer_next(b.get());
    EXPECT_STREQ(buffer_text(b.get()), "cdef");
    EXPECT_EQ(b->read_pos, 2u);
    EXPECT_EQ(b->length, 6u);
}

TEST(BufferText, TextOfAFullBufferIsTerminated) {
    auto b = holding("abc", 3);
    EXPECT_STREQ(buffer_text(b.get()), "abc");
}

TEST(BufferText, TextAfterPopLastIsCut) {
    auto b = holding("abc");
    buffer_pop_last(b.get());
    EXPECT_STREQ(buffer_text(b.get()), "ab");
}

TEST(BufferText, AdoptTextTakesWhatAnOutsideWriterPut) {
    auto b = holding("xy", 10);
    buffer_next(b.get());
    // An outside writer fills from the read position, with at most buffer_room bytes.
    ASSERT_EQ(buffer_room(b.get()), 9u);
    std::strcpy(buffer_text(b.get()), "hello");
    buffer_adopt_text(b.get());
    EXPECT_EQ(b->length, 6u);
    EXPECT_EQ(buffer_string(b.get()), "hello");
}

TEST(BufferText, AdoptTextIsCappedAtTheCapacity) {
    auto b = make_buffer(4);
    // A writer that fills the whole room without a terminator inside the capacity.
    std::memcpy(b->storage, "abcdZ", 5);
    buffer_adopt_text(b.get());
    EXPECT_EQ(b->length, 4u);
    EXPECT_EQ(buffer_string(b.get()), "abcd");
    b->storage[2] = 0;
    buffer_adopt_text(b.get());
    EXPECT_EQ(b->length, 2u);
}

TEST(BufferText, CopyOut) {
    auto b = holding("abcdef");
    char dst[8];
    std::memset(dst, '#', sizeof dst);
    buffer_copy_out(dst, b.get(), 4);
    EXPECT_STREQ(dst, "abc");
    EXPECT_EQ(dst[4], '#');
    buffer_copy_out(dst, b.get(), 8);
    EXPECT_STREQ(dst, "abcdef");
    buffer_next(b.get());
    buffer_copy_out(dst, b.get(), 1);
    EXPECT_STREQ(dst, "");
    EXPECT_EQ(buffer_remaining(b.get()), 5u);
    // A zero size is outside the contract; it must still not write.
    dst[0] = '#';
    buffer_copy_out(dst, b.get(), 0);
    EXPECT_EQ(dst[0], '#');
}

TEST(BufferText, TextLength) {
    EXPECT_EQ(text_length(""), 0u);
    EXPECT_EQ(text_length("abc"), 3u);
    EXPECT_EQ(text_length("ab\0cd"), 2u);
}

TEST(BufferText, ConveniencesKeepTheDropRule) {
    auto b = make_buffer(3);
    buffer_append_bytes(b.get(), std::string_view());
    buffer_append_bytes(b.get(), "abcdef");
    EXPECT_EQ(buffer_view(b.get()), "abc");
    buffer_append_bytes(b.get(), "x");
    EXPECT_EQ(buffer_string(b.get()), "abc");
}
