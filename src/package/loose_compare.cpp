#include "loose_compare.h"

#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "package_state.h"

// Small enough that both buffers stay in the processor's cache, so that the
// comparison reads what the kernel has just written there: against 1 MiB
// steps this halves the time to compare a large file, and the extra system
// calls cost little.
static const uint64_t COMPARE_STEP = 1 << 16;

CompareResult compare_with_entry(PlatformFile loose, uint64_t loose_size, DataEntry entry) {
    PackageState& state = package_state;
    if (loose_size != entry.size || !entry_lies_in_file(entry, state.package_size)) return COMPARE_DIFFERENT;
    // One pair of buffers for the whole run: a folder of many small files
    // would otherwise allocate twice per file.
    static std::vector<unsigned char> loose_bytes, entry_bytes;
    if (loose_bytes.empty()) {
        loose_bytes.resize(COMPARE_STEP);
        entry_bytes.resize(COMPARE_STEP);
    }
    // A small file is read in one step and compared with its entry's bytes
    // read for it and its neighbours in the package at once: one read per
    // file instead of two.
    if (loose_size == 0) return COMPARE_SAME;
    if (loose_size <= COMPARE_STEP && loose_size <= ENTRY_BLOCK_LIMIT) {
        const unsigned char* packed;
        if (!platform_read_at(loose, 0, loose_bytes.data(), static_cast<size_t>(loose_size)))
            return COMPARE_LOOSE_FAILED;
        if (!read_entry_bytes(entry, &packed)) return COMPARE_PACKAGE_FAILED;
        return memcmp(loose_bytes.data(), packed, static_cast<size_t>(loose_size)) == 0 ? COMPARE_SAME
                                                                                         : COMPARE_DIFFERENT;
    }
    for (uint64_t done = 0; done < loose_size;) {
        size_t step = static_cast<size_t>(loose_size - done < COMPARE_STEP ? loose_size - done : COMPARE_STEP);
        if (!platform_read_at(loose, done, loose_bytes.data(), step)) return COMPARE_LOOSE_FAILED;
        if (!platform_read_at(state.package_file, entry.offset + done, entry_bytes.data(), step))
            return COMPARE_PACKAGE_FAILED;
        if (memcmp(loose_bytes.data(), entry_bytes.data(), step) != 0) return COMPARE_DIFFERENT;
        done += step;
    }
    return COMPARE_SAME;
}

// Notes, once per run, every name that more than one entry has.
static void note_repeated_names() {
    PackageState& state = package_state;
    if (state.repeated_names_noted) return;
    state.repeated_names_noted = 1;
    std::unordered_map<std::string, uint32_t> counts;
    for (uint32_t i = 0; i < state.header.entry_count; i++) {
        NameEntry name;
        read_entry_name(state.name_table_view, i, &name);
        if (++counts[name.name] == 2) state.name_verdicts[name.name] = NameVerdict{0, COMPARE_SAME};
    }
}

CompareResult compare_by_name(uint32_t index, PlatformFile loose, uint64_t loose_size, DataEntry entry) {
    PackageState& state = package_state;
    note_repeated_names();
    if (state.name_verdicts.empty()) return compare_with_entry(loose, loose_size, entry);
    NameEntry name;
    read_entry_name(state.name_table_view, index, &name);
    auto repeated = state.name_verdicts.find(name.name);
    if (repeated == state.name_verdicts.end()) return compare_with_entry(loose, loose_size, entry);
    if (repeated->second.decided) return repeated->second.verdict;
    CompareResult compared = compare_with_entry(loose, loose_size, entry);
    if (compared == COMPARE_SAME || compared == COMPARE_DIFFERENT) repeated->second = NameVerdict{1, compared};
    return compared;
}
