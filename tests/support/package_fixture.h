// Builds package files for tests, benchmarks and the demo, byte by byte.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

typedef std::vector<unsigned char> Bytes;

struct FixtureEntry {
    std::string name;  // up to 16 bytes; exactly 16 leaves no terminator
    Bytes data;
};

// A package: the header (bytes 0-15 and 24-31 hold a recognisable filler),
// the name table right after it, the data table after that, then each
// entry's bytes in order. Name rows carry filler in their last 8 bytes.
Bytes build_package(const std::vector<FixtureEntry>& entries);

uint32_t get_u32(const Bytes& bytes, size_t offset);
void put_u32(Bytes& bytes, size_t offset, uint32_t value);

struct FixtureRow {
    uint32_t offset;
    uint32_t size;
};

// Row `index` of the data table of a package built as above (or any
// package: the table is found through the header).
FixtureRow get_row(const Bytes& package, uint32_t index);
void set_row(Bytes& package, uint32_t index, FixtureRow row);

Bytes bytes_of(const std::string& text);
Bytes pattern_bytes(size_t size, unsigned seed);
