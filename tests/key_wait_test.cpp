// The key-press wait after "alredy exists", on a real pseudo-terminal.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <csignal>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "test_files.h"

// The tool running under a pseudo-terminal that is its controlling terminal.
struct TerminalRun {
    int master = -1;
    pid_t child = -1;
    std::string output;

    TerminalRun(const fs::path& package, const fs::path& folder) {
        child = forkpty(&master, nullptr, nullptr, nullptr);
        if (child == 0) {
            std::string tool = tool_path();
            execl(tool.c_str(), tool.c_str(), "/E", package.c_str(), folder.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~TerminalRun() {
        if (child > 0) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
        if (master >= 0) close(master);
    }
    // Reads until `text` has appeared (1) or `milliseconds` pass (0).
    int read_until(const std::string& text, int milliseconds) {
        while (output.find(text) == std::string::npos) {
            pollfd ready{master, POLLIN, 0};
            if (poll(&ready, 1, milliseconds) <= 0) return 0;
            char buffer[256];
            ssize_t got = read(master, buffer, sizeof buffer);
            if (got <= 0) return 0;
            output.append(buffer, static_cast<size_t>(got));
        }
        return 1;
    }
    // Keys typed before the wait has switched echo off would be echoed (and
    // Ctrl+C would stop the tool), so wait for that switch first: the line
    // is printed a moment before it, more than a moment in a slow build.
    void press(const std::string& keys) {
        termios settings;
        for (int tries = 0; tries < 500 && tcgetattr(master, &settings) == 0 && (settings.c_lflag & ECHO); tries++)
            usleep(10000);
        ASSERT_EQ(write(master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }
    int still_running() { return waitpid(child, nullptr, WNOHANG) == 0; }
    int finish() {
        read_until("\x04never", 5000);
        int status;
        waitpid(child, &status, 0);
        child = -1;
        return status;
    }
};

struct KeyWaitTest : ::testing::Test {
    ScratchFolder scratch;
    fs::path package = scratch / "pkg.dat";
    fs::path folder = scratch / "out";
    KeyWaitTest() {
        fs::create_directory(folder);
        for (const char* name : {"a", "b", "c"}) write_file(folder / name, bytes_of("kept"));
        write_file(package, build_package({{"a", bytes_of("1")}, {"b", bytes_of("2")}, {"c", bytes_of("3")},
                                           {"new", bytes_of("4")}}));
    }
    std::string exists(const char* name) { return "File " + (folder / name).string() + " alredy exists"; }
};

TEST_F(KeyWaitTest, EachExistingFileWaitsForOneKeyWithoutEcho) {
    TerminalRun run(package, folder);
    ASSERT_TRUE(run.read_until(exists("a"), 5000));
    EXPECT_FALSE(run.read_until(exists("b"), 300)) << "went on without a key";
    EXPECT_TRUE(run.still_running());
    run.press("\x03");  // Ctrl+C ends the wait and does not stop the tool
    ASSERT_TRUE(run.read_until(exists("b"), 5000));
    run.press("\x1b[A");  // a cursor key is one key: nothing left for the next wait
    ASSERT_TRUE(run.read_until(exists("c"), 5000));
    EXPECT_FALSE(run.read_until((folder / "new").string(), 300)) << "a byte of the cursor key was left pending";
    run.press("x");
    int status = run.finish();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // Nothing was echoed between the lines: each key vanished into its wait.
    EXPECT_NE(run.output.find(exists("a") + "\r\n" + exists("b") + "\r\n" + exists("c") + "\r\n" +
                              (folder / "new").string()),
              std::string::npos)
        << run.output;
    termios settings;
    ASSERT_EQ(tcgetattr(run.master, &settings), 0);
    EXPECT_TRUE(settings.c_lflag & ECHO);
    EXPECT_TRUE(settings.c_lflag & ICANON);
    EXPECT_TRUE(settings.c_lflag & ISIG);
}

TEST_F(KeyWaitTest, TerminalIsRestoredWhenASignalEndsTheWait) {
    TerminalRun run(package, folder);
    ASSERT_TRUE(run.read_until(exists("a"), 5000));
    kill(run.child, SIGTERM);
    int status = run.finish();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    termios settings;
    ASSERT_EQ(tcgetattr(run.master, &settings), 0);
    EXPECT_TRUE(settings.c_lflag & ECHO);
    EXPECT_TRUE(settings.c_lflag & ICANON);
}
#endif
