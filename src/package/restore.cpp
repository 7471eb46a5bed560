#include "restore.h"

#include <string>
#include <unordered_set>
#include <vector>

#include "../util/console.h"
#include "../util/temporary_files.h"
#include "entry_match.h"
#include "expand.h"
#include "loose_compare.h"
#include "loose_files.h"
#include "loose_sharing.h"
#include "package_state.h"

// After fill_entry_file: the message for a file not written whole, which
// has been removed. EXTRACT_PACKAGE_FAILED when the package itself could
// not be read, which puts every later entry in doubt.
static ExtractResult report_unwritten(CopyResult written, const char* path) {
    if (written == COPY_WRITE_FAILED) {
        report("Can't write file %s\n", path);
        return EXTRACT_FAILED;
    }
    report("Can't read file %s\n", package_state.package_path);
    return EXTRACT_PACKAGE_FAILED;
}

// Where no file stands at `path`: created as expand creates it. A link
// there, dangling or to a folder, is removed first and never followed; a
// folder or anything else is left and refused.
static ExtractResult create_missing(const char* path, uint32_t index, DataEntry entry) {
    PackageState& state = package_state;
    make_parent_folders(path, &state.folder_walk);
    PlatformFile file;
    CreateResult created = create_loose_file(path, &file);
    if (created == CREATE_EXISTS && platform_is_link(path) && remove_loose_file(path))
        created = create_loose_file(path, &file);
    if (created != CREATE_DONE) {
        report("Can't create file %s\n", path);
        return EXTRACT_FAILED;
    }
    loose_file_shared(file, index, state.folder_path, path);
    CopyResult written = fill_entry_file(file, entry);
    if (written != COPY_DONE) remove_loose_file(path);
    platform_interrupt_cleanup(NO_FILE, 0, nullptr);
    if (written != COPY_DONE) return report_unwritten(written, path);
    report("%s\n", path);
    return EXTRACT_DONE;
}

// Where the loose file `old` at `path` differs: the entry's bytes go to a
// new file beside it, with its permission bits, which then takes its name
// in one step, so that the path names the old file or the new one, whole,
// at every moment. A link at the path is replaced, its target never
// written. Closes `old` before the rename: Windows replaces no file that is
// open without deletion shared.
static ExtractResult replace_different(const char* path, PlatformFile old, DataEntry entry) {
    char temporary[TEMPORARY_PATH_BUFFER];
    PlatformFile file;
    if (create_loose_temporary(path, temporary, &file) != CREATE_DONE) {
        platform_close(old);
        report("Can't create file %s\n", path);
        return EXTRACT_FAILED;
    }
    const int access_given = platform_copy_access(old, file);
    platform_close(old);
    CopyResult written = COPY_DONE;
    if (!access_given) {
        platform_close(file);
        written = COPY_WRITE_FAILED;
    } else {
        written = fill_entry_file(file, entry);
    }
    if (written != COPY_DONE) {
        remove_loose_file(temporary);
        platform_interrupt_cleanup(NO_FILE, 0, nullptr);
        return report_unwritten(written, path);
    }
    // The interrupt's cleanup stays set through the rename: once the rename
    // is made the temporary name names nothing, and removing it fails
    // harmlessly, so no hold (and none of its system calls) is needed.
    const int renamed = rename_loose_file(temporary, path);
    if (!renamed) remove_loose_file(temporary);
    platform_interrupt_cleanup(NO_FILE, 0, nullptr);
    if (!renamed) {
        report("Can't write file %s\n", path);
        return EXTRACT_FAILED;
    }
    report("%s\n", path);
    return EXTRACT_DONE;
}

