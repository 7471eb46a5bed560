#include "expand.h"

#include "../util/console.h"
#include "package_state.h"

// Entries this large are copied by the kernel straight from the package;
// smaller ones are written from the mapping.
static const uint64_t KERNEL_COPY_THRESHOLD = 1 << 20;

// Pages of the mapping read through since they were last released; once
// this many have piled up they are handed back, so that memory does not
// grow with the package.
static const uint64_t RELEASE_THRESHOLD = 4 << 20;

int open_package_mapped() {
    PackageState& state = package_state;
    if (!open_package(PACKAGE_READ, "Can't open dir file %s\n")) return 0;
    if (state.package_size < HEADER_SIZE) return report("Bad package file %s\n", state.package_path);
    if (!platform_map(state.package_file, state.package_size, &state.mapping))
        return report("Can't open dir file %s\n", state.package_path);
    if (!take_package_header(state.mapping.view)) return 0;
    state.mapped_base = state.mapping.view;
    locate_tables(state.mapped_base);
    return 1;
}

// Writes the entry's bytes to `file`: large ones by kernel copy, small ones
// from the mapping, releasing its pages as they pile up.
static int write_entry_bytes(PlatformFile file, DataEntry entry) {
    PackageState& state = package_state;
    if (entry.size >= KERNEL_COPY_THRESHOLD)
        return platform_copy_range(state.package_file, entry.offset, file, 0, entry.size) == COPY_DONE;
    if (!platform_write_at(file, 0, state.mapped_base + entry.offset, entry.size)) return 0;
    if (entry.offset < state.touched_start) state.touched_start = entry.offset;
    if (uint64_t{entry.offset} + entry.size > state.touched_end) state.touched_end = uint64_t{entry.offset} + entry.size;
    if (state.touched_end - state.touched_start >= RELEASE_THRESHOLD) {
        platform_release_pages(&state.mapping, state.touched_start, state.touched_end - state.touched_start);
        state.touched_start = UINT64_MAX;
        state.touched_end = 0;
    }
    return 1;
}

int extract_entry(const char* path, DataEntry entry) {
    if (!entry_lies_in_file(entry, package_state.package_size)) return report("Bad entry data %s\n", path);
    PlatformFile file;
    // The exclusive create is the existence check: a file that appears in
    // between, or a link standing at the path, is never written through.
    CreateResult created = platform_create_new(path, &file);
    if (created == CREATE_EXISTS && platform_path_kind(path) == PATH_FILE) {
        report("File %s alredy exists\n", path);
        flush_console();
        platform_wait_key();
        return 1;
    }
    if (created != CREATE_DONE) return report("Can't create file %s\n", path);
    int written = write_entry_bytes(file, entry);
    if (!platform_close(file)) written = 0;
    if (!written) {
        // A truncated file must not be taken for the entry by a later group.
        platform_remove_file(path);
        return report("Can't write file %s\n", path);
    }
    report("%s\n", path);
    return 1;
}

int expand_package(const char* folder) {
    PackageState& state = package_state;
    int all_written = 1;
    for (uint32_t i = 0; i < state.header.entry_count; i++) {
        NameEntry name;
        read_entry_name(state.name_table_view, i, &name);
        char path[LOOSE_PATH_BUFFER];
        LoosePathResult formed = make_loose_path(folder, &name, path);
        if (formed != LOOSE_PATH_OK) {
            all_written = report(formed == LOOSE_PATH_BAD_NAME ? "Bad entry name %s\n" : "Path too long %s\n", path);
            continue;
        }
        make_parent_folders(path, &state.folder_walk);
        if (!extract_entry(path, read_data_entry(state.data_table_view, i))) all_written = 0;
    }
    return all_written;
}
