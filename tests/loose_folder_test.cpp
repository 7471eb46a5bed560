// What the loose folder holds beyond the entries' exact paths: files no
// entry names, which /L lists, and names that differ from an entry's only in
// letter case, which /P, /U and /L find as Windows would.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <algorithm>
#include <string>
#include <vector>

#include "test_files.h"

// What stands at a path of a layout: a file with its own bytes, a folder, a
// link to `target` (relative to the link), or a pipe.
enum LayoutKind { FILE_ITEM, FOLDER_ITEM, LINK_ITEM, PIPE_ITEM };

struct LayoutItem {
    std::string path;  // below the loose folder, '/' between folders
    LayoutKind kind = FILE_ITEM;
    std::string target = "";
};

struct LayoutCase {
    const char* title;
    std::vector<std::string> entries;
    std::vector<LayoutItem> items;
    // Per entry: the path its loose file is found at, "" for none, "?" for
    // an ambiguous one.
    std::vector<std::string> found;
    // The listing's lines between the entries and the summary, without
    // their blank columns.
    std::vector<std::string> untracked;
    bool package_inside = false;
};

static const std::string LONG_PIECE(60, 'l');

static const LayoutCase LAYOUT_CASES[] = {
    {"untracked files at every depth, and a name past 16 bytes",
     {"a.txt", "sub\\b.txt"},
     {{"a.txt"}, {"sub/b.txt"}, {"new.txt"}, {"sub/new.txt"}, {"sub/deep/er/new.bin"},
      {"abcdefghijklmnopq.txt"}, {"empty", FOLDER_ITEM}},
     {"a.txt", "sub/b.txt"},
     {"? abcdefghijklmnopq.txt", "? new.txt", "? sub\\deep\\er\\new.bin", "? sub\\new.txt"}},
    {"a file whose path passes the limit",
     {"a.txt"},
     {{"a.txt"}, {LONG_PIECE + "/" + LONG_PIECE + "/" + LONG_PIECE + "/" + LONG_PIECE + "/f.txt"}},
     {"a.txt"},
     {"? " + LONG_PIECE + "\\" + LONG_PIECE + "\\" + LONG_PIECE + "\\" + LONG_PIECE + "\\f.txt"}},
    {"links, a pipe and the package itself",
     {"a.txt"},
     {{"a.txt"}, {"real/r.txt"}, {"link.txt", LINK_ITEM, "a.txt"}, {"linked", LINK_ITEM, "real"},
      {"dangling", LINK_ITEM, "nowhere"}, {"pipe", PIPE_ITEM}},
     {"a.txt"},
     {"? link.txt", "? real\\r.txt"},
     true},
    {"an exact match beside a case variant", {"map.txt"}, {{"map.txt"}, {"MAP.txt"}}, {"map.txt"}, {"? MAP.txt"}},
    {"a case variant alone at the file level", {"d002\\f00002.bin"}, {{"d002/F00002.bin"}}, {"d002/F00002.bin"}, {}},
    {"a case variant alone at a folder level", {"Maps\\forest.map"}, {{"maps/forest.map"}}, {"maps/forest.map"}, {}},
    {"a file that one entry names exactly is not another's variant",
     {"A.TXT", "a.txt"},
     {{"a.txt"}},
     {"", "a.txt"},
     {}},
    {"an ambiguous pair", {"map.txt"}, {{"Map.txt"}, {"MAP.txt"}}, {"?"}, {"? MAP.txt", "? Map.txt"}},
    {"a variant that two entries claim", {"B.txt", "b.TXT"}, {{"b.txt"}}, {"?", "?"}, {"? b.txt"}},
    {"names that lower alike but reach a file each, by the folder written as it stands",
     {"Maps\\X", "maps\\X"},
     {{"Maps/x"}, {"maps/x"}},
     {"Maps/x", "maps/x"},
     {}},
    {"names whose lookups reach one file through variant folders, beside a pair that reaches two",
     {"SOUNDS\\X", "sounds\\x", "maps\\Y", "MAPS\\y"},
     {{"Sounds/x"}, {"maps/y"}, {"MAPS/Y"}},
     {"?", "?", "maps/y", "MAPS/Y"},
     {"? Sounds\\x"}},
    {"a variant that two entries of one name share, and a third name claims",
     {"Map.txt", "Map.txt", "Key.txt", "Key.txt", "KEY.txt"},
     {{"map.txt"}, {"key.txt"}},
     {"map.txt", "map.txt", "?", "?", "?"},
     {"? key.txt"}},
    {"a name that ends in a separator or in \".\" names a folder, which no file answers",
     {"Map.txt\\", "Map.txt\\.", "X.TXT", "x.txt\\"},
     {{"map.TXT"}, {"MAP.txt"}, {"x.txt"}},
     {"", "", "x.txt", ""},
     {"? MAP.txt", "? map.TXT"}},
    {"a folder is no variant of a file",
     {"x.txt"},
     {{"X.TXT/in.txt"}, {"x.TXT"}},
     {"x.TXT"},
     {"? X.TXT\\in.txt"}},
};

