#include "byte_routines.h"

uint32_t swap_bytes_32(uint32_t value) {
    return value >> 24 | (value >> 8 & 0xff00u) | (value << 8 & 0xff0000u) | value << 24;
}

uint16_t swap_bytes_16(uint16_t value) {
    return static_cast<uint16_t>(value >> 8 | value << 8);
}

uint32_t find_bytes(const unsigned char* data, uint32_t data_length, const unsigned char* pattern,
                    uint32_t pattern_length) {
    if (pattern_length == 0) return 0;
    if (pattern_length > data_length) return BYTES_NOT_FOUND;
    // Each attempt starts one byte after the last, up to the last start at
    // which the whole pattern still fits, so every read lies inside `data`.
    uint32_t last_start = data_length - pattern_length;
    for (uint32_t start = 0;; start++) {
        uint32_t matched = 0;
        while (matched < pattern_length && data[start + matched] == pattern[matched]) matched++;
        if (matched == pattern_length) return start;
        if (start == last_start) return BYTES_NOT_FOUND;
    }
}
