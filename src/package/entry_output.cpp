#include "entry_output.h"

#include <vector>

#include "../util/console.h"
#include "entry_match.h"
#include "package_state.h"

// Bytes read from the package and written out at a time: memory stays flat
// whatever the entry's size.
static const uint64_t OUTPUT_STEP = 1 << 16;

// The first entry that `given` matches into *index; 0 after a message when
// none does or entries of different names do.
static int choose_entry(const char* given, uint32_t* index) {
    const PackageState& state = package_state;
    NameEntry chosen, name;
    int found = 0;
    for (uint32_t i = 0; i < state.header.entry_count; i++) {
        read_entry_name(state.name_table_view, i, &name);
        if (!name_matches_entry(given, name.name)) continue;
        if (!found) {
            chosen = name;
            *index = i;
            found = 1;
        } else if (!same_entry_name(chosen.name, name.name)) {
            return report("Several entries match %s\n", given);
        }
    }
    return found ? 1 : report("No entry matches %s\n", given);
}

static int write_entry_out(DataEntry entry) {
    const PackageState& state = package_state;
    std::vector<unsigned char> buffer(OUTPUT_STEP);
    platform_binary_output();
    for (uint64_t done = 0; done < entry.size;) {
        size_t step = static_cast<size_t>(entry.size - done < OUTPUT_STEP ? entry.size - done : OUTPUT_STEP);
        if (!platform_read_at(state.package_file, entry.offset + done, buffer.data(), step))
            return report("Can't read file %s\n", state.package_path);
        // A failed write (a closed pipe) shows in the status at the end;
        // there is no one left to read the rest.
        if (!write_output(buffer.data(), step)) return 0;
        done += step;
    }
    return 1;
}

int output_entry(const char* given) {
    const PackageState& state = package_state;
    send_lines_to_standard_error();
    if (!open_package(PACKAGE_READ, "Can't open dir file %s\n")) return 0;
    uint32_t index = 0;
    int written = read_directory_block() && choose_entry(given, &index);
    if (written) {
        DataEntry entry = read_data_entry(state.data_table_view, index);
        NameEntry name;
        read_entry_name(state.name_table_view, index, &name);
        written = entry_lies_in_file(entry, state.package_size) ? write_entry_out(entry)
                                                                : report("Bad entry data %s\n", name.name);
    }
    close_package();
    return written;
}
