// What a run says is so: the status is 0 only when the work was done, no
// printed line is left untrue, and the listing's lines cannot be forged.
#include <gtest/gtest.h>

#include <cctype>
#include <set>

#include "test_files.h"

struct TrustTest : ::testing::Test {
    ScratchFolder scratch;
    fs::path package = scratch / "game.dpk";
    fs::path folder = scratch / "work";
    ToolRun tool(const std::string& option) {
        return run_tool({option, package.string(), folder.string()}, scratch.path);
    }
    std::string line(const std::string& name) const { return native(folder / name) + "\n"; }
};

// A mistyped folder is no folder in which nothing changed: /U and /L refuse
// it and touch nothing; /P keeps its old rule and groups nothing.
TEST_F(TrustTest, FolderThatIsNotThereIsRefusedByUpdateAndList) {
    const Bytes original = build_package({{"a.txt", bytes_of("a")}});
    const struct {
        const char* what;
        bool make_file;  // a plain file stands where the folder should
    } layouts[] = {{"nothing there", false}, {"a file there", true}};
    for (const auto& layout : layouts) {
        SCOPED_TRACE(layout.what);
        fs::remove_all(folder);
        if (layout.make_file) write_file(folder, bytes_of("not a folder"));
        for (const char* option : {"/U", "/L", "/P"}) {
            SCOPED_TRACE(option);
            write_file(package, original);
            ToolRun run = tool(option);
            const bool refused = option != std::string("/P");
            EXPECT_EQ(run.status, refused ? 255 : 0);
            EXPECT_EQ(run.output, refused ? "Can't find folder " + native(folder / "") + "\n"
                                          : "");
            EXPECT_TRUE(read_file(package) == original);
        }
    }
}

