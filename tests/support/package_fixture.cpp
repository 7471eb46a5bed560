#include "package_fixture.h"

#include <cstring>

uint32_t get_u32(const Bytes& bytes, size_t offset) {
    return uint32_t{bytes.at(offset)} | uint32_t{bytes.at(offset + 1)} << 8 | uint32_t{bytes.at(offset + 2)} << 16 |
           uint32_t{bytes.at(offset + 3)} << 24;
}

void put_u32(Bytes& bytes, size_t offset, uint32_t value) {
    for (int i = 0; i < 4; i++) bytes.at(offset + i) = static_cast<unsigned char>(value >> (8 * i));
}

Bytes build_package(const std::vector<FixtureEntry>& entries) {
    const uint32_t count = static_cast<uint32_t>(entries.size());
    const uint32_t name_table = 32;
    const uint32_t data_table = name_table + 24 * count;
    Bytes package(data_table + 8 * count);
    for (size_t i = 0; i < 16; i++) package[i] = static_cast<unsigned char>(0xA0 + i);
    for (size_t i = 24; i < 28; i++) package[i] = static_cast<unsigned char>(0xB0 + i);
    put_u32(package, 16, count);
    put_u32(package, 20, name_table);
    put_u32(package, 28, data_table);
    for (uint32_t i = 0; i < count; i++) {
        const std::string& name = entries[i].name;
        memcpy(&package[name_table + 24 * i], name.data(), name.size() < 16 ? name.size() : 16);
        for (size_t j = 16; j < 24; j++) package[name_table + 24 * i + j] = static_cast<unsigned char>(0xC0 + j + i);
        put_u32(package, data_table + 8 * i, static_cast<uint32_t>(package.size()));
        put_u32(package, data_table + 8 * i + 4, static_cast<uint32_t>(entries[i].data.size()));
        package.insert(package.end(), entries[i].data.begin(), entries[i].data.end());
    }
    return package;
}

FixtureRow get_row(const Bytes& package, uint32_t index) {
    size_t row = get_u32(package, 28) + size_t{8} * index;
    return FixtureRow{get_u32(package, row), get_u32(package, row + 4)};
}

void set_row(Bytes& package, uint32_t index, FixtureRow row) {
    size_t at = get_u32(package, 28) + size_t{8} * index;
    put_u32(package, at, row.offset);
    put_u32(package, at + 4, row.size);
}

Bytes bytes_of(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Bytes pattern_bytes(size_t size, unsigned seed) {
    Bytes bytes(size);
    uint32_t state = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; i++) {
        state = state * 1664525u + 1013904223u;
        bytes[i] = static_cast<unsigned char>(state >> 24);
    }
    return bytes;
}
