// Byte-order swaps and a byte-pattern search. They stand beside the package
// operations, which do not call them (the package format's own integers are
// read with byte_order.h). Nothing here allocates or keeps a pointer.
#pragma once

#include <cstdint>

// find_bytes's result when the pattern does not occur: -1 as unsigned
// 32-bit, all bits set. No real match can start there.
constexpr uint32_t BYTES_NOT_FOUND = UINT32_MAX;

// `value` with its four bytes in reverse order: 0x01020304 gives 0x04030201.
uint32_t swap_bytes_32(uint32_t value);

// `value` with its two bytes exchanged: 0x0102 gives 0x0201.
uint16_t swap_bytes_16(uint16_t value);

// The index of the first occurrence of the `pattern_length` bytes at
// `pattern` within the `data_length` bytes at `data`, by a plain
// left-to-right scan; BYTES_NOT_FOUND when there is none, the pattern being
// longer than the data included. An occurrence that ends at the last byte is
// found. An empty pattern gives 0, as the standard searches do. Reads
// nothing outside either buffer (a pointer may be null when its length is 0).
uint32_t find_bytes(const unsigned char* data, uint32_t data_length, const unsigned char* pattern,
                    uint32_t pattern_length);
