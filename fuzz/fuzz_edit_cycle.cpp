// Fuzz target: the edit cycle's options on an arbitrary package. /U groups
// the changed loose files of a small folder, /L lists the package against
// it, then /C compacts the result twice, and /R restores a copy of the
// folder from it. Each run checks what the option
// promises about the package's rows and bytes, and that /L's unreferenced
// count is what /C then reclaims. The loose files are found as a model of
// the letter-case lookup, written here apart from the tool's, finds them,
// and /L marks each entry and lists exactly the files that no entry takes.
// A well-formed package built from the same bytes goes through the same
// cycle, and each option must accept it.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "package/compact.h"
#include "package/entry_match.h"
#include "package/group.h"
#include "package/list.h"
#include "package/package_layout.h"
#include "package/package_state.h"
#include "package/restore.h"
#include "write_guard.h"

static ScratchFolder* scratch;
static fs::path work, package, loose, output, restored;

// Loose files named as the seeds' entries, some equal to the seeds' bytes;
// variants in letter case of some of them (beside the exact name, alone, and
// in pairs); and files that no seed names.
static const std::vector<LooseFile> LOOSE_FILES = {
    {"a", "first entry"},     {"empty", ""},          {"Empty", "a variant"}, {"sub/b", "changed bytes"},
    {"0123456789abcdef", "sixteen"}, {"CASE/File", "found by case"}, {"dup/Ab", "one of two"},
    {"dup/aB", "two of two"}, {"untracked.txt", "named by no seed"}, {"deep/er/new.bin", "new"},
    {"a name longer than sixteen bytes", "long"}};

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    start_fuzzing();
    scratch = new ScratchFolder;
    work = *scratch / "work";
    package = work / "pkg.dat";
    loose = work / "loose";
    output = *scratch / "output";
    restored = *scratch / "restored";
    write_loose_files(loose, LOOSE_FILES);
    atexit([] { delete scratch; });
    write_guard_allow("", package.string());
    return 0;
}

static Bytes bytes_of_row(const Bytes& package_bytes, FixtureRow row) {
    if (uint64_t{row.offset} + row.size > package_bytes.size()) return Bytes();
    return Bytes(package_bytes.begin() + row.offset, package_bytes.begin() + row.offset + row.size);
}

static bool in_file(FixtureRow row, size_t file_size) { return uint64_t{row.offset} + row.size <= file_size; }

static uint64_t alignment_of(uint64_t offset) {
    uint64_t lowest_bit = offset & (~offset + 1);
    return offset == 0 || lowest_bit > 2048 ? 2048 : lowest_bit;
}

// The number that follows `marker` in the last line of `text`; -1 when the
// line has no such marker.
static int64_t number_after(const std::string& text, const std::string& marker) {
    const size_t line_start = text.size() < 2 ? 0 : text.rfind('\n', text.size() - 2) + 1;
    const std::string line = text.substr(line_start);
    const size_t at = line.rfind(marker);
    return at == std::string::npos ? -1 : std::stoll(line.substr(at + marker.size()));
}

// /U: rows change only where the loose file differs from the entry, and
// then point at a whole appended copy of it.
// The first row of the name of entry `index`: entries of one name are
// decided by the first of them.
static FixtureRow first_row_of_name(const Bytes& package_bytes, uint32_t index) {
    const std::string name = entry_name(package_bytes, index);
    for (uint32_t i = 0; i < index; i++)
        if (entry_name(package_bytes, i) == name) return get_row(package_bytes, i);
    return get_row(package_bytes, index);
}

static void check_update(const Bytes& before, const Bytes& after, int updated) {
    // An entry passed over with a message (an ambiguous loose file, a
    // refused name) fails the run only once the rest is grouped; a run that
    // wrote, failed for that alone.
    bool any_passed_over = false;
    if (!updated && after != before)
        for (uint32_t i = 0; i < get_u32(before, 16); i++) {
            const ModelResult result = model_lookup(before, i, loose).result;
            any_passed_over |= result == MODEL_AMBIGUOUS || result == MODEL_REFUSED;
        }
    if (!updated && !any_passed_over) {
        require(after == before, "a failed /U leaves the package as it was");
        return;
    }
    require(tables_apart(before), "/U refuses a package whose data table meets the header's fields or a name");
    require_names_and_fields_kept(before, after);
    const uint32_t count = get_u32(before, 16);
    const uint64_t rows_start = get_u32(before, 28), rows_end = rows_start + uint64_t{8} * count;
    for (size_t i = 0; i < before.size(); i++)
        if (i < rows_start || i >= rows_end) require(after[i] == before[i], "/U changes only data rows");
    bool any_changed = false;
    for (uint32_t i = 0; i < count; i++) {
        FixtureRow old_row = get_row(before, i), new_row = get_row(after, i);
        const ModelLookup found = model_lookup(before, i, loose);
        const fs::path path = loose / found.path;
        const bool has_loose = found.result == MODEL_FOUND;
        const FixtureRow first_row = first_row_of_name(before, i);
        const bool same =
            has_loose && in_file(first_row, before.size()) && bytes_of_row(before, first_row) == read_file(path);
        if (old_row.offset == new_row.offset && old_row.size == new_row.size) {
            // A row that points past the old end may, by chance, point just
            // where its appended copy went.
            require(!has_loose || same || bytes_of_row(after, new_row) == read_file(path),
                    "/U appends every loose file that differs");
            continue;
        }
        any_changed = true;
        require(has_loose && !same, "/U changes only rows whose loose file differs");
        require(new_row.offset >= before.size() && in_file(new_row, after.size()),
                "a changed row points at appended bytes");
        require(bytes_of_row(after, new_row) == read_file(path), "a changed row points at a whole copy of its loose file");
    }
    if (!any_changed && after.size() == before.size())
        require(after == before, "/U with nothing changed writes nothing");
}