struct LooseFolderTest : ::testing::Test {
    ScratchFolder scratch;
    fs::path folder = scratch / "loose";

    ToolRun tool(const std::string& option, const fs::path& package) {
        return run_tool({option, package.string(), folder.string()}, scratch.path);
    }

    static Bytes loose_bytes(const std::string& path) { return bytes_of("loose " + path); }

    void make_layout(const std::vector<LayoutItem>& items) {
        fs::create_directories(folder);
        for (const LayoutItem& item : items) {
            fs::path where = folder / item.path;
            fs::create_directories(where.parent_path());
            if (item.kind == FILE_ITEM) write_file(where, loose_bytes(item.path));
            if (item.kind == FOLDER_ITEM) fs::create_directories(where);
            if (item.kind == LINK_ITEM) fs::create_symlink(item.target, where);
#ifndef _WIN32
            if (item.kind == PIPE_ITEM) {
                ASSERT_EQ(mkfifo(where.c_str(), 0600), 0);
            }
#endif
        }
    }
};

// The part of each line after the mark and the blank columns: the name.
static std::vector<std::string> lines_of(const std::string& output) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < output.size()) {
        size_t end = output.find('\n', start);
        lines.push_back(output.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

TEST_F(LooseFolderTest, LayoutsAgainstListGroupAndUpdate) {
    SKIP_ON_WINDOWS("letter case, links and pipes are checked on a file system that tells case apart");
    for (const LayoutCase& c : LAYOUT_CASES) {
        SCOPED_TRACE(c.title);
        fs::remove_all(folder);
        make_layout(c.items);
        std::vector<FixtureEntry> entries;
        for (const std::string& name : c.entries) entries.push_back({name, bytes_of("entry " + name)});
        const Bytes original = build_package(entries);
        const fs::path package = c.package_inside ? folder / "pkg.dpk" : scratch / "pkg.dpk";

        // The listing: each entry's mark, then the untracked lines.
        write_file(package, original);
        ToolRun listed = tool("/L", package);
        std::vector<std::string> lines = lines_of(listed.output);
        ASSERT_EQ(lines.size(), c.entries.size() + c.untracked.size() + 1) << listed.output;
        bool any_bad = false;
        for (size_t i = 0; i < c.entries.size(); i++) {
            const char mark = c.found[i] == "?" ? '!' : c.found[i].empty() ? '-' : 'M';
            any_bad |= mark == '!';
            EXPECT_EQ(lines[i][0], mark) << lines[i];
        }
        for (size_t i = 0; i < c.untracked.size(); i++) {
            const std::string& line = lines[c.entries.size() + i];
            const std::string expected = c.untracked[i].substr(0, 2) + std::string(22, ' ') + c.untracked[i].substr(2);
            EXPECT_EQ(line, expected);
            any_bad |= line[0] == '!';
        }
        EXPECT_EQ(listed.status, any_bad ? 255 : 0);

        // /P and /U append the same files (every one differs from its
        // entry), printing each as it is found, and skip an ambiguous one.
        for (const char* option : {"/P", "/U"}) {
            SCOPED_TRACE(option);
            write_file(package, original);
            ToolRun grouped = tool(option, package);
            std::string expected_output;
            bool ambiguous = false;
            for (size_t i = 0; i < c.entries.size(); i++) {
                if (c.found[i] == "?") {
                    std::string exact = c.entries[i];
                    std::replace(exact.begin(), exact.end(), '\\', '/');
                    expected_output += "Ambiguous loose file " + native(folder / exact) + "\n";
                    ambiguous = true;
                } else if (!c.found[i].empty()) {
                    expected_output += native(folder / c.found[i]) + "\n";
                }
            }
            EXPECT_EQ(grouped.output, expected_output);
            EXPECT_EQ(grouped.status, ambiguous ? 255 : 0);
            const Bytes now = read_file(package);
            for (size_t i = 0; i < c.entries.size(); i++) {
                const FixtureRow row = get_row(now, static_cast<uint32_t>(i));
                const Bytes held(now.begin() + row.offset, now.begin() + row.offset + row.size);
                const bool appended = c.found[i] != "?" && !c.found[i].empty();
                EXPECT_TRUE(held == (appended ? loose_bytes(c.found[i]) : entries[i].data)) << c.entries[i];
            }
        }
    }
}

// The edit cycle of a new user: an edit, a new file and a rename to other
// letter case are each seen, and /U takes the edit and the renamed file.
TEST_F(LooseFolderTest, EditNewFileAndRenameAreAllSeen) {
    SKIP_ON_WINDOWS("the rename to other letter case needs a file system that tells case apart");
    std::vector<FixtureEntry> entries;
    for (int i = 1; i <= 5; i++) {
        char name[32];
        snprintf(name, sizeof name, "d%03d\\f%05d.bin", i, i);
        entries.push_back({name, pattern_bytes(8192, static_cast<unsigned>(i))});
    }
    const fs::path package = scratch / "pkg";
    write_file(package, build_package(entries));
    ASSERT_EQ(tool("/E", package).status, 0);
    Bytes edited = read_file(folder / "d001/f00001.bin");
    edited[100] ^= 1;
    write_file(folder / "d001/f00001.bin", edited);
    write_file(folder / "newfile.txt", bytes_of("new"));
    fs::rename(folder / "d002/f00002.bin", folder / "d002/F00002.bin");
    Bytes renamed = read_file(folder / "d002/F00002.bin");
    renamed.push_back('!');
    write_file(folder / "d002/F00002.bin", renamed);

    ToolRun listed = tool("/L", package);
    EXPECT_EQ(listed.status, 0);
    std::vector<std::string> lines = lines_of(listed.output);
    ASSERT_EQ(lines.size(), 7u) << listed.output;
    EXPECT_EQ(std::string(1, lines[0][0]) + lines[1][0] + lines[2][0] + lines[3][0] + lines[4][0], "MM===");
    EXPECT_EQ(lines[5], "?                       newfile.txt");
    EXPECT_EQ(lines[6], "5 entries, " + std::to_string(fs::file_size(package)) + " bytes, 0 unreferenced, 2 changed");

    ToolRun updated = tool("/U", package);
    EXPECT_EQ(updated.status, 0);
    EXPECT_EQ(updated.output, native(folder / "d001/f00001.bin") + "\n" + native(folder / "d002/F00002.bin") + "\n");
    EXPECT_NE(tool("/L", package).output.find(", 0 changed\n"), std::string::npos);
}

// On every system: the listing names what no entry names, below the folder
// and at every depth, and passes over the package, the files entries take
// (here one under other letter case, which Windows finds by itself) and
// folders.
TEST_F(LooseFolderTest, ListNamesTheFilesNoEntryNames) {
    const fs::path package = folder / "pkg.dpk";
    make_layout({{"a.txt"}, {"sub/b.txt"}, {"sub/new.txt"}, {"new.txt"}, {"sub/deeper/more.bin"}, {"empty", FOLDER_ITEM}});
    write_file(package, build_package({{"a.txt", bytes_of("old")}, {"SUB\\B.TXT", bytes_of("old")}}));
    ToolRun listed = tool("/L", package);
    EXPECT_EQ(listed.status, 0);
    std::vector<std::string> lines = lines_of(listed.output);
    ASSERT_EQ(lines.size(), 6u) << listed.output;
    EXPECT_EQ(lines[0].substr(0, 2) + lines[1].substr(0, 2), "M M ");
    EXPECT_EQ(lines[2], "?                       new.txt");
    EXPECT_EQ(lines[3], "?                       sub\\deeper\\more.bin");
    EXPECT_EQ(lines[4], "?                       sub\\new.txt");
}
