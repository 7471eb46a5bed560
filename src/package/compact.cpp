#include "compact.h"


#include "../util/console.h"
#include "../util/temporary_files.h"
#include "package_ranges.h"
#include "package_state.h"

// Creates the new package's file in the folder of `real_path` (the
// package with its links resolved), under a name that no file has, short,
// so that it fits wherever the package's own name does. From its create on
// an interrupt removes it. The file is its creator's alone until it has the
// package's owner and permissions.
static int create_temporary(const char* real_path, char* path, PlatformFile* file) {
    const PackageState& state = package_state;
    if (create_temporary_beside(real_path, NO_FILE, 0, path, file) != CREATE_DONE)
        return report("Can't create file %s\n", path);
    if (!platform_copy_access(state.package_file, *file)) {
        platform_close(*file);
        platform_remove_file(path);
        platform_interrupt_cleanup(NO_FILE, 0, nullptr);
        return report("Can't create file %s\n", path);
    }
    return 1;
}

// The new file's bytes go to the disk while the copy goes on, this many at a
// time, so that its sync at the end waits for little more than the last of
// them: on ext4 the sync of 80 MB copied in one piece took as long as the
// copy itself.
static const uint64_t WRITEBACK_STEP = 8 << 20;

// Where the new file's writeback was last started up to.
static uint64_t writeback_start = 0;

static int copy_from_package(PlatformFile file, uint64_t old_offset, uint64_t new_offset, uint64_t size) {
    const PackageState& state = package_state;
    while (size > 0) {
        const uint64_t step = size < WRITEBACK_STEP ? size : WRITEBACK_STEP;
        CopyResult copied = platform_copy_range(state.package_file, old_offset, file, new_offset, step);
        if (copied == COPY_READ_FAILED) return report("Can't read file %s\n", state.package_path);
        if (copied == COPY_WRITE_FAILED) return report("Can't write data file %s\n", state.package_path);
        old_offset += step;
        new_offset += step;
        size -= step;
        if (new_offset - writeback_start >= WRITEBACK_STEP) {
            platform_start_writeback(file, writeback_start, new_offset - writeback_start);
            writeback_start = new_offset;
        }
    }
    return 1;
}

// Writes the compacted package: the directory block with its moved rows,
// what else its run holds, then every other run at its new place. The file
// is new, so the gaps that alignment leaves are never written: a gap read
// back gives zeros, as do the bytes a last cut adds when the file ends in
// one. That spares a write for every gap.
static int write_compacted(const CompactionPlan* plan, PlatformFile file) {
    const PackageState& state = package_state;
    const MovedRange& first = plan->ranges[0];
    if (!platform_write_at(file, 0, state.directory.bytes, state.directory.size))
        return report("Can't write data file %s\n", state.package_path);
    writeback_start = 0;
    if (!copy_from_package(file, state.directory.size, state.directory.size, first.size - state.directory.size))
        return 0;
    uint64_t written = first.size;
    for (uint32_t i = 1; i < plan->range_count;) {
        const MovedRange& range = plan->ranges[i];
        // Runs that touch, and stay touching, go in one copy: a package of
        // many small entries would otherwise cost a system call each.
        uint64_t size = range.size;
        for (i++; i < plan->range_count && plan->ranges[i].old_offset == range.old_offset + size &&
                  plan->ranges[i].new_offset == range.new_offset + size;
             i++)
            size += plan->ranges[i].size;
        if (!copy_from_package(file, range.old_offset, range.new_offset, size)) return 0;
        written = range.new_offset + size;
    }
    if (written < plan->new_size && !platform_truncate(file, plan->new_size))
        return report("Can't write data file %s\n", state.package_path);
    return 1;
}

// Writes the new package under a temporary name beside `real_path` and
// puts it in that file's place.
static int replace_package(const CompactionPlan* plan, const char* real_path) {
    PackageState& state = package_state;
    char temporary_path[TEMPORARY_PATH_BUFFER];
    PlatformFile file;
    if (!create_temporary(real_path, temporary_path, &file)) return 0;
    int written = write_compacted(plan, file);
    // A failed fsync is never retried: the pages it could not write may be
    // gone, and the next one would report success.
    if (written && !platform_sync(file)) written = report("Can't write data file %s\n", state.package_path);
    if (!platform_close(file) && written) written = report("Can't write data file %s\n", state.package_path);

    ReplaceResult replaced = REPLACE_FAILED;
    if (written) {
        // Once the rename may have happened, the temporary name may be the
        // package's: nothing may remove it any more.
        platform_interrupt_hold();
        replaced = platform_replace_file(temporary_path, real_path, &state.package_file);
        // After the rename the package is the compacted one; only the
        // folder's record of it may not be on disk yet.
        if (replaced == REPLACE_IN_USE) report("Data file %s is in use\n", state.package_path);
        if (replaced == REPLACE_DENIED) report("No right to delete data file %s\n", state.package_path);
        if (replaced == REPLACE_FAILED) report("Can't write data file %s\n", state.package_path);
        if (replaced == REPLACE_NOT_DURABLE) report("Can't sync folder of %s\n", state.package_path);
    }
    if ((replaced == REPLACE_FAILED || replaced == REPLACE_IN_USE || replaced == REPLACE_DENIED) &&
        !platform_remove_file(temporary_path))
        report("Can't remove file %s\n", temporary_path);
    platform_interrupt_resume();
    return replaced == REPLACE_DONE;
}

// The checks of a package that compacting must not touch: one whose tables
// overlap, and one without entries that holds bytes past its directory
// block, which is no package a run of the tool made, and whose bytes the
// compaction would cut off.
static int check_compactable() {
    const PackageState& state = package_state;
    if (!check_package_writable()) return 0;
    if (is_empty_with_tail(&state.header, state.package_size))
        return report("Bad package file %s\n", state.package_path);
    return 1;
}

// The package's path with its links resolved: a link stays a link, and the
// file it names is replaced, beside itself.
static int resolve_package(char* real_path) {
    const PackageState& state = package_state;
    ResolveResult resolved = platform_resolve_links(state.package_path, state.package_file, real_path, PATH_LIMIT);
    if (resolved == RESOLVE_TOO_LONG) return report("Path too long %s\n", state.package_path);
    if (resolved == RESOLVE_CHANGED) return report("Data file %s is in use\n", state.package_path);
    return 1;
}

int compact_package() {
    PackageState& state = package_state;
    if (!open_package(PACKAGE_REPLACE, "Can't create data file %s\n")) return 0;
    CompactionPlan plan = {nullptr, 0, 0};
    int compacted = read_directory_block() && check_compactable() && plan_compaction(1, &plan);
    const uint64_t reclaimed = compacted ? reclaimed_size(&plan) : 0;
    if (compacted && reclaimed > 0) {
        char real_path[PATH_LIMIT];
        compacted = resolve_package(real_path) && replace_package(&plan, real_path);
    }
    release_plan(&plan);
    // The old package was only read: closing it cannot lose anything.
    close_package();
    if (!compacted) return 0;
    print_line("%s: %llu bytes reclaimed\n", state.package_path, static_cast<unsigned long long>(reclaimed));
    return 1;
}
