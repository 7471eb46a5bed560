// Input meant to do harm, through the built tool: entry names that try to
// leave the folder, packages cut short at every length, links standing where
// expand would write.
#include <gtest/gtest.h>

#include <set>

#include "test_files.h"
#include "util/platform.h"

namespace {

enum NameOutcome {
    REFUSED,         // "Bad entry name", the entry is skipped
    FILE_BELOW,      // the loose file is `file` below the folder
    NAMES_A_FOLDER,  // the loose path is a folder: /E cannot create it, /P passes it over
};

struct NameCase {
    const char* what;
    std::string name;  // a std::string, so that any byte may stand in it
    NameOutcome outcome;
    std::string file;  // FILE_BELOW: the file; NAMES_A_FOLDER: a folder made beforehand for /P
    bool linux_only;   // an ordinary name on Linux; Windows treats it on its own terms
};

const NameCase NAME_CASES[] = {
    {"parent alone", "..", REFUSED, "", false},
    {"parent first, backslash", "..\\x", REFUSED, "", false},
    {"parent first, slash", "../x", REFUSED, "", false},
    {"parent inside, backslash", "a\\..\\x", REFUSED, "", false},
    {"parent inside, slash", "a/../x", REFUSED, "", false},
    {"parent last, backslash", "a\\..", REFUSED, "", false},
    {"parent last, slash", "a/..", REFUSED, "", false},
    {"parents with both separators", "a\\../..\\x", REFUSED, "", false},
    {"16 bytes of parents, no terminator", "..\\..\\..\\..\\..\\.", REFUSED, "", false},
    {"16 bytes, leading separator and parents", "/../../../../../", REFUSED, "", false},
    {"three dots", "...", FILE_BELOW, "...", true},
    {"dots around pieces", "..a\\b..", FILE_BELOW, "..a/b..", false},
    {"dot piece", ".\\z", FILE_BELOW, "z", false},
    {"leading backslash stays below the folder", "\\top", FILE_BELOW, "top", false},
    {"leading slash stays below the folder", "/etc/passwd", FILE_BELOW, "etc/passwd", true},
    {"empty pieces", "a\\\\\\b", FILE_BELOW, "a/b", false},
    {"separators only", "\\\\", NAMES_A_FOLDER, "", false},
    {"trailing separator", "dir\\", NAMES_A_FOLDER, "dir", false},
    {"dot alone", ".", NAMES_A_FOLDER, "", false},
    {"drive letter", "C:\\x", FILE_BELOW, "C:/x", true},
    {"colon", "a:b", FILE_BELOW, "a:b", true},
    {"device name", "CON", FILE_BELOW, "CON", true},
    {"device name with extension", "nul.txt", FILE_BELOW, "nul.txt", true},
    {"device name in a sub-folder", "y\\COM1", FILE_BELOW, "y/COM1", true},
    {"trailing dot and space", "name. ", FILE_BELOW, "name. ", true},
    {"control characters", "a\x01\tb\x1f\x7f", FILE_BELOW, "a\x01\tb\x1f\x7f", true},
    {"line feed", "two\nlines", FILE_BELOW, "two\nlines", true},
    {"8-bit bytes", "\xE9t\xE9\xFF", FILE_BELOW, "\xE9t\xE9\xFF", true},
};

bool skipped_here(const NameCase& c) {
#ifdef _WIN32
    return c.linux_only;
#else
    (void)c;
    return false;
#endif
}

// The loose path the tool forms and prints: the folder, a separator, then
// the name with each backslash and slash made the system's separator.
std::string loose_path(const fs::path& folder, const std::string& name) {
    std::string path = folder.string() + PATH_SEPARATOR;
    for (char c : name) path += c == '\\' || c == '/' ? PATH_SEPARATOR : c;
    return path;
}

// The line printed for the case's entry; `folder_message` starts it when
// the loose path names a folder, and null means no line then.
std::string entry_line(const NameCase& c, const fs::path& folder, const char* folder_message) {
    const std::string path = loose_path(folder, c.name) + "\n";
    if (c.outcome == REFUSED) return "Bad entry name " + path;
    if (c.outcome == FILE_BELOW) return path;
    return folder_message ? folder_message + path : "";
}

// Everything below `root`, files and folders, as paths relative to it.
std::set<fs::path> listing(const fs::path& root) {
    std::set<fs::path> paths;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root))
        paths.insert(entry.path().lexically_relative(root));
    return paths;
}

