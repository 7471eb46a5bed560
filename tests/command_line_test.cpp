// The command line as a user meets it: argument count, option, paths.
#include <gtest/gtest.h>

#include "test_files.h"

static const char USAGE[] =
    "Usage: vantrel.exe [option] dpk_file extract_path\nOption:\n/e - expand files\n/p - group files\n"
    "/u - group changed files\n/l - list files\n/c - compact the package\n/r - restore files\n/o - write one file to standard output\n"
    "/h - show this text\n"
    "/v - show the version\n\nvantrel.exe /e dpk_file extract_path\nvantrel.exe /p dpk_file extract_path\n"
    "vantrel.exe /u dpk_file extract_path\nvantrel.exe /l dpk_file [extract_path]\nvantrel.exe /c dpk_file\nvantrel.exe /r dpk_file extract_path [name ...]\n"
    "vantrel.exe /o dpk_file name\n"
    "vantrel.exe --help | -h | /? | /h\nvantrel.exe --version | -V | /v\n";

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

// Help and version stand alone; with anything after them, or spelled in a
// case other tools do not take, they are a malformed command line.
TEST(CommandLine, HelpAndVersionEndWithZero) {
    ScratchFolder scratch;
    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::string output;
    };
    const std::string version = std::string("vantrel ") + VANTREL_VERSION + "\n";
    const std::vector<Case> cases = {
        {{"--help"}, 0, USAGE},     {{"-h"}, 0, USAGE},          {{"/?"}, 0, USAGE},
        {{"/H"}, 0, USAGE},         {{"/h"}, 0, USAGE},          {{"--version"}, 0, version},
        {{"-V"}, 0, version},       {{"/V"}, 0, version},        {{"/v"}, 0, version},
        {{"--HELP"}, 255, USAGE},   {{"-H"}, 255, USAGE},        {{"-v"}, 255, USAGE},
        {{"--help", "x"}, 255, USAGE}, {{"/V", "pkg", "dir"}, 255, USAGE}, {{"--versio"}, 255, USAGE}};
    for (const Case& c : cases) {
        ToolRun run = run_tool(c.arguments, scratch.path);
        EXPECT_EQ(run.status, c.status) << c.arguments[0];
        EXPECT_EQ(run.output, c.output) << c.arguments[0];
    }
    EXPECT_STREQ(VANTREL_VERSION, "1.3.0");
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
