// What a run says is so: the status is 0 only when the work was done, no
// printed line is left untrue, and the listing's lines cannot be forged.
#include <gtest/gtest.h>

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
