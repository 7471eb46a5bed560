#include "list.h"

#include "../util/console.h"
#include "listed_names.h"
#include "loose_compare.h"
#include "loose_files.h"
#include "package_ranges.h"
#include "package_state.h"

// The mark of an entry: what a changed-only group would do with it.
static char mark_of(const char* folder, uint32_t index, const NameEntry* name, DataEntry entry) {
    char path[LOOSE_PATH_BUFFER];
    if (make_loose_path(folder, name, path) != LOOSE_PATH_OK) return '!';
    PlatformFile loose;
    uint64_t loose_size;
    LooseResult found = open_loose_file(path, index, &loose, &loose_size);
    if (found == LOOSE_MISSING) return '-';
    if (found == LOOSE_AMBIGUOUS) return '!';
    // A file that cannot be read, or that group refuses as an earlier
    // entry's or as the package, is still an entry's: it is never untracked.
    take_loose_file(path);
    if (found != LOOSE_FOUND) return '!';
    CompareResult compared = compare_by_name(index, loose, loose_size, entry);
    platform_close(loose);
    return compared == COMPARE_SAME ? '=' : compared == COMPARE_DIFFERENT ? 'M' : '!';
}

static int list_entries(const char* folder) {
    const PackageState& state = package_state;
    CompactionPlan plan;
    if (!plan_compaction(0, &plan)) return 0;
    const uint64_t unreferenced = reclaimed_size(&plan);
    release_plan(&plan);

    int all_handled = 1;
    uint32_t changed = 0;
    for (uint32_t i = 0; i < state.header.entry_count; i++) {
        NameEntry name;
        read_entry_name(state.name_table_view, i, &name);
        DataEntry entry = read_data_entry(state.data_table_view, i);
        const std::string shown = listed_entry_name(name.name);
        if (!folder) {
            print_line("%10u %10u %s\n", entry.offset, entry.size, shown.c_str());
            continue;
        }
        char mark = mark_of(folder, i, &name, entry);
        if (mark == '!') all_handled = 0;
        if (mark == 'M') changed++;
        print_line("%c %10u %10u %s\n", mark, entry.offset, entry.size, shown.c_str());
    }
    if (folder && !list_untracked_files()) all_handled = 0;
    print_line("%u entries, %llu bytes, %llu unreferenced", state.header.entry_count,
               static_cast<unsigned long long>(state.package_size), static_cast<unsigned long long>(unreferenced));
    if (folder) print_line(", %u changed", changed);
    print_line("\n");
    return all_handled;
}

int list_package(const char* folder) {
    if (folder && !check_loose_folder()) return 0;
    if (!open_package(PACKAGE_READ, "Can't open dir file %s\n")) return 0;
    int listed = read_directory_block() && list_entries(folder);
    close_package();
    return listed;
}
