// Byte-order swaps and the byte-pattern search.
#include <gtest/gtest.h>

#include <string>

#include "util/byte_routines.h"

TEST(SwapBytes, ReverseTheByteOrder) {
    EXPECT_EQ(swap_bytes_32(0x01020304u), 0x04030201u);
    EXPECT_EQ(swap_bytes_32(0xff000080u), 0x800000ffu);
    EXPECT_EQ(swap_bytes_16(0x0102), 0x0201);
    EXPECT_EQ(swap_bytes_16(0xff00), 0x00ff);
}

TEST(FindBytes, FirstOccurrenceOrNotFound) {
    struct Case {
        std::string data, pattern;
        uint32_t expected;
    } cases[] = {
        {"xy", "xy", 0},
        {"xxy", "xy", 1},  // after a partial match the next attempt starts one byte on
        {"yx", "xy", BYTES_NOT_FOUND},
        {"abcabd", "abd", 3},  // ends at the last byte
        {"aaab", "aab", 1},
        {"abab", "ab", 0},
        {"ab", "", 0},
        {"", "", 0},
        {"ab", "abc", BYTES_NOT_FOUND},
        {"", "a", BYTES_NOT_FOUND},
    };
    for (const Case& c : cases) {
        // Exact-size heap copies, so that a read past either end shows under
        // a sanitizer or a memory checker.
        unsigned char* data = new unsigned char[c.data.size()];
        unsigned char* pattern = new unsigned char[c.pattern.size()];
        std::copy(c.data.begin(), c.data.end(), data);
        std::copy(c.pattern.begin(), c.pattern.end(), pattern);
        EXPECT_EQ(
            find_bytes(data, static_cast<uint32_t>(c.data.size()), pattern, static_cast<uint32_t>(c.pattern.size())),
            c.expected)
            << '"' << c.pattern << "\" in \"" << c.data << '"';
        delete[] data;
        delete[] pattern;
    }
    EXPECT_EQ(find_bytes(nullptr, 0, nullptr, 0), 0u);
}
