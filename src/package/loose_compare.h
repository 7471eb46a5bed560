// Whether a loose file holds its entry's bytes. Shared by the changed-only
// group, which appends just the loose files that differ, and the listing,
// which marks each entry.
#pragma once

#include <cstdint>

#include "../util/platform.h"
#include "package_layout.h"

enum CompareResult {
    COMPARE_SAME,
    COMPARE_DIFFERENT,
    COMPARE_LOOSE_FAILED,   // the loose file could not be read (or shrank)
    COMPARE_PACKAGE_FAILED  // the package could not be read
};

// Compares the loose file open as `loose`, `loose_size` bytes long, with
// the bytes `entry` points at in the open package (package_state's file,
// whose length when it was opened is package_size). The sizes are compared
// first; an entry whose bytes pass the end of the package differs from any
// loose file. Equal sizes are then read from both files in bounded steps,
// stopping at the first difference, so memory does not grow with the size.
CompareResult compare_with_entry(PlatformFile loose, uint64_t loose_size, DataEntry entry);

// compare_with_entry for entry `index`, whose row is `entry`, deciding by
// name: entries that share a name share their loose file, and the first of
// them to be compared (in table order, the first of the name) decides for
// all, so that a later one is not "changed" because its row points at
// other bytes, nor found "unchanged" against a copy the first one's group
// has just appended. A failed comparison decides nothing.
CompareResult compare_by_name(uint32_t index, PlatformFile loose, uint64_t loose_size, DataEntry entry);
