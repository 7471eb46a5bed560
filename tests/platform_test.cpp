// Running another program: the argument arrives whole, the exit status comes
// back, and on Windows the program is looked up as the command interpreter
// looks it up.
#include <gtest/gtest.h>

#include <cstdlib>

#include "test_files.h"
#include "util/platform.h"

#ifdef _WIN32
#include <windows.h>
#endif

// Each test runs the child in a scratch folder; put the working directory
// back afterwards.
struct RunProgramTest : ::testing::Test {
    fs::path saved = fs::current_path();
    ScratchFolder scratch;
    RunProgramTest() { fs::current_path(scratch.path); }
    ~RunProgramTest() override { fs::current_path(saved); }
    std::string arguments_received() { return text_of(read_file(scratch / "arguments.txt")); }
};

TEST_F(RunProgramTest, ArgumentArrivesWholeAndTheStatusComesBack) {
    const std::string echo = VANTREL_ECHO_PATH;
    for (const std::string argument : {"plain", "two words", "", "tab\there", "ends in backslash\\",
                                       "ends in two\\\\", "quote \"inside\" it", "back\\\"slash quote", "\\\\server"}) {
        fs::remove(scratch / "arguments.txt");
        EXPECT_EQ(platform_run_program(echo.c_str(), argument.c_str()), 7) << argument;
        EXPECT_EQ(arguments_received(), argument + "\n");
    }
}

TEST_F(RunProgramTest, ProgramThatCannotBeStarted) {
    EXPECT_EQ(platform_run_program("vantrel-no-such-program", "x"), -1);
    EXPECT_EQ(platform_run_program(scratch.path.string().c_str(), "x"), -1);
}

#ifdef _WIN32
TEST_F(RunProgramTest, LookupTriesTheCurrentFolderThenPathWithEachExtension) {
    fs::create_directories(scratch / "bin/sub");
    fs::create_directory(scratch / "elsewhere");
    fs::copy_file(VANTREL_ECHO_PATH, scratch / "here.exe");
    fs::copy_file(VANTREL_ECHO_PATH, scratch / "bin/sub/child.exe");
    fs::copy_file(VANTREL_ECHO_PATH, scratch / "bin/child.com");
    SetEnvironmentVariableA("PATH", (native(scratch / "elsewhere") + ";;" + native(scratch / "bin")).c_str());
    const struct {
        const char* program;
        int status;
    } cases[] = {
        {"here", 7},           // the current folder, with .exe added
        {"child", 7},          // a folder of PATH; .com comes before .exe
        {"sub\\child", 7},     // a relative folder part is tried below each folder of PATH
        {"sub/child", -1},     // but not when it holds a forward slash
        {"bin/child.com", 7},  // which names it from the current folder
        {"child.exe", -1},     // an extension given is not replaced
    };
    for (const auto& c : cases) EXPECT_EQ(platform_run_program(c.program, "x"), c.status) << c.program;
}
#endif