// /C: every entry keeps its bytes, rows that share or overlap bytes still
// do, order and alignment are kept, and rows it cannot move stay.
static void check_compaction(const Bytes& before, const Bytes& after, int compacted) {
    if (compacted) {
        require(tables_apart(before), "/C refuses a package whose data table meets the header's fields or a name");
        const uint64_t block_size = get_u32(before, 28) + uint64_t{8} * get_u32(before, 16);
        require(get_u32(before, 16) > 0 || before.size() <= std::max<uint64_t>(block_size, 32),
                "/C refuses a package without entries that has bytes after its directory block");
        require_names_and_fields_kept(before, after);
    }
    if (!compacted || after == before) {
        require(after == before, "a failed or fruitless /C leaves the package as it was");
        return;
    }
    require(after.size() < before.size(), "/C only makes a package shorter");
    const uint32_t count = get_u32(before, 16);
    const uint32_t rows_start = get_u32(before, 28);
    const uint64_t block_size = rows_start + uint64_t{8} * count;
    for (uint64_t i = 0; i < block_size; i++)
        if (i < rows_start) require(after[i] == before[i], "/C keeps the directory block but for its rows");
    std::vector<FixtureRow> old_rows, new_rows;
    for (uint32_t i = 0; i < count; i++) {
        old_rows.push_back(get_row(before, i));
        new_rows.push_back(get_row(after, i));
        const FixtureRow old_row = old_rows.back(), new_row = new_rows.back();
        require(old_row.size == new_row.size, "/C keeps every row's size");
        if (!in_file(old_row, before.size())) {
            require(old_row.size == 0 || (old_row.offset == new_row.offset),
                    "a row past the end of the package stays as it is");
            require(old_row.size > 0 || old_row.offset == new_row.offset || new_row.offset == after.size(),
                    "an empty row past the end gets the new file's length");
            continue;
        }
        require(in_file(new_row, after.size()) && bytes_of_row(after, new_row) == bytes_of_row(before, old_row),
                "every entry keeps its bytes");
        if (old_row.offset < block_size) require(new_row.offset == old_row.offset, "rows into the block stay");
        // An empty row has no bytes to align.
        require(old_row.size == 0 || new_row.offset % alignment_of(old_row.offset) == 0, "no row loses its alignment");
    }
    for (uint32_t i = 0; i < count && i < 64; i++)
        for (uint32_t j = 0; j < count && j < 64; j++) {
            const FixtureRow a = old_rows[i], b = old_rows[j];
            if (!in_file(a, before.size()) || !in_file(b, before.size()) || a.size == 0 || b.size == 0) continue;
            if (a.offset <= b.offset && b.offset < uint64_t{a.offset} + a.size)
                require(new_rows[j].offset - new_rows[i].offset == b.offset - a.offset,
                        "rows that share or overlap bytes still do");
            if (a.offset < b.offset) require(new_rows[i].offset < new_rows[j].offset, "ranges keep their order");
        }
}

// The mark /L gives an entry, by the model: '!' where its lookup is
// ambiguous or refused, '-' where it finds no file, '=' where the file
// holds the entry's bytes, 'M' where it does not.
static char model_mark(const Bytes& package_bytes, uint32_t index) {
    const ModelLookup found = model_lookup(package_bytes, index, loose);
    if (found.result == MODEL_AMBIGUOUS || found.result == MODEL_REFUSED) return '!';
    if (found.result == MODEL_MISSING) return '-';
    // Entries of one name are decided by the first of them.
    uint32_t first = index;
    const std::string name = entry_name(package_bytes, index);
    for (uint32_t i = 0; i < index; i++)
        if (entry_name(package_bytes, i) == name) {
            first = i;
            break;
        }
    // An empty entry needs no bytes, wherever its row points.
    const FixtureRow row = get_row(package_bytes, first);
    return (row.size == 0 || in_file(row, package_bytes.size())) &&
                   bytes_of_row(package_bytes, row) == read_file(loose / found.path)
               ? '='
               : 'M';
}

