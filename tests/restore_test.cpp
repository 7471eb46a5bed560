// Taking some entries back out of a package: which entries a name selects,
// one entry to standard output (/O), and bringing the folder in step with
// the package (/R).
#include <gtest/gtest.h>

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
