#include "package_ranges.h"

#include <algorithm>
#include <cstdlib>

#include "../util/console.h"
#include "package_state.h"

// Alignments above a sector's are not kept.
static const uint64_t MAX_ALIGNMENT = 2048;

// A row's range inside the file.
struct RowRange {
    uint32_t start;
    uint32_t size;
    uint32_t row;
};

static uint64_t alignment_of(uint64_t offset) {
    uint64_t lowest_bit = offset & (~offset + 1);
    return offset == 0 || lowest_bit > MAX_ALIGNMENT ? MAX_ALIGNMENT : lowest_bit;
}

static uint64_t end_of(const RowRange& range) { return uint64_t{range.start} + range.size; }

// 1 when a row with bytes inside the file covers part of the data table.
static int rows_cover_data_table(const RowRange* ranges, uint32_t count) {
    const PackageHeader& header = package_state.header;
    uint64_t table_start = header.data_table_offset;
    uint64_t table_end = directory_size(&header);
    for (uint32_t i = 0; i < count; i++)
        if (ranges[i].size > 0 && ranges[i].start < table_end && end_of(ranges[i]) > table_start) return 1;
    return 0;
}

int plan_compaction(int move_rows, CompactionPlan* plan) {
    PackageState& state = package_state;
    const uint32_t entry_count = state.header.entry_count;
    const uint64_t file_size = state.package_size;
    // The header is kept whole even where the directory block is shorter.
    const uint64_t block_size = std::max<uint64_t>(state.directory.size, HEADER_SIZE);
    unsigned char* data_table = state.directory.bytes + state.header.data_table_offset;
    *plan = CompactionPlan{nullptr, 0, 0};

    // One run per row at most, and the directory block's.
    RowRange* ranges = static_cast<RowRange*>(malloc((uint64_t{entry_count} + 1) * sizeof(RowRange)));
    plan->ranges = static_cast<MovedRange*>(malloc((uint64_t{entry_count} + 1) * sizeof(MovedRange)));
    if (!ranges || !plan->ranges) {
        free(ranges);
        release_plan(plan);
        return report("Out of memory for %s\n", state.package_path);
    }
    uint32_t range_count = 0;
    for (uint32_t i = 0; i < entry_count; i++) {
        DataEntry entry = read_data_entry(data_table, i);
        // An empty row needs no bytes of the file: wherever it points, even
        // past the end, it is placed among the runs.
        if (entry.size == 0 || uint64_t{entry.offset} + entry.size <= file_size)
            ranges[range_count++] = RowRange{entry.offset, entry.size, i};
    }
    // By start, and a row of size 0 after the rows that start where it is:
    // it then lies inside their run and moves with it. Rows that an earlier
    // compaction wrote are in that order already, which one pass tells: the
    // sort is then not needed.
    const auto before = [](const RowRange& a, const RowRange& b) {
        return a.start != b.start ? a.start < b.start : a.size > b.size;
    };
    if (!std::is_sorted(ranges, ranges + range_count, before)) std::sort(ranges, ranges + range_count, before);
    const int pinned = rows_cover_data_table(ranges, range_count);
    const int moving = move_rows && !pinned;

    uint32_t next = 0;
    uint64_t run_end = block_size;
    while (next < range_count && ranges[next].start < run_end) run_end = std::max(run_end, end_of(ranges[next++]));
    plan->ranges[plan->range_count++] = MovedRange{0, 0, run_end};
    uint64_t cursor = run_end;

    while (next < range_count) {
        const uint32_t first = next;
        if (ranges[first].size == 0) {
            // An empty row between runs (or past the last one) has no bytes
            // to align and nothing after it: it takes the place where the
            // next run's bytes, if any, would start before their padding, so
            // it costs no byte.
            if (moving) {
                DataEntry entry = read_data_entry(data_table, ranges[first].row);
                entry.offset = static_cast<uint32_t>(cursor);
                write_data_entry(data_table, ranges[first].row, entry);
            }
            // A row that cannot move keeps pointing inside the file, which
            // then ends no sooner than where it points.
            if (pinned && ranges[first].start <= file_size) cursor = std::max(cursor, uint64_t{ranges[first].start});
            next++;
            continue;
        }
        const uint64_t run_start = ranges[first].start;
        run_end = end_of(ranges[first]);
        uint64_t alignment = alignment_of(run_start);
        for (next++; next < range_count && ranges[next].start < run_end; next++) {
            run_end = std::max(run_end, end_of(ranges[next]));
            if (ranges[next].size > 0) alignment = std::max(alignment, alignment_of(ranges[next].start));
        }
        const uint64_t new_start = pinned ? run_start : cursor + (run_start - cursor) % alignment;
        if (moving)
            for (uint32_t i = first; i < next; i++) {
                DataEntry entry = read_data_entry(data_table, ranges[i].row);
                entry.offset = static_cast<uint32_t>(ranges[i].start - run_start + new_start);
                write_data_entry(data_table, ranges[i].row, entry);
            }
        plan->ranges[plan->range_count++] = MovedRange{run_start, new_start, run_end - run_start};
        cursor = new_start + (run_end - run_start);
    }
    plan->new_size = cursor;
    free(ranges);
    return 1;
}

void release_plan(CompactionPlan* plan) {
    free(plan->ranges);
    *plan = CompactionPlan{nullptr, 0, 0};
}

uint64_t reclaimed_size(const CompactionPlan* plan) {
    return package_state.package_size - plan->new_size;
}
