#include "package_check.h"

static Bytes bytes_at(const Bytes& bytes, FixtureRow row) {
    if (uint64_t{row.offset} + row.size > bytes.size()) return Bytes();
    return Bytes(bytes.begin() + row.offset, bytes.begin() + row.offset + row.size);
}

::testing::AssertionResult rows_are_sound(const Bytes& package, const Bytes& original,
                                          const std::vector<std::optional<Bytes>>& loose, size_t* changed_rows) {
    if (package.size() < original.size())
        return ::testing::AssertionFailure() << "package shrank from " << original.size() << " to " << package.size();
    const uint32_t count = get_u32(original, 16);
    const uint32_t data_table = get_u32(original, 28);
    Bytes unchanged_part(package.begin(), package.begin() + static_cast<long>(original.size()));
    size_t changed = 0;
    for (uint32_t i = 0; i < count; i++) {
        FixtureRow row = get_row(package, i), old_row = get_row(original, i);
        bool as_before = row.offset == old_row.offset && row.size == old_row.size;
        if (!as_before) {
            changed++;
            bool is_copy = loose.at(i) && row.size == loose[i]->size() &&
                           uint64_t{row.offset} + row.size <= package.size() && bytes_at(package, row) == *loose[i];
            if (!is_copy)
                return ::testing::AssertionFailure()
                       << "row " << i << " (" << row.offset << ", " << row.size << ") is neither as it was ("
                       << old_row.offset << ", " << old_row.size << ") nor a complete copy of its loose file";
        }
        put_u32(unchanged_part, data_table + 8 * i, old_row.offset);
        put_u32(unchanged_part, data_table + 8 * i + 4, old_row.size);
    }
    if (unchanged_part != original)
        return ::testing::AssertionFailure() << "bytes of the old package other than its rows changed";
    if (changed_rows) *changed_rows = changed;
    return ::testing::AssertionSuccess();
}