// A scratch folder with the folder of loose files two levels down, so that
// ".." pieces have somewhere to lead, and a decoy file named "x" at each
// level that such a piece would reach.
struct HostileFolders {
    ScratchFolder scratch;
    fs::path package = scratch / "pkg.dat";
    fs::path folder = scratch / "deep" / "folder";
    HostileFolders() {
        fs::create_directories(folder);
        for (const fs::path& level : {scratch.path, scratch / "deep", folder}) write_file(level / "x", bytes_of("decoy"));
    }
};

}  // namespace

TEST(HostileNames, ExpandWritesEachInsideTheFolderOrRefusesIt) {
    for (const NameCase& c : NAME_CASES) {
        if (skipped_here(c)) continue;
        SCOPED_TRACE(c.what);
        HostileFolders f;
        write_file(f.package, build_package({{c.name, bytes_of("hostile")}, {"fine", bytes_of("fine")}}));
        const std::set<fs::path> before = listing(f.scratch.path);
        ToolRun run = run_tool({"/E", f.package.string(), f.folder.string()}, f.scratch.path);

        EXPECT_EQ(run.output, entry_line(c, f.folder, "Can't create file ") + (f.folder / "fine").string() + "\n");
        EXPECT_EQ(run.status, c.outcome == FILE_BELOW ? 0 : 255);
        EXPECT_EQ(text_of(read_file(f.folder / "fine")), "fine");
        if (c.outcome == FILE_BELOW) {
            EXPECT_EQ(text_of(read_file(f.folder / c.file)), "hostile");
        }
        std::set<fs::path> files_written;
        for (const fs::path& added : listing(f.scratch.path))
            if (!before.count(added)) {
                const fs::path inside = (f.scratch.path / added).lexically_relative(f.folder);
                EXPECT_TRUE(!inside.empty() && *inside.begin() != "..") << "outside the folder: " << added;
                if (fs::is_regular_file(f.scratch.path / added)) files_written.insert(added);
            }
        EXPECT_EQ(files_written.size(), c.outcome == FILE_BELOW ? 2u : 1u);
    }
}

TEST(HostileNames, GroupReadsEachFromInsideTheFolderOrRefusesIt) {
    for (const NameCase& c : NAME_CASES) {
        if (skipped_here(c)) continue;
        SCOPED_TRACE(c.what);
        HostileFolders f;
        const Bytes old_package = build_package({{c.name, bytes_of("old")}, {"fine", bytes_of("old")}});
        write_file(f.package, old_package);
        write_file(f.folder / "fine", bytes_of("fine"));
        if (c.outcome == FILE_BELOW) {
            fs::create_directories((f.folder / c.file).parent_path());
            write_file(f.folder / c.file, bytes_of("hostile"));
        }
        if (c.outcome == NAMES_A_FOLDER && !c.file.empty()) fs::create_directory(f.folder / c.file);
        const std::set<fs::path> before = listing(f.scratch.path);
        ToolRun run = run_tool({"/P", f.package.string(), f.folder.string()}, f.scratch.path);

        EXPECT_EQ(run.output, entry_line(c, f.folder, nullptr) + (f.folder / "fine").string() + "\n");
        // A refused name is passed over with its message, and fails the run.
        EXPECT_EQ(run.status, c.outcome == REFUSED ? 255 : 0);
        // Only the entry's own loose file may have been read: no decoy.
        const Bytes now = read_file(f.package);
        ASSERT_GE(now.size(), old_package.size());
        EXPECT_EQ(text_of(Bytes(now.begin() + static_cast<long>(old_package.size()), now.end())),
                  (c.outcome == FILE_BELOW ? "hostile" : "") + std::string("fine"));
        EXPECT_EQ(get_row(now, 0).offset != get_row(old_package, 0).offset, c.outcome == FILE_BELOW);
        EXPECT_EQ(listing(f.scratch.path), before);
    }
}

