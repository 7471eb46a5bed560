#include "group.h"

#include <cstdint>
#include <cstdlib>
#include <new>

#include "../util/console.h"
#include "loose_compare.h"
#include "loose_files.h"
#include "package_state.h"

// Positions in the package are signed 32-bit values in the format's world,
// so no appended copy may end past this.
static const uint64_t PACKAGE_SIZE_LIMIT = INT32_MAX;

// Passes over an entry after `format` (one "%s", its path): its row keeps
// its bytes and the run goes on, to fail once the package is written.
static int skip_entry(const char* format, const char* path) {
    package_state.skipped_count++;
    report(format, path);
    return 1;
}

// Loose files up to APPEND_GATHER_LIMIT bytes are read into one block and
// written to the package together, APPEND_BLOCK_SIZE bytes at a time: on
// ext4 each write to the package, however small, costs the file system its
// bookkeeping of the file's new length, and a copy per 8 KiB file cost
// more than reading it.
static const uint64_t APPEND_GATHER_LIMIT = 64 << 10;
static const uint64_t APPEND_BLOCK_SIZE = 256 << 10;

// Writes the gathered loose files to the package; 0 when the write fails.
static int write_gathered_files() {
    PackageState& state = package_state;
    if (state.append_block_size == 0) return 1;
    const uint64_t start = state.append_offset - state.append_block_size;
    const size_t size = static_cast<size_t>(state.append_block_size);
    state.append_block_size = 0;
    return platform_write_at(state.package_file, start, state.append_block.get(), size);
}

// Appends the open loose file's `size` bytes to the package: gathered with
// its neighbours when it is small, copied straight across otherwise.
static CopyResult append_bytes(PlatformFile loose, uint64_t size) {
    PackageState& state = package_state;
    if (size <= APPEND_GATHER_LIMIT) {
        if (!state.append_block) state.append_block.reset(new (std::nothrow) unsigned char[APPEND_BLOCK_SIZE]);
        if (state.append_block) {
            if (state.append_block_size + size > APPEND_BLOCK_SIZE && !write_gathered_files())
                return COPY_WRITE_FAILED;
            if (!platform_read_at(loose, 0, state.append_block.get() + state.append_block_size,
                                  static_cast<size_t>(size)))
                return COPY_READ_FAILED;
            state.append_block_size += size;
            return COPY_DONE;
        }
    }
    if (!write_gathered_files()) return COPY_WRITE_FAILED;
    return platform_copy_range(loose, 0, state.package_file, state.append_offset, size);
}

int append_loose_file(char* path, uint32_t index) {
    PackageState& state = package_state;
    unsigned char* data_row = state.directory.bytes + state.header.data_table_offset + uint64_t{DATA_ROW_SIZE} * index;
    PlatformFile loose;
    uint64_t loose_size;
    LooseResult found = open_loose_file(path, index, &loose, &loose_size);
    if (found == LOOSE_MISSING) return 1;
    // An edit that cannot be read must not be passed over as if there were none.
    if (found == LOOSE_UNREADABLE) return report("Can't read file %s\n", path);
    // No file can be told to be the entry's: the row keeps its bytes, and
    // the run goes on, to fail at its end.
    if (found == LOOSE_AMBIGUOUS) return skip_entry("Ambiguous loose file %s\n", path);
    // Another entry's file: appending it here would give this entry that
    // entry's bytes.
    if (found == LOOSE_SHARED) return skip_entry("Bad entry name %s\n", path);
    // Appended into itself, the package would double at every run.
    if (found == LOOSE_PACKAGE) return skip_entry("File %s is the data file\n", path);

    if (state.changed_only) {
        CompareResult compared = compare_by_name(index, loose, loose_size, read_data_entry(data_row, 0));
        if (compared != COMPARE_DIFFERENT) platform_close(loose);
        if (compared == COMPARE_SAME) return 1;
        if (compared == COMPARE_LOOSE_FAILED) return report("Can't read file %s\n", path);
        if (compared == COMPARE_PACKAGE_FAILED) return report("Can't read file %s\n", state.package_path);
    }
    if (state.append_offset + loose_size > PACKAGE_SIZE_LIMIT) {
        platform_close(loose);
        return report("File too large for package %s\n", path);
    }
    CopyResult copied = append_bytes(loose, loose_size);
    platform_close(loose);
    if (copied == COPY_READ_FAILED) return report("Can't read file %s\n", path);
    if (copied == COPY_WRITE_FAILED) return report("Can't write data file %s\n", state.package_path);

    write_data_entry(data_row, 0,
                     DataEntry{static_cast<uint32_t>(state.append_offset), static_cast<uint32_t>(loose_size)});
    report("%s\n", path);
    state.append_offset += loose_size;
    state.appended_count++;
    return 1;
}

