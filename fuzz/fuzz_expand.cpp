// Fuzz target: the expand operation on an arbitrary package into a scratch
// folder, with no terminal, so a file that exists already never waits; then
// on a well-formed package built from the same bytes, which it must accept.
#include <cstdlib>
#include <map>

#include "fuzz_support.h"
#include "package/expand.h"
#include "package/package_state.h"
#include "write_guard.h"

static ScratchFolder* scratch;
static fs::path work, package, out;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    start_fuzzing();
    scratch = new ScratchFolder;
    work = *scratch / "work";
    package = work / "pkg.dat";
    out = work / "out";
    fs::create_directory(work);
    // Expand writes below its folder and nowhere else, not even the package.
    write_guard_allow(out.string(), "");
    atexit([] { delete scratch; });
    return 0;
}

// Names of files in the folder and below it, none of them a folder's name.
static const std::vector<std::string> NAMES = {"a", "A", "b.txt", "sub\\c", "sub\\d\\e", "0123456789abcdef", "x/y"};

// Expands `before` and checks the result; `sound` requires the run to
// succeed.
static void check_expand(const Bytes& before, bool sound) {
    const size_t size = before.size();
    write_file(package, before);
    fs::remove_all(out);
    start_run(package, out);
    int opened = open_package_mapped();
    int expanded = opened && expand_package(package_state.folder_path);
    end_run();
    require(expanded || !sound, "/E accepts a well-formed package");
    require_only(scratch->path, {"work"});
    require_only(work, {"pkg.dat", "out"});
    if (!opened) {
        require(!fs::exists(out), "a package that cannot be opened writes nothing");
        return;
    }

    // What each output file must hold: the bytes of the first entry of its
    // name that can be written (a later one finds the file there already,
    // whether its own row is sound or not). An empty entry needs no bytes.
    std::map<fs::path, Bytes> expected;
    bool all_writable = true;
    for (uint32_t i = 0; i < get_u32(before, 16); i++) {
        std::string name = entry_name(before, i);
        FixtureRow row = get_row(before, i);
        if (has_parent_piece(name)) {
            all_writable = false;
            continue;
        }
        fs::path path = fs::path(below(out.string(), name)).lexically_normal();
        bool inside = row.size == 0 || uint64_t{row.offset} + row.size <= size;
        if (!inside) {
            all_writable = all_writable && expected.count(path) != 0;
            continue;
        }
        expected.emplace(path, row.size == 0 ? Bytes() : Bytes(before.begin() + row.offset,
                                                                   before.begin() + row.offset + row.size));
    }
    require(!expanded || all_writable, "a refused entry makes the run fail");
    if (fs::exists(out))
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(out)) {
            if (entry.is_directory() && !entry.is_symlink()) continue;
            require(entry.is_regular_file() && !entry.is_symlink(), "only files and folders are made");
            auto wanted = expected.find(entry.path().lexically_normal());
            require(wanted != expected.end(), "every file written belongs to an entry");
            require(read_file(entry.path()) == wanted->second, "every file written holds its entry's bytes");
        }
    if (expanded)
        for (const auto& file : expected) require(fs::is_regular_file(file.first), "success means every entry's file is there");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    check_expand(Bytes(data, data + size), false);
    check_expand(well_formed_package(data, size, NAMES), true);
    return 0;
}
