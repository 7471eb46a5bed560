// Fuzz target: the group operation on an arbitrary package, in a scratch
// folder that holds a few loose files, some in sub-folders, and a file just
// outside the loose folder that no entry may reach; then on a well-formed
// package built from the same bytes, which it must accept.
#include <cstdlib>

#include "fuzz_support.h"
#include "package/group.h"
#include "util/platform.h"
#include "write_guard.h"

static ScratchFolder* scratch;
static fs::path work, package, loose, output;

// A variant in letter case stands beside the seeds' names, alone, and
// in a pair.
static const std::vector<LooseFile> LOOSE_FILES = {{"a", "alpha"},
                   {"empty", ""},
                   {"sub/b", "bravo bytes"},
                   {"sub/deeper/c", "charlie"},
                   {"0123456789abcdef", "sixteen"},
                   {"Sub/Deeper/C", "a variant beside it"},
                   {"CASE/File", "found by case"},
                   {"dup/Ab", "one of two"},
                   {"dup/aB", "two of two"}};

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    start_fuzzing();
    scratch = new ScratchFolder;
    work = *scratch / "work";
    package = work / "pkg.dat";
    loose = work / "loose";
    output = *scratch / "output";
    write_loose_files(loose, LOOSE_FILES);
    write_file(*scratch / "secret", bytes_of("outside the loose folder"));
    // Group writes the package and nothing else, not even a loose file.
    write_guard_allow("", package.string());
    atexit([] { delete scratch; });
    return 0;
}

// Names that lead to a loose file exactly, through one variant in letter
// case (alone, or shared by entries of one name), to none, or to two
// variants (ambiguous).
static const std::vector<std::string> NAMES = {"a",          "empty", "sub\\b",  "sub\\deeper\\c", "0123456789abcdef",
                                               "case\\file", "A",     "nothing", "dup\\ab",        "SUB\\B"};

// Groups `before` and checks the result; `sound` requires the run to
// succeed unless the model finds an entry's loose file ambiguous.
static void check_group(const Bytes& before, bool sound) {
    const size_t size = before.size();
    write_file(package, before);
    start_run(package, loose);
    int grouped;
    const std::string printed = printed_by(group_package, output, &grouped);
    end_run();
    require(grouped || !sound || any_entry_unsure(before, loose), "/P accepts a well-formed package");
    const Bytes after = read_file(package);
    require_only(scratch->path, {"work", "secret", "output"});
    std::vector<std::string> handled, paths;
    group_paths(before, package, loose, &handled, &paths);
    const size_t messages = count_messages(printed, handled, paths);
    require((messages == 0) == (grouped == 1), "/P ends with 0 exactly when it printed no message");
    require_only(work, {"pkg.dat", "loose"});
    // An entry passed over with a message (an ambiguous loose file, a
    // refused name) fails the run only once the rest is grouped.
    bool any_passed_over = false;
    if (!grouped && after != before)
        for (uint32_t i = 0; i < get_u32(before, 16); i++) {
            const ModelResult result = model_lookup(before, i, loose).result;
            any_passed_over |= result == MODEL_AMBIGUOUS || result == MODEL_REFUSED;
        }
    if (!grouped && !any_passed_over) {
        require(after == before, "a failed group leaves the package as it was");
        return;
    }

    require(size >= 32 && after.size() >= size, "a grouped package only grows");
    require(tables_apart(before), "/P refuses a package whose data table meets the header's fields or a name");
    require_names_and_fields_kept(before, after);
    const uint32_t count = get_u32(before, 16);
    const uint64_t rows_start = get_u32(before, 28), rows_end = rows_start + uint64_t{8} * count;
    for (size_t i = 0; i < size; i++)
        if (i < rows_start || i >= rows_end) require(after[i] == before[i], "only data rows change");
    for (uint32_t i = 0; i < count; i++) {
        FixtureRow old_row = get_row(before, i), new_row = get_row(after, i);
        // A refused name, a path past the limit or an ambiguous loose file
        // keeps its row; any other entry whose loose file is found gets a
        // copy of it, even when the new row happens to equal the old one.
        const ModelLookup lookup = model_lookup(before, i, loose);
        const fs::path path = loose / lookup.path;
        if (lookup.result != MODEL_FOUND) {
            require(old_row.offset == new_row.offset && old_row.size == new_row.size,
                    "a row without a loose file it may take keeps its place");
            continue;
        }
        require(new_row.offset >= size && uint64_t{new_row.offset} + new_row.size <= after.size(),
                "success means every row with a loose file points at appended bytes");
        require(Bytes(after.begin() + new_row.offset, after.begin() + new_row.offset + new_row.size) == read_file(path),
                "success means every row with a loose file points at a whole copy of it");
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    check_group(Bytes(data, data + size), false);
    check_group(well_formed_package(data, size, NAMES), true);
    return 0;
}
