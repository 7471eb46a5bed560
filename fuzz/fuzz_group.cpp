// Fuzz target: the group operation on an arbitrary package, in a scratch
// folder that holds a few loose files, some in sub-folders, and a file just
// outside the loose folder that no entry may reach.
#include <cstdlib>

#include "fuzz_support.h"
#include "package/group.h"
#include "util/platform.h"
#include "write_guard.h"

static ScratchFolder* scratch;
static fs::path work, package, loose;

static const std::vector<LooseFile> LOOSE_FILES = {{"a", "alpha"},
                   {"empty", ""},
                   {"sub/b", "bravo bytes"},
                   {"sub/deeper/c", "charlie"},
                   {"0123456789abcdef", "sixteen"}};

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    start_fuzzing();
    scratch = new ScratchFolder;
    work = *scratch / "work";
    package = work / "pkg.dat";
    loose = work / "loose";
    write_loose_files(loose, LOOSE_FILES);
    write_file(*scratch / "secret", bytes_of("outside the loose folder"));
    // Group writes the package and nothing else, not even a loose file.
    write_guard_allow("", package.string());
    atexit([] { delete scratch; });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Bytes before(data, data + size);
    write_file(package, before);
    start_run(package, loose);
    int grouped = group_package();
    end_run();
    const Bytes after = read_file(package);
    require_only(scratch->path, {"work", "secret"});
    require_only(work, {"pkg.dat", "loose"});
    if (!grouped) {
        require(after == before, "a failed group leaves the package as it was");
        return 0;
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
        const std::string name = entry_name(before, i);
        fs::path path = below(loose.string(), name);
        // A refused name or a path past the limit keeps its row; any other
        // entry whose loose file is there gets a copy of it, even when the
        // new row happens to equal the old one.
        bool refused = has_parent_piece(name) || path.string().size() >= PATH_LIMIT;
        bool found = !refused && fs::is_regular_file(path);
        if (!found) {
            require(old_row.offset == new_row.offset && old_row.size == new_row.size,
                    "a row without a loose file it may take keeps its place");
            continue;
        }
        require(new_row.offset >= size && uint64_t{new_row.offset} + new_row.size <= after.size(),
                "success means every row with a loose file points at appended bytes");
        require(Bytes(after.begin() + new_row.offset, after.begin() + new_row.offset + new_row.size) == read_file(path),
                "success means every row with a loose file points at a whole copy of it");
    }
    return 0;
}