// Every cut either leaves a sound package, whose entries inside the cut are
// handled as usual, or is refused with "Bad package file" and nothing
// written; an entry whose bytes the cut removed is refused on its own.
TEST(CutPackage, EveryLengthWorksOrIsRefusedCleanly) {
    const std::vector<FixtureEntry> entries = {
        {"one", bytes_of("first entry")}, {"sub\\two", bytes_of("second")}, {"three", {}}};
    const Bytes whole = build_package(entries);
    const uint32_t block_size = get_u32(whole, 28) + 8 * static_cast<uint32_t>(entries.size());
    const std::vector<std::string> names = {"one", "sub/two", "three"};
    ScratchFolder scratch;
    const fs::path package = scratch / "pkg.dat", out = scratch / "out", loose = scratch / "loose";
    fs::create_directories(loose / "sub");
    for (size_t i = 0; i < names.size(); i++) write_file(loose / names[i], bytes_of("new " + std::to_string(i)));

    for (size_t length = 0; length <= whole.size(); length++) {
        SCOPED_TRACE(length);
        const Bytes cut(whole.begin(), whole.begin() + static_cast<long>(length));
        const std::string refused = "Bad package file " + package.string() + "\n";
        write_file(package, cut);
        fs::remove_all(out);
        ToolRun run = run_tool({"/E", package.string(), out.string()}, scratch.path);
        if (length < block_size) {
            EXPECT_EQ(run.status, 255);
            EXPECT_EQ(run.output, refused);
            EXPECT_FALSE(fs::exists(out));
        } else {
            std::string output;
            bool all_inside = true;
            for (size_t i = 0; i < entries.size(); i++) {
                const FixtureRow row = get_row(whole, static_cast<uint32_t>(i));
                // An empty entry needs no bytes of the package.
                const bool inside = row.size == 0 || row.offset + row.size <= length;
                all_inside = all_inside && inside;
                output += (inside ? "" : "Bad entry data ") + native(out / names[i]) + "\n";
                EXPECT_EQ(fs::exists(out / names[i]), inside) << names[i];
                if (inside) {
                    EXPECT_EQ(read_file(out / names[i]), entries[i].data) << names[i];
                }
            }
            EXPECT_EQ(run.output, output);
            EXPECT_EQ(run.status, all_inside ? 0 : 255);
        }

        run = run_tool({"/P", package.string(), loose.string()}, scratch.path);
        if (length < block_size) {
            EXPECT_EQ(run.status, 255);
            EXPECT_EQ(run.output, refused);
            EXPECT_EQ(read_file(package), cut);
            continue;
        }
        Bytes expected = cut;
        std::string output;
        for (size_t i = 0; i < names.size(); i++) {
            const Bytes copy = bytes_of("new " + std::to_string(i));
            put_u32(expected, get_u32(whole, 28) + 8 * i, static_cast<uint32_t>(expected.size()));
            put_u32(expected, get_u32(whole, 28) + 8 * i + 4, static_cast<uint32_t>(copy.size()));
            expected.insert(expected.end(), copy.begin(), copy.end());
            output += native(loose / names[i]) + "\n";
        }
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.output, output);
        EXPECT_EQ(read_file(package), expected);
    }
}

#ifndef _WIN32
// Links made beforehand where expand writes: none is written through, and
// nothing appears at the place a link points to. (A dangling link at the
// output path itself is in expand_test.cpp.)
TEST(HostileLinks, ExpandNeverWritesThroughALink) {
    struct LinkCase {
        const char* what;
        const char* link;     // below the output folder
        const char* target;   // below the scratch folder; made as a file, a folder, or left missing
        const char* made_as;  // "file", "folder" or "missing"
        const char* entry;
        const char* message;  // before the entry's path
        int status;
    };
    const LinkCase cases[] = {
        {"link to a file outside", "f", "outside.txt", "file", "f", "File ", 0},
        {"link to a folder outside", "f", "elsewhere", "folder", "f", "Can't create file ", 255},
        {"dangling link in place of a sub-folder", "sub", "elsewhere", "missing", "sub\\f", "Can't create file ", 255},
    };
    for (const LinkCase& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchFolder scratch;
        const fs::path out = scratch / "out", target = scratch / c.target;
        fs::create_directory(out);
        if (std::string(c.made_as) == "file") write_file(target, bytes_of("kept"));
        if (std::string(c.made_as) == "folder") fs::create_directory(target);
        fs::create_symlink(target, out / c.link);
        write_file(scratch / "pkg.dat", build_package({{c.entry, bytes_of("payload")}}));
        const std::set<fs::path> before = listing(scratch.path);

        ToolRun run = run_tool({"/E", (scratch / "pkg.dat").string(), out.string()}, scratch.path);
        const std::string path = loose_path(out, c.entry);
        EXPECT_EQ(run.output, c.message + path + (c.status == 0 ? " alredy exists\n" : "\n"));
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(listing(scratch.path), before);
        if (std::string(c.made_as) == "file") {
            EXPECT_EQ(text_of(read_file(target)), "kept");
        }
    }
}
#endif
