// The command line as a user meets it: argument count, option, paths.
#include <gtest/gtest.h>

#include "test_files.h"

static const char USAGE[] =
    "Usage: vantrel.exe [option] dpk_file extract_path\nOption:\n/e - expand files\n/p - group files\n"
    "/u - group changed files\n/l - list files\n/c - compact the package\n";

// /E, /P and /U take a package and a folder, /L a package and maybe a
// folder, /C a package alone.
TEST(CommandLine, WrongArgumentCountPrintsUsage) {
    ScratchFolder scratch;
    const std::vector<std::vector<std::string>> cases = {
        {},     {"/p"}, {"/p", "pkg"}, {"/p", "pkg", "dir", "extra"}, {"/e", "pkg"}, {"/U", "pkg"},
        {"/l"}, {"/L", "pkg", "dir", "extra"}, {"/c"}, {"/C", "pkg", "dir"}, {"/x", "pkg"}};
    for (const auto& arguments : cases) {
        ToolRun run = run_tool(arguments, scratch.path);
        EXPECT_EQ(run.status, 255) << arguments.size();
        EXPECT_EQ(run.output, USAGE) << arguments.size();
    }
}

TEST(CommandLine, UnrecognisedOptionPrintsUsageAndTouchesNothing) {
    ScratchFolder scratch;
    Bytes package = build_package({{"a", bytes_of("old")}});
    write_file(scratch / "pkg", package);
    fs::create_directory(scratch / "dir");
    write_file(scratch / "dir/a", bytes_of("new"));
    for (const char* option : {"-p", "/x", "/pp", "p", "/", "", "/\xE5", "/uu", "-l", "/C"}) {
        ToolRun run = run_tool({option, "pkg", "dir"}, scratch.path);
        EXPECT_EQ(run.status, 255) << option;
        EXPECT_EQ(run.output, USAGE) << option;
    }
    EXPECT_EQ(read_file(scratch / "pkg"), package);
}

TEST(CommandLine, OptionLetterCaseDoesNotMatter) {
    ScratchFolder scratch;
    fs::create_directory(scratch / "dir");
    write_file(scratch / "dir/a", bytes_of("new"));
    for (const char* option : {"/p", "/P"}) {
        write_file(scratch / "pkg", build_package({{"a", bytes_of("old")}}));
        ToolRun run = run_tool({option, "pkg", "dir"}, scratch.path);
        EXPECT_EQ(run.status, 0) << option;
        EXPECT_EQ(run.output, native(scratch / "dir/a") + "\n") << option;
    }
    for (const char* option : {"/e", "/E"}) {
        fs::remove_all(scratch / "out");
        ToolRun run = run_tool({option, "pkg", "out"}, scratch.path);
        EXPECT_EQ(run.status, 0) << option;
        EXPECT_EQ(text_of(read_file(scratch / "out/a")), "new") << option;
    }
}

TEST(CommandLine, FolderGetsExactlyOneTrailingSeparator) {
    ScratchFolder scratch;
    fs::create_directory(scratch / "dir");
    write_file(scratch / "dir/a", bytes_of("x"));
    for (const char* folder : {"dir", "dir/", "./dir//"}) {
        write_file(scratch / "pkg", build_package({{"a", {}}}));
        ToolRun run = run_tool({"/p", "pkg", folder}, scratch.path);
        EXPECT_EQ(run.output, native(scratch / "dir/a") + "\n") << folder;
    }
}

TEST(CommandLine, MissingOrEmptyPackageArgumentCannotBeOpened) {
    ScratchFolder scratch;
    ToolRun run = run_tool({"/P", "missing.dat", "nowhere"}, scratch.path);
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.output, "Can't create data file " + (scratch / "missing.dat").string() + "\n");
    run = run_tool({"/P", "", "nowhere"}, scratch.path);
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.output, "Can't create data file " + scratch.path.string() + "\n");
    EXPECT_FALSE(fs::exists(scratch / "nowhere"));
}

TEST(CommandLine, PathsPastTheLimitAreRefusedBeforeAnythingOpens) {
    ScratchFolder scratch;
    write_file(scratch / "pkg", build_package({}));
    std::string long_name(300, 'n');
    ToolRun run = run_tool({"/p", "pkg", long_name}, scratch.path);
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.output, "Path too long " + long_name + "\n");
    run = run_tool({"/p", long_name, "dir"}, scratch.path);
    EXPECT_EQ(run.output, "Path too long " + long_name + "\n");
    // A folder of 259 bytes has no room left for its separator.
    std::string folder = "/" + std::string(258, 'f');
    run = run_tool({"/p", "pkg", folder}, scratch.path);
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.output, "Path too long " + folder + "\n");
}
