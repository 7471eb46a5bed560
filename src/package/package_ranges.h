// Which bytes of a package its rows point at, and where they go when the
// package is compacted. Shared by compaction, which drops the rest, and the
// listing, which tells how many bytes that would reclaim: both take the
// number from the same plan.
//
// The live bytes are the directory block and every range a row points at
// inside the file. Ranges that overlap form one run, copied whole, so rows
// that share bytes still share them. Runs keep the order of their old
// offsets; each moves down by a multiple of the largest alignment (a power
// of two up to 2048 dividing the offset) of any row that starts in it, so no
// row loses its alignment, and the gaps that alignment leaves are zeros.
// The run that holds the directory block never moves. A row whose bytes
// pass the end of the file points at nothing and is kept as it is. A row of
// size 0 has no bytes to align: inside a run it moves with the run and adds
// nothing to its alignment; anywhere else (between runs, past the end of
// the file) it takes the end of the run before it in the new file, so it
// never costs padding. When a row's bytes cover
// part of the data table itself, changing any row would change that entry,
// so no run moves and only the dead bytes after the last run go.
#pragma once

#include <cstdint>

// A run of live bytes and where it goes.
struct MovedRange {
    uint64_t old_offset;
    uint64_t new_offset;
    uint64_t size;
};

struct CompactionPlan {
    MovedRange* ranges;    // the runs in the order of their old offsets; the first holds the directory block
    uint32_t range_count;
    uint64_t new_size;  // the compacted file's length, padding included; never more than the file's
};

// Plans the compaction of the open package, whose directory block
// (package_state.directory) has been read and checked. When `move_rows` is
// set, the rows of that block are pointed at their new places. Returns 0
// after "Out of memory for" with the package's path. The caller releases
// the plan with release_plan.
int plan_compaction(int move_rows, CompactionPlan* plan);

void release_plan(CompactionPlan* plan);

// The bytes compacting the open package by `plan` takes off its length.
uint64_t reclaimed_size(const CompactionPlan* plan);
