// How a package file is laid out, and the checks that every number read from
// one passes before the tool uses it.
//
// A package starts with a 32-byte header. Of it the tool reads three
// little-endian 32-bit fields; every other byte is carried through as it is.
// The name table (24-byte rows) and the data table (8-byte rows, offset and
// size of each entry's bytes) both have `entry_count` rows. The directory
// block is the file's first `directory_size` bytes, which end with the data
// table; the group operation rewrites it whole.
#pragma once

#include <cstddef>
#include <cstdint>

#include "../util/platform.h"

constexpr uint32_t HEADER_SIZE = 32;
constexpr uint32_t ENTRY_COUNT_OFFSET = 16;
constexpr uint32_t NAME_TABLE_OFFSET_OFFSET = 20;
constexpr uint32_t DATA_TABLE_OFFSET_OFFSET = 28;
constexpr uint32_t NAME_ROW_SIZE = 24;
constexpr uint32_t DATA_ROW_SIZE = 8;
constexpr uint32_t NAME_SIZE = 16;

// Room for a folder path of up to PATH_LIMIT bytes followed by a name, so
// that a path that is too long can still be formed whole and named in a
// message.
constexpr size_t LOOSE_PATH_BUFFER = PATH_LIMIT + NAME_SIZE;

// The header fields the tool interprets.
struct PackageHeader {
    uint32_t entry_count;
    uint32_t name_table_offset;
    uint32_t data_table_offset;
};

// An entry's name as a string: up to 16 bytes, always terminated.
struct NameEntry {
    char name[NAME_SIZE + 1];
};

// Where an entry's bytes lie in the package.
struct DataEntry {
    uint32_t offset;
    uint32_t size;
};

// The directory block held in memory by the group operation.
struct DirectoryBlock {
    unsigned char* bytes;
    uint32_t size;
};

// Reads the interpreted fields from the header's 32 bytes.
void read_package_header(const unsigned char* header_bytes, PackageHeader* header);

// data_table_offset + 8 * entry_count, in 64-bit arithmetic so that a hostile
// header cannot wrap it around.
uint64_t directory_size(const PackageHeader* header);

// 1 when a file of `file_size` bytes with this header is sound to walk: the
// header is whole, the directory block fits in 32 bits and in the file, and
// the name table lies inside the directory block (not checked when there
// are no entries: no name row is read then). Every table access of the
// tool relies on this check alone.
int check_package_layout(const PackageHeader* header, uint64_t file_size);

// 1 when the data table overlaps neither an interpreted header field (bytes
// 16-23 and 28-31) nor the 16 name bytes of any name row. A writer edits
// data rows in place, so where they overlap, a moved row would change the
// header or another entry's name; readers never write and need not care.
// Assumes a header that passed check_package_layout.
int check_tables_apart(const PackageHeader* header);

// 1 for a package without entries whose file holds bytes past its
// directory block (past the header, where the block is shorter): it is
// hardly a package (an archive or a file of zeros reads as one), and
// compacting it would cut those bytes off.
int is_empty_with_tail(const PackageHeader* header, uint64_t file_size);

// 1 when the entry's bytes lie wholly inside a file of `file_size` bytes.
// An entry of size 0 needs no bytes of the file, so it always lies inside,
// whatever its offset; nothing may be read at that offset.
int entry_lies_in_file(DataEntry entry, uint64_t file_size);

// Copies row `index` of the name table into `name`, terminated.
void read_entry_name(const unsigned char* name_table, uint32_t index, NameEntry* name);

// Row `index` of the data table.
DataEntry read_data_entry(const unsigned char* data_table, uint32_t index);
void write_data_entry(unsigned char* data_table, uint32_t index, DataEntry entry);

enum LoosePathResult { LOOSE_PATH_OK, LOOSE_PATH_BAD_NAME, LOOSE_PATH_TOO_LONG };

// Forms the loose file's path: `folder` (ending in a separator) followed by
// the name, each backslash of the name (the format's folder separator) and
// each forward slash becoming the platform's; the name is read by the
// characters of the platform's code page (platform_next_character). `out`
// holds LOOSE_PATH_BUFFER bytes and always receives the whole path, even
// when it is refused:
// LOOSE_PATH_BAD_NAME when a piece of the name is "..", which would lead
// outside the folder, or one the system refuses (platform_name_piece_allowed:
// on Windows a device name such as CON would reach the device, not a file);
// LOOSE_PATH_TOO_LONG when the path passes PATH_LIMIT.
LoosePathResult make_loose_path(const char* folder, const NameEntry* name, char* out);
