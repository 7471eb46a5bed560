#include "package_layout.h"

#include <cstring>

#include "../util/byte_order.h"

void read_package_header(const unsigned char* header_bytes, PackageHeader* header) {
    header->entry_count = load_u32_le(header_bytes + ENTRY_COUNT_OFFSET);
    header->name_table_offset = load_u32_le(header_bytes + NAME_TABLE_OFFSET_OFFSET);
    header->data_table_offset = load_u32_le(header_bytes + DATA_TABLE_OFFSET_OFFSET);
}

uint64_t directory_size(const PackageHeader* header) {
    return uint64_t{header->data_table_offset} + uint64_t{DATA_ROW_SIZE} * header->entry_count;
}

int check_package_layout(const PackageHeader* header, uint64_t file_size) {
    uint64_t block_size = directory_size(header);
    uint64_t name_table_end = uint64_t{header->name_table_offset} + uint64_t{NAME_ROW_SIZE} * header->entry_count;
    // A package without entries reads no name row, wherever its name
    // table is said to lie.
    return file_size >= HEADER_SIZE && block_size <= UINT32_MAX && block_size <= file_size &&
           (header->entry_count == 0 || name_table_end <= block_size);
}

int entry_lies_in_file(DataEntry entry, uint64_t file_size) {
    return entry.size == 0 || uint64_t{entry.offset} + entry.size <= file_size;
}

void read_entry_name(const unsigned char* name_table, uint32_t index, NameEntry* name) {
    memcpy(name->name, name_table + uint64_t{NAME_ROW_SIZE} * index, NAME_SIZE);
    name->name[NAME_SIZE] = '\0';
}

DataEntry read_data_entry(const unsigned char* data_table, uint32_t index) {
    const unsigned char* row = data_table + uint64_t{DATA_ROW_SIZE} * index;
    return DataEntry{load_u32_le(row), load_u32_le(row + 4)};
}

void write_data_entry(unsigned char* data_table, uint32_t index, DataEntry entry) {
    unsigned char* row = data_table + uint64_t{DATA_ROW_SIZE} * index;
    store_u32_le(row, entry.offset);
    store_u32_le(row + 4, entry.size);
}

static int is_name_separator(char c) {
    return c == '\\' || c == '/';
}

LoosePathResult make_loose_path(const char* folder, const NameEntry* name, char* out) {
    size_t folder_length = strnlen(folder, PATH_LIMIT);
    memcpy(out, folder, folder_length);
    char* end = out + folder_length;
    int bad_piece = 0;
    const char* piece_start = name->name;
    for (const char* c = name->name;;) {
        // A piece ends at a separator or at the end of the name.
        if (*c == '\0' || is_name_separator(*c)) {
            size_t piece_length = static_cast<size_t>(c - piece_start);
            if (piece_length == 2 && piece_start[0] == '.' && piece_start[1] == '.') bad_piece = 1;
            if (!platform_name_piece_allowed(piece_start, piece_length, *c != '\0')) bad_piece = 1;
            piece_start = c + 1;
        }
        if (*c == '\0') break;
        // Both separators lead to a sub-folder, on every system.
        *end++ = is_name_separator(*c) ? PATH_SEPARATOR : *c;
        // A byte of 0x80 or more may start a double-byte character, whose
        // second byte is no separator even when it is 0x5C.
        const char* next = static_cast<unsigned char>(*c) < 0x80 ? c + 1 : platform_next_character(c);
        while (++c < next) *end++ = *c;
    }
    *end = '\0';
    if (bad_piece) return LOOSE_PATH_BAD_NAME;
    return static_cast<size_t>(end - out) < PATH_LIMIT ? LOOSE_PATH_OK : LOOSE_PATH_TOO_LONG;
}