static ExtractResult restore_entry(uint32_t index, const NameEntry* name, DataEntry entry) {
    PackageState& state = package_state;
    char path[LOOSE_PATH_BUFFER];
    LoosePathResult formed = make_loose_path(state.folder_path, name, path);
    if (formed != LOOSE_PATH_OK) {
        report(formed == LOOSE_PATH_BAD_NAME ? "Bad entry name %s\n" : "Path too long %s\n", path);
        return EXTRACT_FAILED;
    }
    PlatformFile loose;
    uint64_t loose_size;
    switch (open_loose_file(path, index, &loose, &loose_size)) {
        case LOOSE_AMBIGUOUS:
            report("Ambiguous loose file %s\n", path);
            return EXTRACT_FAILED;
        case LOOSE_UNREADABLE:
            report("Can't read file %s\n", path);
            return EXTRACT_FAILED;
        case LOOSE_SHARED:
            report("Bad entry name %s\n", path);
            return EXTRACT_FAILED;
        case LOOSE_PACKAGE:
            // Replacing it would put an entry's bytes where the package was.
            report("File %s is the data file\n", path);
            return EXTRACT_FAILED;
        case LOOSE_MISSING:
            if (entry_lies_in_file(entry, state.package_size)) return create_missing(path, index, entry);
            report("Bad entry data %s\n", path);
            return EXTRACT_FAILED;
        case LOOSE_FOUND:
            break;
    }
    ExtractResult restored = EXTRACT_DONE;
    if (!entry_lies_in_file(entry, state.package_size)) {
        report("Bad entry data %s\n", path);
        restored = EXTRACT_FAILED;
    } else {
        switch (compare_with_entry(loose, loose_size, entry)) {
            case COMPARE_SAME:
                break;
            case COMPARE_DIFFERENT:
                return replace_different(path, loose, entry);
            case COMPARE_LOOSE_FAILED:
                report("Can't read file %s\n", path);
                restored = EXTRACT_FAILED;
                break;
            case COMPARE_PACKAGE_FAILED:
                report("Can't read file %s\n", state.package_path);
                restored = EXTRACT_PACKAGE_FAILED;
                break;
        }
    }
    platform_close(loose);
    return restored;
}

// Which entries the names select (all of them when none is given), each
// name that selects none reported. Returns 0 when some name selected none.
static int select_entries(const char* const* names, int name_count, std::vector<char>* selected) {
    const PackageState& state = package_state;
    selected->assign(state.header.entry_count, name_count == 0);
    std::vector<char> used(static_cast<size_t>(name_count), 0);
    for (uint32_t i = 0; i < state.header.entry_count && name_count > 0; i++) {
        NameEntry name;
        read_entry_name(state.name_table_view, i, &name);
        for (int n = 0; n < name_count; n++)
            if (name_matches_entry(names[n], name.name)) (*selected)[i] = used[static_cast<size_t>(n)] = 1;
    }
    int all_used = 1;
    for (int n = 0; n < name_count; n++)
        if (!used[static_cast<size_t>(n)]) all_used = report("No entry matches %s\n", names[n]);
    return all_used;
}

// An entry's name as one key for all its spellings of the separator.
static std::string name_key(const NameEntry* name) {
    std::string key(name->name);
    for (char& c : key)
        if (c == '/') c = '\\';
    return key;
}

int restore_package(const char* const* names, int name_count) {
    PackageState& state = package_state;
    if (!open_package(PACKAGE_READ, "Can't open dir file %s\n")) return 0;
    if (!read_directory_block()) {
        close_package();
        return 0;
    }
    std::vector<char> selected;
    int all_restored = select_entries(names, name_count, &selected);
    std::unordered_set<std::string> names_done;
    for (uint32_t i = 0; i < state.header.entry_count; i++) {
        if (!selected[i]) continue;
        NameEntry name;
        read_entry_name(state.name_table_view, i, &name);
        // Of entries of the same name the first counts, as in expand.
        if (!names_done.insert(name_key(&name)).second) continue;
        ExtractResult restored = restore_entry(i, &name, read_data_entry(state.data_table_view, i));
        if (restored != EXTRACT_DONE) all_restored = 0;
        if (restored == EXTRACT_PACKAGE_FAILED) break;
    }
    release_creating_folder();
    if (!close_package()) all_restored = 0;
    return all_restored;
}