// /L: every entry has its mark and every file below the folder that no
// entry takes is listed, in byte order of its name; the summary counts the
// entries marked 'M'.
static void check_listing(const Bytes& package_bytes, const std::string& printed, int listed) {
    if (!listed && printed.find(" entries, ") == std::string::npos) return;
    std::set<std::string> untracked;
    for (const fs::directory_entry& item : fs::recursive_directory_iterator(loose))
        if (item.is_regular_file()) untracked.insert(fs::relative(item.path(), loose).string());
    // One line per entry: a name that holds a line feed is quoted.
    std::vector<std::pair<size_t, char>> marks;
    size_t entry_lines = 0;
    for (uint32_t i = 0; i < get_u32(package_bytes, 16); i++) {
        const ModelLookup found = model_lookup(package_bytes, i, loose);
        if (found.result == MODEL_FOUND) untracked.erase(found.path);
        marks.push_back({entry_lines, model_mark(package_bytes, i)});
        entry_lines++;
    }
    std::vector<std::string> expected;
    for (std::string name : untracked) {
        std::replace(name.begin(), name.end(), '/', '\\');
        expected.push_back("?                       " + name);
    }
    std::sort(expected.begin(), expected.end());
    std::vector<std::string> lines;
    for (size_t start = 0; start < printed.size();) {
        size_t end = printed.find('\n', start);
        lines.push_back(printed.substr(start, end - start));
        start = end + 1;
    }
    require(lines.size() == entry_lines + expected.size() + 1, "/L prints the entries, the untracked files, a summary");
    int64_t changed = 0;
    for (const auto& mark : marks) {
        require(lines[mark.first][0] == mark.second, "/L marks each entry as the model does");
        changed += mark.second == 'M';
    }
    require(number_after(printed, " unreferenced, ") == changed, "/L's summary counts the changed entries");
    require(listed == std::none_of(marks.begin(), marks.end(),
                                   [](const std::pair<size_t, char>& mark) { return mark.second == '!'; }),
            "/L fails exactly when an entry is marked '!'");
    for (size_t i = 0; i < expected.size(); i++)
        require(lines[entry_lines + i] == expected[i], "/L lists the files no entry takes, in byte order");
}

// The mark /L gave each entry, from its line: one line per entry, as a
// name that holds a line feed is quoted.
static std::vector<char> marks_of(const Bytes& package_bytes, const std::string& printed) {
    std::vector<char> marks;
    size_t at = 0;
    for (uint32_t i = 0; i < get_u32(package_bytes, 16); i++) {
        marks.push_back(at < printed.size() ? printed[at] : '\0');
        const size_t end = printed.find('\n', at);
        at = end == std::string::npos ? printed.size() : end + 1;
    }
    return marks;
}

