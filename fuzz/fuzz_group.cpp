// Fuzz target: the group operation on an arbitrary package, in a scratch
// folder that holds a few loose files, some in sub-folders, and a file just
// outside the loose folder that no entry may reach.
#include <algorithm>
#include <cstdlib>
#include <cstring>

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
    const uint32_t count = get_u32(before, 16);
    const uint64_t rows_start = get_u32(before, 28), rows_end = rows_start + uint64_t{8} * count;
    for (size_t i = 0; i < size; i++)
        if (i < rows_start || i >= rows_end) require(after[i] == before[i], "only data rows change");
    // The tool reads each name from its copy of the directory block, in
    // which the rows before it have been rewritten already, and a name row
    // may overlap the data table: the names are read the same way here.
    Bytes block = before;
    const size_t names_start = get_u32(before, 20);
    for (uint32_t i = 0; i < count; i++) {
        FixtureRow old_row = get_row(before, i), new_row = get_row(after, i);
        const char* name_row = reinterpret_cast<const char*>(&block.at(names_start + size_t{24} * i));
        std::string name(name_row, strnlen(name_row, 16));
        std::copy(after.begin() + rows_start + 8 * i, after.begin() + rows_start + 8 * i + 8,
                  block.begin() + rows_start + 8 * i);
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