// Appends the loose file of every entry, in table order. 0 when an append
// failed and the run must stop.
static int append_all_entries() {
    PackageState& state = package_state;
    for (uint32_t i = 0; i < state.header.entry_count; i++) {
        NameEntry name;
        read_entry_name(state.name_table_view, i, &name);
        char path[LOOSE_PATH_BUFFER];
        LoosePathResult formed = make_loose_path(state.folder_path, &name, path);
        if (formed == LOOSE_PATH_BAD_NAME) {
            skip_entry("Bad entry name %s\n", path);
            continue;
        }
        if (formed == LOOSE_PATH_TOO_LONG) {
            skip_entry("Path too long %s\n", path);
            continue;
        }
        if (!append_loose_file(path, i)) return 0;
    }
    return 1;
}

// The appended copies are made durable before the directory block that
// points at them is written, and the block after it: a power loss at any
// moment leaves the old block or the new one, each pointing only at bytes
// that are on disk. The bytes and the length are what must last; the time
// stamps may lag (fdatasync). A failed sync is never retried: the kernel may
// have dropped the pages it could not write and would report the next one
// clean.
static int sync_package() {
    if (!platform_sync_data(package_state.package_file))
        return report("Can't write data file %s\n", package_state.package_path);
    return 1;
}

static int write_directory_block() {
    PackageState& state = package_state;
    if (!platform_write_at(state.package_file, 0, state.directory.bytes, state.directory.size))
        return report("Can't write data file %s\n", state.package_path);
    return sync_package();
}

static int group_loose_files(int changed_only) {
    PackageState& state = package_state;
    if (!open_package(PACKAGE_UPDATE, "Can't create data file %s\n")) return 0;
    state.append_offset = state.package_size;
    state.changed_only = changed_only;
    state.appended_count = 0;
    state.skipped_count = 0;

    int grouped = read_directory_block() && check_package_writable();
    if (grouped) {
        platform_interrupt_cleanup(state.package_file, state.package_size, nullptr);
        grouped = append_all_entries();
        if (grouped && !write_gathered_files()) grouped = report("Can't write data file %s\n", state.package_path);
        // A run that found nothing to change leaves the file as it was, to
        // the byte and to its time stamps.
        if (grouped && changed_only && state.appended_count == 0) {
            platform_interrupt_resume();
            // Nothing was written, so closing cannot lose anything.
            close_package();
            return state.skipped_count == 0;
        }
        grouped = grouped && sync_package();
        // Once the block's write has begun, some of its new rows may be on
        // disk, so the appended bytes must stay whatever happens next. Before
        // that, the old block is the one on disk: cut off the copies (and any
        // part of a failed one) that it does not point at.
        if (grouped) {
            platform_interrupt_hold();
            grouped = write_directory_block();
        } else if (!platform_truncate(state.package_file, state.package_size)) {
            // The old directory block is still the one on disk: the bytes
            // left after it are only unreferenced.
            report("Can't cut back data file %s\n", state.package_path);
        } else if (state.appended_count > 0) {
            // The paths printed said those files went in; they did not.
            report("Data file %s left as it was\n", state.package_path);
        }
        platform_interrupt_resume();
    }
    if (!close_package() && grouped) grouped = report("Can't write data file %s\n", state.package_path);
    // The entries passed over have had their message.
    return grouped && state.skipped_count == 0;
}

int group_package() {
    return group_loose_files(0);
}

int update_package() {
    return check_loose_folder() && group_loose_files(1);
}
