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

// 1 when [a_start, a_end) and [b_start, b_end) share a byte.
static int ranges_meet(uint64_t a_start, uint64_t a_end, uint64_t b_start, uint64_t b_end) {
    return a_start < b_end && b_start < a_end;
}

int check_tables_apart(const PackageHeader* header) {
    if (header->entry_count == 0) return 1;
    const uint64_t rows_start = header->data_table_offset;
    const uint64_t rows_end = directory_size(header);
    if (ranges_meet(rows_start, rows_end, ENTRY_COUNT_OFFSET, NAME_TABLE_OFFSET_OFFSET + 4) ||
        ranges_meet(rows_start, rows_end, DATA_TABLE_OFFSET_OFFSET, DATA_TABLE_OFFSET_OFFSET + 4))
        return 0;
    // The name bytes lie from the first row's start to the end of the last
    // row's name, with 8 bytes between one name and the next. The data table
    // holds at least 8 bytes per row: one that fits in such a gap has one row,
    // and then the name table has one row too, and no gap. So the data table
    // meets a name exactly when it meets that span.
    const uint64_t names_start = header->name_table_offset;
    const uint64_t names_end = names_start + uint64_t{NAME_ROW_SIZE} * (header->entry_count - 1) + NAME_SIZE;
    return !ranges_meet(rows_start, rows_end, names_start, names_end);
}

int is_empty_with_tail(const PackageHeader* header, uint64_t file_size) {
    uint64_t block_size = directory_size(header);
    return header->entry_count == 0 && file_size > (block_size > HEADER_SIZE ? block_size : HEADER_SIZE);
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