// /R into a copy of the loose folder, of every entry or of those a name
// picked by the input's length matches: a run that succeeds leaves every
// selected entry's loose file (the first of each name) holding its bytes,
// which /L then marks '='; whatever the outcome, a file that no selected
// entry's lookup reaches is untouched.
static void check_restore(const Bytes& package_bytes) {
    fs::remove_all(restored);
    fs::copy(loose, restored, fs::copy_options::recursive);
    static const std::vector<std::vector<const char*>> NAME_CHOICES = {{}, {"SUB"}, {"*a*", "?"}};
    const std::vector<const char*>& names = NAME_CHOICES[package_bytes.size() % NAME_CHOICES.size()];
    PackageHeader header{};
    if (package_bytes.size() >= HEADER_SIZE) read_package_header(package_bytes.data(), &header);
    const bool sound = package_bytes.size() >= HEADER_SIZE && check_package_layout(&header, package_bytes.size());
    const uint32_t count = sound ? header.entry_count : 0;
    std::vector<bool> checked(count, false);
    std::set<std::string> names_seen, reached;
    for (uint32_t i = 0; i < count; i++) {
        const std::string name = entry_name(package_bytes, i);
        bool selected = names.empty();
        for (const char* given : names) selected |= name_matches_entry(given, name.c_str()) == 1;
        std::string key = name;
        std::replace(key.begin(), key.end(), '/', '\\');
        checked[i] = selected && names_seen.insert(key).second;
        const ModelLookup found = model_lookup(package_bytes, i, restored);
        if (checked[i] && found.result == MODEL_FOUND) reached.insert(found.path);
    }
    write_guard_allow(restored.string(), "");
    start_run(package, restored);
    int restored_all;
    const std::string printed = printed_by(
        [&names] { return restore_package(names.data(), static_cast<int>(names.size())); }, output, &restored_all);
    end_run();
    // Every line is a file created or replaced (at an entry's exact path or
    // where its lookup led) or a message, and the status is 0 exactly when
    // there was no message.
    std::vector<std::string> handled, paths;
    group_paths(package_bytes, package, restored, &handled, &paths);
    handled.insert(handled.end(), paths.begin(), paths.end());
    const size_t messages = count_messages(printed, handled, paths);
    require((messages == 0) == (restored_all == 1), "/R ends with 0 exactly when it printed no message");
    write_guard_allow("", package.string());
    require(read_file(package) == package_bytes, "/R never writes the package");
    for (const LooseFile& file : LOOSE_FILES)
        if (!reached.count(file.name))
            require(read_file(restored / file.name) == bytes_of(file.bytes), "/R leaves files it does not reach alone");
    if (!sound) require(!restored_all, "/R refuses a malformed package");
    if (!restored_all) return;
    start_run(package, restored);
    int listed;
    const std::string listing = printed_by([] { return list_package(package_state.folder_path); }, output, &listed);
    end_run();
    const std::vector<char> marks = marks_of(package_bytes, listing);
    for (uint32_t i = 0; i < count; i++) {
        if (!checked[i]) continue;
        require(marks[i] == '=', "after /R, /L marks every selected entry '='");
        const ModelLookup found = model_lookup(package_bytes, i, restored);
        require(found.result == MODEL_FOUND &&
                    read_file(restored / found.path) == bytes_of_row(package_bytes, get_row(package_bytes, i)),
                "after /R, every selected entry's loose file holds its bytes");
    }
}

// Names that lead to a loose file exactly (some holding the bytes that
// the recipe may give), through one variant in letter case, to none, or to
// two variants.
static const std::vector<std::string> NAMES = {"a",          "empty",   "EMPTY",         "sub\\b", "0123456789abcdef",
                                               "case\\file", "dup\\ab", "untracked.txt", "none",   "A"};

// /U, /L and /C in turn on `original`; `sound` requires each to succeed
// unless the model finds an entry's loose file ambiguous.
static void check_cycle(const Bytes& original, bool sound) {
    write_file(package, original);
    start_run(package, loose);
    int updated;
    const std::string update_output = printed_by(update_package, output, &updated);
    end_run();
    const bool unsure = sound && any_entry_unsure(original, loose);
    require(updated || !sound || unsure, "/U accepts a well-formed package");
    const Bytes updated_bytes = read_file(package);
    check_update(original, updated_bytes, updated);
    std::vector<std::string> handled, paths;
    group_paths(original, package, loose, &handled, &paths);
    require((count_messages(update_output, handled, paths) == 0) == (updated == 1),
            "/U ends with 0 exactly when it printed no message");

    start_run(package, loose);
    int listed;
    const std::string listing = printed_by([] { return list_package(package_state.folder_path); }, output, &listed);
    end_run();
    require(listed || !sound || unsure, "/L accepts a well-formed package");
    check_listing(updated_bytes, listing, listed);
    require(read_file(package) == updated_bytes, "/L never writes");

    start_run(package, loose);
    int compacted;
    const std::string compaction = printed_by(compact_package, output, &compacted);
    end_run();
    const Bytes compacted_bytes = read_file(package);
    require(compacted || !sound, "/C accepts a well-formed package");
    check_compaction(updated_bytes, compacted_bytes, compacted);
    const std::vector<std::string> reclaimed = {
        package.string() + ": " + std::to_string(updated_bytes.size() - compacted_bytes.size()) + " bytes reclaimed"};
    require((count_messages(compaction, compacted ? reclaimed : std::vector<std::string>{}, {package.string()}) == 0) ==
                (compacted == 1),
            "/C ends with 0 exactly when it printed no message");
    if (compacted) {
        const int64_t unreferenced = number_after(listing, " bytes, ");
        require(unreferenced >= 0 && unreferenced == number_after(compaction, ": "),
                "/L's unreferenced count is what /C reclaims");
        require(static_cast<uint64_t>(unreferenced) == updated_bytes.size() - compacted_bytes.size(),
                "/C reclaims what it says");
    }
    require_only(work, {"pkg.dat", "loose"});

    start_run(package, loose);
    int again = compact_package();
    end_run();
    require(again == compacted && read_file(package) == compacted_bytes, "a second /C changes nothing");

    check_restore(compacted_bytes);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    check_cycle(Bytes(data, data + size), false);
    check_cycle(well_formed_package(data, size, NAMES), true);
    return 0;
}
