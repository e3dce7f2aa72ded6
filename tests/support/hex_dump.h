// Byte-for-byte comparison of wire traffic with a readable dump on mismatch.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

inline std::string hex_dump(const std::string& bytes) {
    std::string out;
    char cell[8];
    for (size_t i = 0; i < bytes.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        std::snprintf(cell, sizeof cell, "%02x", c);
        out += cell;
        out += (c >= 32 && c < 127) ? std::string("'") + char(c) + "' " : std::string("    ");
        if (i % 16 == 15) {
            out += "\n";
        }
    }
    return out;
}

inline ::testing::AssertionResult same_bytes(const std::string& expected,
                                             const std::string& actual) {
    if (expected == actual) {
        return ::testing::AssertionSuccess();
    }
    size_t at = 0;
    while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) {
        ++at;
    }
    return ::testing::AssertionFailure()
           << "wire bytes differ at offset " << at << "\nexpected (" << expected.size()
           << " bytes):\n"
           << hex_dump(expected) << "\nactual (" << actual.size() << " bytes):\n"
           << hex_dump(actual);
}
