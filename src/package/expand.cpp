#include "expand.h"

#include "../util/console.h"
#include "package_state.h"

// Entries this large are copied by the kernel straight from the package;
// smaller ones are written from the mapping. Pages of the mapping read
// through since they were last released: once this many have piled up they
// are handed back, so that memory does not grow with the package. The fuzz
// build lowers both, so that its small inputs reach every path.
#ifdef VANTREL_FUZZ_THRESHOLDS
static const uint64_t KERNEL_COPY_THRESHOLD = 256;
static const uint64_t RELEASE_THRESHOLD = 8192;
#else
static const uint64_t KERNEL_COPY_THRESHOLD = 1 << 20;
static const uint64_t RELEASE_THRESHOLD = 4 << 20;
#endif

int open_package_mapped() {
    PackageState& state = package_state;
    if (!open_package(PACKAGE_READ, "Can't open dir file %s\n")) return 0;
    // The tables are read into memory, never through the mapping: when
    // another program shortens the package during the run, touching a page
    // of the mapping past its new end would stop the process (SIGBUS). The
    // mapping only hands entry bytes to the kernel, which reports such a page
    // as an error instead.
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

// Writes the entry's bytes to `file`: large ones by kernel copy, small ones
// from the mapping, releasing its pages as they pile up. COPY_READ_FAILED
// when the package's bytes could not be read, or are no longer all there.
static CopyResult write_entry_bytes(PlatformFile file, DataEntry entry) {
    PackageState& state = package_state;
    if (entry.size == 0) return COPY_DONE;
    if (entry.size >= KERNEL_COPY_THRESHOLD)
        return platform_copy_range(state.package_file, entry.offset, file, 0, entry.size);
    int written = platform_write_at(file, 0, state.mapped_base + entry.offset, entry.size);
    // Another program may have shortened the package meanwhile. The pages
    // past its new end make the write fail, but the rest of its new last
    // page reads as zeros, which the write would take for the entry: only
    // the entry's last byte, still in the file afterwards, proves that all
    // of its bytes were there.
    const uint64_t end = uint64_t{entry.offset} + entry.size;
    unsigned char last_byte;
    if (!platform_read_at(state.package_file, end - 1, &last_byte, 1)) return COPY_READ_FAILED;
    if (!written) return COPY_WRITE_FAILED;
    if (entry.offset < state.touched_start) state.touched_start = entry.offset;
    if (end > state.touched_end) state.touched_end = end;
    if (state.touched_end - state.touched_start >= RELEASE_THRESHOLD) {
        platform_release_pages(&state.mapping, state.touched_start, state.touched_end - state.touched_start);
        state.touched_start = UINT64_MAX;
        state.touched_end = 0;
    }
    return COPY_DONE;
}

// An entry whose file is there already: it is left as it is, after a key.
static ExtractResult keep_existing_file(const char* path) {
    report("File %s alredy exists\n", path);
    flush_console();
    platform_wait_key();
    return EXTRACT_DONE;
}

ExtractResult extract_entry(const char* path, DataEntry entry) {
    PackageState& state = package_state;
    // A row whose bytes pass the end of the package creates nothing, not
    // even an empty file; a file already there is still reported as such.
    if (!entry_lies_in_file(entry, state.package_size)) {
        if (platform_path_kind(path) == PATH_FILE) return keep_existing_file(path);
        report("Bad entry data %s\n", path);
        return EXTRACT_FAILED;
    }
    PlatformFile file;
    // The exclusive create is the existence check: a file that appears in
    // between, or a link standing at the path, is never written through.
    CreateResult created = platform_create_new(path, &file);
    if (created == CREATE_EXISTS && platform_path_kind(path) == PATH_FILE) return keep_existing_file(path);
    if (created != CREATE_DONE) {
        report("Can't create file %s\n", path);
        return EXTRACT_FAILED;
    }
    CopyResult written = write_entry_bytes(file, entry);
    if (!platform_close(file) && written == COPY_DONE) written = COPY_WRITE_FAILED;
    if (written == COPY_DONE) {
        report("%s\n", path);
        return EXTRACT_DONE;
    }
    // A truncated file must not be taken for the entry by a later group.
    platform_remove_file(path);
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
        ExtractResult extracted = extract_entry(path, read_data_entry(state.data_table_view, i));
        if (extracted != EXTRACT_DONE) all_written = 0;
        // The package's bytes cannot be read (an I/O error, or another
        // program shortened it): every later entry is in doubt.
        if (extracted == EXTRACT_PACKAGE_FAILED) break;
    }
    release_directory_block();
    return all_written;
}
