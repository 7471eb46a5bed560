#include "package_state.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "../util/console.h"

PackageState package_state;

void reset_package_state() {
    PackageState& state = package_state;
    state.package_path[0] = '\0';
    state.folder_path[0] = '\0';
    state.package_file = NO_FILE;
    state.package_size = 0;
    state.header = PackageHeader{0, 0, 0};
    state.directory = DirectoryBlock{nullptr, 0};
    state.mapping = PlatformMapping{nullptr, 0, 0};
    state.header_view = nullptr;
    state.name_table_view = nullptr;
    state.data_table_view = nullptr;
    state.mapped_base = nullptr;
    state.append_offset = 0;
    state.append_block_size = 0;
    state.changed_only = 0;
    state.appended_count = 0;
    state.skipped_count = 0;
    state.repeated_names_noted = 0;
    state.name_verdicts.clear();
    forget_entry_bytes();
    state.last_entry_end = 0;
    state.entry_blocks_short = 0;
    state.folder_walk = FolderWalk{};
    state.loose_lookup = LooseLookup{};
    state.loose_owners.clear();
    state.creating_folder = NO_FILE;
}

void locate_tables(const unsigned char* start) {
    package_state.header_view = start;
    // An empty package's name-table offset is not checked (no row is read
    // through it), so no pointer is formed from it.
    const PackageHeader& header = package_state.header;
    package_state.name_table_view = header.entry_count == 0 ? start : start + header.name_table_offset;
    package_state.data_table_view = start + header.data_table_offset;
}

int take_package_header(const unsigned char* header_bytes) {
    read_package_header(header_bytes, &package_state.header);
    if (!check_package_layout(&package_state.header, package_state.package_size))
        return report("Bad package file %s\n", package_state.package_path);
    return 1;
}

int open_package(PackageAccess access, const char* failure_format) {
    PackageState& state = package_state;
    OpenResult opened = platform_open_package(state.package_path, access, &state.package_file, &state.package_size);
    if (opened == OPEN_DONE) return 1;
    state.package_file = NO_FILE;
    return report(opened == OPEN_IN_USE ? "Data file %s is in use\n" : failure_format, state.package_path);
}

int read_directory_block() {
    PackageState& state = package_state;
    unsigned char header_bytes[HEADER_SIZE];
    if (state.package_size < HEADER_SIZE) return report("Bad package file %s\n", state.package_path);
    if (!platform_read_at(state.package_file, 0, header_bytes, HEADER_SIZE))
        return report("Can't read file %s\n", state.package_path);
    if (!take_package_header(header_bytes)) return 0;

    uint32_t size = static_cast<uint32_t>(directory_size(&state.header));
    state.directory.bytes = static_cast<unsigned char*>(malloc(size ? size : 1));
    if (!state.directory.bytes) return report("Out of memory for %s\n", state.package_path);
    state.directory.size = size;
    if (!platform_read_at(state.package_file, 0, state.directory.bytes, size))
        return report("Can't read file %s\n", state.package_path);
    locate_tables(state.directory.bytes);
    return 1;
}

int check_package_writable() {
    if (!check_tables_apart(&package_state.header)) return report("Bad package file %s\n", package_state.package_path);
    return 1;
}

void release_directory_block() {
    PackageState& state = package_state;
    free(state.directory.bytes);
    state.directory = DirectoryBlock{nullptr, 0};
    state.header_view = nullptr;
    state.name_table_view = nullptr;
    state.data_table_view = nullptr;
}

int close_package() {
    PackageState& state = package_state;
    int closed = state.package_file == NO_FILE || platform_close(state.package_file);
    state.package_file = NO_FILE;
    release_directory_block();
    return closed;
}

// The gap between neighbouring entries that alignment to a sector leaves.
static const uint64_t NEIGHBOUR_GAP = 2048;

int read_entry_bytes(DataEntry entry, const unsigned char** bytes) {
    PackageState& state = package_state;
    const uint64_t start = entry.offset, end = start + entry.size;
    if (start < state.entry_block_start || end > state.entry_block_start + state.entry_block_size) {
        const int neighbour = start >= state.last_entry_end && start - state.last_entry_end <= NEIGHBOUR_GAP &&
                              state.last_entry_end > 0 && !state.entry_blocks_short;
        uint64_t wanted = neighbour && entry.size < ENTRY_BLOCK_SIZE ? ENTRY_BLOCK_SIZE : entry.size;
        if (wanted > state.package_size - start) wanted = state.package_size - start;
        // Left unfilled: only the pages that reads fill count against memory.
        const uint64_t capacity = ENTRY_BLOCK_LIMIT > ENTRY_BLOCK_SIZE ? ENTRY_BLOCK_LIMIT : ENTRY_BLOCK_SIZE;
        if (!state.entry_block) state.entry_block.reset(new (std::nothrow) unsigned char[capacity]);
        if (!state.entry_block) return 0;
        forget_entry_bytes();
        // The block ends where the package ended when it was opened, so a
        // short read means it is shorter now, or an I/O error. The entries
        // whose bytes are all still there can still be read, each alone,
        // and are from then on.
        int read = platform_read_at(state.package_file, start, state.entry_block.get(), static_cast<size_t>(wanted));
        if (!read && wanted > entry.size) {
            state.entry_blocks_short = 1;
            wanted = entry.size;
            read = platform_read_at(state.package_file, start, state.entry_block.get(), static_cast<size_t>(wanted));
        }
        if (!read) return 0;
        state.entry_block_start = start;
        state.entry_block_size = wanted;
    }
    state.last_entry_end = end;
    *bytes = state.entry_block.get() + (start - state.entry_block_start);
    return 1;
}

void forget_entry_bytes() {
    package_state.entry_block_start = 0;
    package_state.entry_block_size = 0;
}
