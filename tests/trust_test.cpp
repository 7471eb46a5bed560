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
