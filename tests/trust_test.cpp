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
// any such entry makes the run end with 255, as /E and /L do.
TEST_F(TrustTest, EveryEntryPassedOverWithAMessageFailsTheGroup) {
    const struct {
        const char* what;
        std::string skipped_name;
        std::string message;  // its line, before the path
        int depth;            // the folder's path is made at least this long
    } cases[] = {
        {"a path too long", "0123456789abcdef", "Path too long ", 245},
        {"a name that leads out of the folder", "..\\outside", "Bad entry name ", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        folder = scratch / "work";
        // Up to exactly `depth` bytes: room for "edited" below it, not for 16 bytes.
        while (native(folder).size() + 11 < static_cast<size_t>(c.depth)) folder /= "dddddddddd";
        if (native(folder).size() + 1 < static_cast<size_t>(c.depth))
            folder /= std::string(static_cast<size_t>(c.depth) - native(folder).size() - 1, 'e');
        fs::create_directories(folder);
        write_file(folder / "edited", bytes_of("new"));
        std::string skipped_path = native(folder / "") + c.skipped_name;
        if (c.skipped_name[0] == '.') skipped_path = native(folder / "../outside");
        for (const char* option : {"/P", "/U"}) {
            SCOPED_TRACE(option);
            write_file(package, build_package({{c.skipped_name, bytes_of("old")}, {"edited", bytes_of("old")}}));
            ToolRun run = tool(option);
            EXPECT_EQ(run.status, 255);
            EXPECT_EQ(run.output, c.message + skipped_path + "\n" + line("edited"));
            EXPECT_EQ(get_row(read_file(package), 1).size, 3u) << "the other entry is grouped all the same";
        }
    }
}
