#include "expand.h"

#include <cstring>
#include <string>

#include "../util/console.h"
#include "loose_sharing.h"
#include "package_state.h"

// Entries this large are copied by the kernel straight from the package;
// smaller ones are read into memory, many at a time, and written from
// there.
static const uint64_t KERNEL_COPY_THRESHOLD = ENTRY_BLOCK_LIMIT;

int open_package_mapped() {
    PackageState& state = package_state;
    if (!open_package(PACKAGE_READ, "Can't open dir file %s\n")) return 0;
    // The tables and the entries' bytes are read, never taken through the
    // mapping: when another program shortens the package during the run,
    // touching a page of the mapping past its new end would stop the
    // process (SIGBUS), while a read reports it. The mapping stays for the
    // run all the same: on Windows a mapped file cannot be shortened at all.
    if (!read_directory_block()) {
        release_directory_block();
        return 0;
    }
    if (!platform_map(state.package_file, state.package_size, &state.mapping)) {
        release_directory_block();
        return report("Can't open dir file %s\n", state.package_path);
    }
    state.mapped_base = state.mapping.view;
    return 1;
}

// Large entries go by kernel copy, small ones from a block of the package
// read for them and their neighbours.
static CopyResult write_entry_bytes(PlatformFile file, DataEntry entry) {
    PackageState& state = package_state;
    if (entry.size == 0) return COPY_DONE;
    if (entry.size >= KERNEL_COPY_THRESHOLD)
        return platform_copy_range(state.package_file, entry.offset, file, 0, entry.size);
    const unsigned char* bytes;
    if (!read_entry_bytes(entry, &bytes)) return COPY_READ_FAILED;
    return platform_write_at(file, 0, bytes, entry.size) ? COPY_DONE : COPY_WRITE_FAILED;
}

CopyResult fill_entry_file(PlatformFile file, DataEntry entry) {
    CopyResult written = write_entry_bytes(file, entry);
    if (!platform_close(file) && written == COPY_DONE) written = COPY_WRITE_FAILED;
    return written;
}

static int taken_by_earlier_entry(const char* path, uint32_t index, const char* loose_folder);

// An entry whose file is there already: it is left as it is, after a key;
// unless it is an earlier entry's file under another name.
static ExtractResult keep_existing_file(const char* path, uint32_t index, const char* loose_folder) {
    if (taken_by_earlier_entry(path, index, loose_folder)) {
        report("Bad entry name %s\n", path);
        return EXTRACT_FAILED;
    }
    report("File %s alredy exists\n", path);
    flush_console();
    platform_wait_key();
    // Another program may have changed the package during the wait, and
    // the folders the run made or found may be gone.
    forget_entry_bytes();
    package_state.folder_walk.known_folders.clear();
    return EXTRACT_DONE;
}

// Where the system leads names that differ to one file, whether the file
// standing at `path` is an earlier entry's under another name: writing this
// entry there is impossible, and keeping it would give this entry that
// entry's bytes at the next group. Otherwise notes it as entry `index`'s.
static int taken_by_earlier_entry(const char* path, uint32_t index, const char* loose_folder) {
    if (!platform_names_fold()) return 0;
    PlatformFile existing;
    uint64_t size;
    if (platform_open_read(path, &existing, &size) != OPEN_DONE) return 0;
    const int shared = loose_file_shared(existing, index, loose_folder, path);
    platform_close(existing);
    return shared;
}

ExtractResult extract_entry(const char* path, uint32_t index, const char* loose_folder, DataEntry entry) {
    PackageState& state = package_state;
    // A row whose bytes pass the end of the package creates nothing, not
    // even an empty file; a file already there is still reported as such.
    if (!entry_lies_in_file(entry, state.package_size)) {
        if (platform_path_kind(path) == PATH_FILE) return keep_existing_file(path, index, loose_folder);
        report("Bad entry data %s\n", path);
        return EXTRACT_FAILED;
    }
    PlatformFile file;
    // The exclusive create is the existence check: a file that appears in
    // between, or a link standing at the path, is never written through.
    CreateResult created = create_loose_file(path, &file);
    if (created == CREATE_EXISTS && platform_path_kind(path) == PATH_FILE)
        return keep_existing_file(path, index, loose_folder);
    if (created != CREATE_DONE) {
        report("Can't create file %s\n", path);
        return EXTRACT_FAILED;
    }
    // Noted as this entry's, so that a later entry whose name leads here too
    // is refused.
    loose_file_shared(file, index, loose_folder, path);
    CopyResult written = fill_entry_file(file, entry);
    if (written == COPY_DONE) {
        platform_interrupt_cleanup(NO_FILE, 0, nullptr);
        report("%s\n", path);
        return EXTRACT_DONE;
    }
    // A truncated file must not be taken for the entry by a later group.
    remove_loose_file(path);
    platform_interrupt_cleanup(NO_FILE, 0, nullptr);
    if (written == COPY_WRITE_FAILED) {
        report("Can't write file %s\n", path);
        return EXTRACT_FAILED;
    }
    report("Can't read file %s\n", state.package_path);
    return EXTRACT_PACKAGE_FAILED;
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
        ExtractResult extracted = extract_entry(path, i, folder, read_data_entry(state.data_table_view, i));
        if (extracted != EXTRACT_DONE) all_written = 0;
        // The package's bytes cannot be read (an I/O error, or another
        // program shortened it): every later entry is in doubt.
        if (extracted == EXTRACT_PACKAGE_FAILED) break;
    }
    release_creating_folder();
    release_directory_block();
    return all_written;
}
