// Taking some entries back out of a package: which entries a name selects,
// one entry to standard output (/O), and bringing the folder in step with
// the package (/R).
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <set>

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

// One /R run: the package's entries, what stands in the folder before it,
// the names given, and what the run must print, end with and leave.
struct RestoreCase {
    const char* title;
    std::vector<FixtureEntry> entries;
    std::function<void(const fs::path& folder)> before;
    std::vector<std::string> names;
    int status;
    std::vector<std::string> lines;  // "@x" is the native path of folder/x
    std::map<std::string, std::string> after;  // files below the folder, by path; "" for none
    bool posix_only;
    std::function<void(Bytes& package)> reshape = nullptr;  // rows changed after the package is built
    std::function<void(const fs::path& folder)> check = nullptr;  // more to require of the folder afterwards
};

static std::string expand_line(const std::string& line, const fs::path& folder) {
    return line.rfind('@', 0) == 0 ? native(folder / line.substr(1)) : line;
}

static void put(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    write_file(file, bytes_of(text));
}

static void age(const fs::path& file) {
    fs::last_write_time(file, fs::last_write_time(file) - std::chrono::hours(1));
}

TEST(Restore, EachSelectedLooseFileHoldsItsEntryAfterwards) {
    const std::vector<FixtureEntry> game = {{"a.txt", bytes_of("alpha")},
                                            {"maps\\one.map", bytes_of("one")},
                                            {"maps\\two.map", bytes_of("two")},
                                            {"music.ogg", bytes_of("music")}};
    auto expanded = [](const fs::path& folder) {
        put(folder / "a.txt", "alpha");
        put(folder / "maps/one.map", "one");
        put(folder / "maps/two.map", "two");
        put(folder / "music.ogg", "music");
    };
    auto edited = [expanded](const fs::path& folder) {
        expanded(folder);
        put(folder / "a.txt", "edited");
        put(folder / "maps/one.map", "1");
        put(folder / "maps/two.map", "2");
    };
    const std::vector<RestoreCase> cases = {
        {"into an empty folder", game, [](const fs::path&) {}, {}, 0,
         {"@a.txt", "@maps/one.map", "@maps/two.map", "@music.ogg"},
         {{"a.txt", "alpha"}, {"maps/one.map", "one"}, {"music.ogg", "music"}}, false},
        {"an unchanged folder", game, expanded, {}, 0, {}, {{"a.txt", "alpha"}}, false},
        {"edits thrown away", game, edited, {}, 0, {"@a.txt", "@maps/one.map", "@maps/two.map"},
         {{"a.txt", "alpha"}, {"maps/one.map", "one"}, {"maps/two.map", "two"}}, false},
        {"a missing file among equal ones", game,
         [expanded](const fs::path& folder) {
             expanded(folder);
             fs::remove(folder / "maps/two.map");
         },
         {}, 0, {"@maps/two.map"}, {{"maps/two.map", "two"}}, false},
        {"a folder named", game, edited, {"MAPS"}, 0, {"@maps/one.map", "@maps/two.map"},
         {{"a.txt", "edited"}, {"maps/one.map", "one"}, {"maps/two.map", "two"}}, false},
        {"a name and a pattern", game, edited, {"a.TXT", "maps/*E.MAP"}, 0, {"@a.txt", "@maps/one.map"},
         {{"a.txt", "alpha"}, {"maps/one.map", "one"}, {"maps/two.map", "2"}}, false},
        {"a name that matches nothing", game, edited, {"nothing", "a.txt"}, 255,
         {"No entry matches nothing", "@a.txt"}, {{"a.txt", "alpha"}, {"maps/one.map", "1"}}, false},
        {"a read-only file", game,
         [edited](const fs::path& folder) {
             edited(folder);
             fs::permissions(folder / "a.txt", fs::perms::owner_read | fs::perms::group_read);
         },
         {"a.txt"}, 0, {"@a.txt"}, {{"a.txt", "alpha"}}, false, nullptr,
         [](const fs::path& folder) {
             // The new file keeps the bits (on Windows: the read-only attribute).
             const fs::perms bits = fs::status(folder / "a.txt").permissions();
             EXPECT_EQ(bits & fs::perms::owner_write, fs::perms::none);
#ifndef _WIN32
             EXPECT_EQ(bits & fs::perms::all, fs::perms::owner_read | fs::perms::group_read);
#endif
         }},
        {"a folder where a file should be", game,
         [expanded](const fs::path& folder) {
             expanded(folder);
             fs::remove(folder / "a.txt");
             fs::create_directories(folder / "a.txt/inside");
         },
         {}, 255, {"Can't create file @a.txt"}, {{"a.txt/inside", ""}}, false},
        {"a variant in letter case", {{"Maps\\One.map", bytes_of("one")}},
         [](const fs::path& folder) { put(folder / "maps/one.MAP", "1"); }, {}, 0,
         {"@maps/one.MAP"}, {{"maps/one.MAP", "one"}, {"Maps/One.map", ""}}, true},
        {"two variants in letter case", {{"one", bytes_of("one")}},
         [](const fs::path& folder) {
             put(folder / "ONE", "1");
             put(folder / "One", "2");
         },
         {}, 255, {"Ambiguous loose file @one"}, {{"ONE", "1"}, {"One", "2"}, {"one", ""}}, true},
        {"a link to a file outside", game,
         [expanded](const fs::path& folder) {
             expanded(folder);
             put(folder / "../outside", "outside");
             fs::remove(folder / "a.txt");
             fs::create_symlink("../outside", folder / "a.txt");
         },
         {}, 0, {"@a.txt"}, {{"a.txt", "alpha"}, {"../outside", "outside"}}, true},
        {"a dangling link", game,
         [expanded](const fs::path& folder) {
             expanded(folder);
             fs::remove(folder / "a.txt");
             fs::create_symlink("../nowhere", folder / "a.txt");
         },
         {}, 0, {"@a.txt"}, {{"a.txt", "alpha"}, {"../nowhere", ""}}, true},
        {"a hard link to a file that differs", game,
         [edited](const fs::path& folder) {
             edited(folder);
             fs::create_hard_link(folder / "a.txt", folder / "../kept");
         },
         {"a.txt"}, 0, {"@a.txt"}, {{"a.txt", "alpha"}, {"../kept", "edited"}}, true},
        {"rows that overlap", {{"a", bytes_of("abcdef")}, {"b", bytes_of("xyz")}},
         [](const fs::path& folder) { put(folder / "b", "xyz"); }, {}, 0, {"@a", "@b"},
         {{"a", "abcdef"}, {"b", "cde"}}, false,
         [](Bytes& package) { set_row(package, 1, {get_row(package, 0).offset + 2, 3}); }},
        {"a row past the end of the package", {{"a", bytes_of("x")}, {"b", bytes_of("y")}, {"c", bytes_of("z")}},
         [](const fs::path& folder) { put(folder / "c", "old"); }, {}, 255,
         {"@a", "Bad entry data @b", "Bad entry data @c"}, {{"a", "x"}, {"b", ""}, {"c", "old"}}, false,
         [](Bytes& package) {
             set_row(package, 1, {static_cast<uint32_t>(package.size()), 1});
             set_row(package, 2, {static_cast<uint32_t>(package.size()), 3});
         }},
        {"the package as a loose file", {{"pkg", bytes_of("entry")}},
         [](const fs::path& folder) { fs::create_hard_link(folder / "../game.dpk", folder / "pkg"); }, {}, 255,
         {"File @pkg is the data file"}, {}, false},
        {"repeated names, the first counts", {{"a", bytes_of("first")}, {"a", bytes_of("second")}},
         [](const fs::path& folder) { put(folder / "a", "edit"); }, {}, 0, {"@a"},
         {{"a", "first"}}, false},
    };
    for (const RestoreCase& c : cases) {
        SCOPED_TRACE(c.title);
#ifdef _WIN32
        if (c.posix_only) continue;
#endif
        ScratchFolder scratch;
        const fs::path folder = scratch / "work";
        fs::create_directories(folder);
        Bytes package = build_package(c.entries);
        if (c.reshape) c.reshape(package);
        write_file(scratch / "game.dpk", package);
        c.before(folder);
        // Files the run must not touch keep their time stamps.
        std::map<fs::path, fs::file_time_type> stamps;
        for (const fs::directory_entry& item : fs::recursive_directory_iterator(folder))
            if (item.is_regular_file() && !item.is_symlink()) {
                age(item.path());
                stamps[item.path()] = fs::last_write_time(item.path());
            }
        std::vector<std::string> arguments = {"/R", "game.dpk", "work"};
        arguments.insert(arguments.end(), c.names.begin(), c.names.end());
        ToolRun run = run_tool(arguments, scratch.path);
        EXPECT_EQ(run.status, c.status);
        std::string expected;
        for (const std::string& line : c.lines) {
            size_t at = line.find('@');
            expected += (at == std::string::npos ? line : line.substr(0, at) + expand_line(line.substr(at), folder)) + "\n";
        }
        EXPECT_EQ(run.output, expected);
        for (const auto& [path, text] : c.after) {
            if (text.empty()) {
                EXPECT_FALSE(fs::is_regular_file(fs::symlink_status(folder / path))) << path;
            } else {
                EXPECT_FALSE(fs::is_symlink(folder / path)) << path;
                EXPECT_EQ(text_of(read_file(folder / path)), text) << path;
            }
        }
        if (c.check) c.check(folder);
        for (const auto& [path, stamp] : stamps) {
            const bool printed = run.output.find(native(path) + "\n") != std::string::npos;
            if (fs::exists(path) && !printed) {
                EXPECT_EQ(fs::last_write_time(path), stamp) << path;
            }
        }
        // /L then agrees: no entry that was selected is still to be
        // restored. Its lines are "%c %10u %10u %s", the name at column 24.
        if (c.status == 0) {
            ToolRun listed = run_tool({"/L", "game.dpk", "work"}, scratch.path);
            std::set<std::string> seen;
            size_t at = 0;
            for (size_t end; (end = listed.output.find('\n', at)) != std::string::npos; at = end + 1) {
                const std::string line = listed.output.substr(at, end - at);
                if (line.size() < 24 || line[1] != ' ' || std::string("=M-!").find(line[0]) == std::string::npos) continue;
                const std::string name = line.substr(24);
                bool selected = c.names.empty();
                for (const std::string& given : c.names) selected |= name_matches_entry(given.c_str(), name.c_str());
                if (selected && seen.insert(name).second) {
                    EXPECT_EQ(line[0], '=') << line;
                }
            }
        }
    }
}