// /P and /U pass over an entry with a message and still group the others;
// any such entry makes the run end with 255, as /E and /L do, and /L marks
// it '!'.
TEST_F(TrustTest, EveryEntryPassedOverWithAMessageFailsTheGroup) {
    const struct {
        const char* what;
        std::string skipped_name;
        std::string before, after;  // its line, around the path
        int depth;                  // the folder's path is made exactly this long
        bool package_inside;        // the package lies in the folder, under the entry's name
    } cases[] = {
        {"a path too long", "0123456789abcdef", "Path too long ", "", 245, false},
        {"a name that leads out of the folder", "..\\outside", "Bad entry name ", "", 0, false},
        {"the package itself", "game.dpk", "File ", " is the data file", 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        folder = scratch / "work";
        // Room for "edited" below it, not for 16 bytes.
        while (native(folder).size() + 11 < static_cast<size_t>(c.depth)) folder /= "dddddddddd";
        if (native(folder).size() + 1 < static_cast<size_t>(c.depth))
            folder /= std::string(static_cast<size_t>(c.depth) - native(folder).size() - 1, 'e');
        fs::create_directories(folder);
        package = c.package_inside ? folder / "game.dpk" : scratch / "game.dpk";
        write_file(folder / "edited", bytes_of("new"));
        std::string skipped_path = native(folder / "") + c.skipped_name;
        if (c.skipped_name[0] == '.') skipped_path = native(folder / "../outside");
        const Bytes original = build_package({{c.skipped_name, bytes_of("old")}, {"edited", bytes_of("old")}});
        for (const char* option : {"/P", "/U"}) {
            SCOPED_TRACE(option);
            write_file(package, original);
            ToolRun run = tool(option);
            EXPECT_EQ(run.status, 255);
            EXPECT_EQ(run.output, c.before + skipped_path + c.after + "\n" + line("edited"));
            const Bytes now = read_file(package);
            EXPECT_EQ(get_row(now, 0).offset, get_row(original, 0).offset);
            EXPECT_EQ(get_row(now, 1).size, 3u) << "the other entry is grouped all the same";
            EXPECT_EQ(now.size(), original.size() + 3);
        }
        write_file(package, original);
        ToolRun listed = tool("/L");
        EXPECT_EQ(listed.status, 255);
        EXPECT_EQ(listed.output.substr(0, 2), "! ") << listed.output;
    }
}

// The marks of /L's entry lines, in table order.
static std::string marks_of(const std::string& listing, size_t entries) {
    std::string marks;
    for (size_t start = 0; marks.size() < entries && start < listing.size(); start = listing.find('\n', start) + 1)
        marks += listing[start];
    return marks;
}

// Entries of one name share one loose file: the first of them decides for
// all whether it changed, so a fresh expand is unchanged for every one of
// them and an edit goes into every one of them.
TEST_F(TrustTest, RepeatedNamesAreDecidedByTheirFirstEntry) {
    const Bytes original = build_package(
        {{"a.bin", bytes_of("first")}, {"other", bytes_of("o")}, {"a.bin", bytes_of("second, longer")}});
    write_file(package, original);
    ToolRun expanded = tool("/E");
    ASSERT_EQ(expanded.status, 0);
    EXPECT_EQ(text_of(read_file(folder / "a.bin")), "first");

    ToolRun listed = tool("/L");
    EXPECT_EQ(listed.status, 0);
    EXPECT_EQ(marks_of(listed.output, 3), "===") << listed.output;
    EXPECT_NE(listed.output.find(", 0 changed\n"), std::string::npos) << listed.output;
    ToolRun updated = tool("/U");
    EXPECT_EQ(updated.status, 0);
    EXPECT_EQ(updated.output, "");
    EXPECT_TRUE(read_file(package) == original);

    write_file(folder / "a.bin", bytes_of("edited"));
    listed = tool("/L");
    EXPECT_EQ(marks_of(listed.output, 3), "M=M") << listed.output;
    updated = tool("/U");
    EXPECT_EQ(updated.status, 0);
    EXPECT_EQ(updated.output, line("a.bin") + line("a.bin"));
    ASSERT_EQ(run_tool({"/C", package.string()}, scratch.path).status, 0);
    const Bytes now = read_file(package);
    for (uint32_t i : {0u, 2u}) {
        const FixtureRow row = get_row(now, i);
        EXPECT_EQ(text_of(Bytes(now.begin() + row.offset, now.begin() + row.offset + row.size)), "edited") << i;
    }
    listed = tool("/L");
    EXPECT_EQ(marks_of(listed.output, 3), "===") << listed.output;
}

// One line of /L, parsed by the listing's grammar.
struct ListedLine {
    enum Kind { ENTRY, UNTRACKED, SUMMARY, MALFORMED } kind;
    char mark;
    std::string name;  // decoded; an untracked path with '/' between folders
};

// Decodes a name field: as it stands, or quoted with C escapes. Returns
// false for a field that breaks the grammar.
static bool decode_name(const std::string& field, bool is_path, std::string* name) {
    name->clear();
    if (field.empty() || field[0] != '"') {
        for (char c : field)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
        *name = field;
        if (is_path)
            for (char& c : *name)
                if (c == '\\') c = '/';
        return true;
    }
    static const std::string LETTERS = "abtnvfr";
    for (size_t i = 1; i < field.size(); i++) {
        const char c = field[i];
        if (c == '"') return i + 1 == field.size();
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
        if (c != '\\') {
            *name += c;
            continue;
        }
        if (++i == field.size()) return false;
        const char e = field[i];
        if (e == '"' || e == '\\') {
            *name += e;
        } else if (LETTERS.find(e) != std::string::npos) {
            *name += static_cast<char>('\a' + LETTERS.find(e));
        } else if (e >= '0' && e <= '3' && i + 2 < field.size()) {
            *name += static_cast<char>((e - '0') * 64 + (field[i + 1] - '0') * 8 + (field[i + 2] - '0'));
            i += 2;
        } else {
            return false;
        }
    }
    return false;
}

static std::vector<ListedLine> parse_listing(const std::string& output, bool with_marks) {
    std::vector<ListedLine> lines;
    for (size_t start = 0; start < output.size();) {
        const size_t end = output.find('\n', start);
        const std::string text = output.substr(start, end - start);
        start = end + 1;
        ListedLine line{ListedLine::MALFORMED, ' ', ""};
        const size_t prefix = with_marks ? 2 : 0;
        const bool summary = text.find(" entries, ") != std::string::npos && isdigit(static_cast<unsigned char>(text[0]));
        if (text.size() > prefix + 22 && text[prefix + 10] == ' ' && text[prefix + 21] == ' ') {
            const std::string columns = text.substr(prefix, 21);
            const bool blank = columns == std::string(21, ' ');
            const bool numbers = columns.find_first_not_of("0123456789 ") == std::string::npos &&
                                 isdigit(static_cast<unsigned char>(columns[9])) &&
                                 isdigit(static_cast<unsigned char>(columns[20]));
            const char mark = with_marks ? text[0] : ' ';
            const bool untracked = with_marks && blank && (mark == '?' || mark == '!') && text[1] == ' ';
            const bool entry = numbers && (!with_marks || (std::string("=M-!").find(mark) != std::string::npos &&
                                                           text[1] == ' '));
            if ((untracked || entry) && !summary &&
                decode_name(text.substr(prefix + 22), untracked, &line.name)) {
                line.kind = untracked ? ListedLine::UNTRACKED : ListedLine::ENTRY;
                line.mark = mark;
            }
        }
        if (line.kind == ListedLine::MALFORMED && summary) line.kind = ListedLine::SUMMARY;
        lines.push_back(line);
    }
    return lines;
}

// Names that would pass for other lines, or for other names: each line of
// /L parses back to exactly the name it is about, and only the last line is
// a summary.
TEST_F(TrustTest, ListLinesParseBackToTheirNames) {
    const std::vector<std::string> entries = {"x\n1 entries, 1 b", "\"quoted",   "tab\there", "a\\b",
                                              "esc\x1b[31m",       "del\x7f", "back\\\"q", "plain name"};
    std::vector<FixtureEntry> fixture;
    for (const std::string& name : entries) fixture.push_back({name, bytes_of("e")});
    write_file(package, build_package(fixture));
    fs::create_directories(folder / "sub");
    std::set<std::string> files = {"plain name", "ok.txt", "sub/x.bin"};
#ifndef _WIN32
    for (const char* hostile : {"y\n9 entries, 1 bytes, 0 unreferenced, 0 changed", "a\\b", "\"starts", "sub/cr\r",
                                "sub/with\\slash", "sub/\"q\\\""})
        files.insert(hostile);
#endif
    for (const std::string& file : files) write_file(folder / file, bytes_of("f"));

    for (bool with_folder : {true, false}) {
        SCOPED_TRACE(with_folder ? "with the folder" : "without");
        ToolRun listed = with_folder ? tool("/L") : run_tool({"/L", package.string()}, scratch.path);
#ifdef _WIN32
        // Windows refuses names with control bytes or double quotes, and
        // marks their entries '!'.
        EXPECT_EQ(listed.status, with_folder ? 255 : 0) << listed.output;
#else
        EXPECT_EQ(listed.status, 0) << listed.output;
#endif
        const std::vector<ListedLine> lines = parse_listing(listed.output, with_folder);
        std::vector<std::string> entry_names;
        std::set<std::string> untracked;
        for (size_t i = 0; i < lines.size(); i++) {
            EXPECT_NE(lines[i].kind, ListedLine::MALFORMED) << i << "\n" << listed.output;
            EXPECT_EQ(lines[i].kind == ListedLine::SUMMARY, i + 1 == lines.size()) << i << "\n" << listed.output;
            if (lines[i].kind == ListedLine::ENTRY) entry_names.push_back(lines[i].name);
            if (lines[i].kind == ListedLine::UNTRACKED) {
                EXPECT_TRUE(untracked.insert(lines[i].name).second);
            }
        }
        EXPECT_EQ(entry_names, entries);
        if (with_folder) {
            std::set<std::string> expected = files;
            expected.erase("plain name");  // an entry's
            EXPECT_EQ(untracked, expected) << listed.output;
        }
    }
    // Ordinary names keep 1.2.0's lines.
    const std::string listed = tool("/L").output;
    const size_t plain = listed.find(std::string(9, ' ') + "1 plain name\n");
    ASSERT_NE(plain, std::string::npos) << listed;
    EXPECT_EQ(listed.substr(listed.rfind('\n', plain) + 1, 2), "M ");
    EXPECT_NE(listed.find("\n?" + std::string(23, ' ') + "ok.txt\n"), std::string::npos) << listed;
    EXPECT_NE(listed.find("\n?" + std::string(23, ' ') + "sub\\x.bin\n"), std::string::npos) << listed;
}
