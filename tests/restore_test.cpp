// Taking some entries back out of a package: which entries a name selects,
// one entry to standard output (/O), and bringing the folder in step with
// the package (/R).
#include <gtest/gtest.h>

#include <cstring>

#include "package/entry_match.h"
#include "test_files.h"

TEST(EntryMatch, NamesFoldersAndPatterns) {
    struct Case {
        const char* given;
        const char* entry;
        int matches;
    };
    const Case cases[] = {
        {"a.txt", "a.txt", 1},           {"A.TXT", "a.txt", 1},          {"a.txt", "a.tx", 0},
        {"a.tx", "a.txt", 0},            {"maps", "maps\\a.map", 1},     {"MAPS/", "maps\\a.map", 1},
        {"map", "maps\\a.map", 0},       {"maps\\a", "maps\\a.map", 0},  {"maps/a.map", "maps\\a.map", 1},
        {"maps\\a.map", "maps/a.map", 1}, {"a", "a\\b\\c", 1},            {"a/b", "a\\b\\c", 1},
        {"MAPS/*.MAP", "maps\\one.map", 1}, {"*.map", "maps\\one.map", 1}, {"*.map", "maps\\one.mapx", 0},
        {"m?ps\\*", "maps\\x", 1},       {"?", "ab", 0},                 {"??", "ab", 1},
        {"*", "", 1},                    {"", "", 1},                    {"", "a", 0},
        {"a*b*c", "axxbyyc", 1},         {"a*b*c", "axxbyy", 0},         {"*a*a*a*a*b", "aaaaaaaaaaaaaaaa", 0},
        {"\xC4", "\xE4", 0},             {"[a]", "a", 0},                {"a\\", "a", 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(name_matches_entry(c.given, c.entry), c.matches) << c.given << " / " << c.entry;
}

// Every byte value, line ends of both systems and the byte that ends a
// text stream on Windows, so that any conversion on the way shows.
static Bytes binary_bytes() {
    Bytes bytes;
    for (int i = 0; i < 256; i++) bytes.push_back(static_cast<unsigned char>(i));
    for (const char* tail : {"\r\n", "\n", "\x1a", "\r"}) bytes.insert(bytes.end(), tail, tail + strlen(tail));
    return bytes;
}

TEST(OutputEntry, WritesTheBytesOfOneEntryAndNothingElse) {
    ScratchFolder scratch;
    const Bytes level = binary_bytes(), big = pattern_bytes(300 << 10, 7);
    Bytes package = build_package({{"maps\\level1.map", level},
                                   {"maps\\level2.map", bytes_of("two")},
                                   {"a.bin", bytes_of("first")},
                                   {"a.bin", bytes_of("second")},
                                   {"Big", big},
                                   {"empty", {}},
                                   {"gone", bytes_of("x")}});
    set_row(package, 6, {static_cast<uint32_t>(package.size()), 1});
    write_file(scratch / "game.dpk", package);
    struct Case {
        std::string name;
        int status;
        Bytes output;
        std::string errors;
    };
    const std::vector<Case> cases = {
        {"maps/level1.map", 0, level, ""},
        {"MAPS\\LEVEL1.MAP", 0, level, ""},
        {"maps/*1.map", 0, level, ""},
        {"a.bin", 0, bytes_of("first"), ""},
        {"big", 0, big, ""},
        {"empty", 0, {}, ""},
        {"maps", 255, {}, "Several entries match maps\n"},
        {"*", 255, {}, "Several entries match *\n"},
        {"map", 255, {}, "No entry matches map\n"},
        {"gone", 255, {}, "Bad entry data gone\n"},
    };
    for (const Case& c : cases) {
        ToolRun run = run_tool_split({"/O", "game.dpk", c.name}, scratch.path);
        EXPECT_EQ(run.status, c.status) << c.name;
        EXPECT_TRUE(Bytes(run.raw_output.begin(), run.raw_output.end()) == c.output) << c.name;
        EXPECT_EQ(run.error_output, c.errors) << c.name;
    }
    ToolRun missing = run_tool_split({"/o", "none.dpk", "a.bin"}, scratch.path);
    EXPECT_EQ(missing.status, 255);
    EXPECT_EQ(missing.output, "");
    EXPECT_EQ(missing.error_output, "Can't open dir file " + native(scratch / "none.dpk") + "\n");
    EXPECT_EQ(read_file(scratch / "game.dpk"), package);
}
