// Scratch folders, file reading and writing, and running the built tool, for
// the tests.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "package_fixture.h"

namespace fs = std::filesystem;

// A fresh, empty folder under the system's temporary folder, removed (with
// everything in it) when the object goes.
struct ScratchFolder {
    fs::path path;
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    fs::path operator/(const std::string& name) const { return path / name; }
};

// The path as the tool prints it: with the system's own separators, so
// that a/b reads a\b on Windows.
std::string native(const fs::path& path);

// Ends a test that only makes sense on Linux when it runs on Windows,
// saying why.
#ifdef _WIN32
#define SKIP_ON_WINDOWS(reason) GTEST_SKIP() << reason
#else
#define SKIP_ON_WINDOWS(reason) static_cast<void>(0)
#endif

Bytes read_file(const fs::path& path);
void write_file(const fs::path& path, const Bytes& bytes);
std::string text_of(const Bytes& bytes);

// Every regular file below `folder`, by its path relative to it.
std::map<std::string, Bytes> read_tree(const fs::path& folder);

struct ToolRun {
    int status;              // exit status as the shell sees it (255 for -1)
    std::string output;      // everything written to standard output, each line ending in LF
    std::string raw_output;  // the same bytes as written: on Windows each line ends in CR LF
    std::string error_output;  // run_tool_split: standard error, each line ending in LF
};

// Runs the built tool with `arguments` in the working directory `folder`,
// with standard input from the null device, no terminal and no console.
ToolRun run_tool(const std::vector<std::string>& arguments, const fs::path& folder);

// Runs the tool as run_tool does, with its standard error apart from its
// standard output, in error_output (run_tool leaves it where the test's
// own goes, so that a sanitizer's report shows in the test's log).
ToolRun run_tool_split(const std::vector<std::string>& arguments, const fs::path& folder);

// Runs the program at `binary` as run_tool runs the tool.
ToolRun run_binary(const std::string& binary, const std::vector<std::string>& arguments, const fs::path& folder);

#ifdef _WIN32
// Windows only. Runs the tool as run_tool does, with arguments in UTF-16,
// which reach it whatever this process's code page. The tool has the test's
// ANSI code page: under wine, the one LC_ALL gave the test.
ToolRun run_tool_wide(const std::vector<std::wstring>& arguments, const fs::path& folder);

// Windows only. Runs the tool as run_tool does, with `arguments` as the
// command line's text after the quoted program name, as it stands, for the
// tool's own parser to split.
ToolRun run_tool_command_line(const std::wstring& arguments, const fs::path& folder);
#endif

// POSIX only. start_binary starts `binary` as run_tool does but with its
// output thrown away, and returns its process id (-1 when it cannot be
// started); wait_binary waits for it and returns its exit status, or 1000
// plus the signal that ended it.
int start_binary(const std::string& binary, const std::vector<std::string>& arguments, const fs::path& folder);
int wait_binary(int process);

// POSIX only. Runs `binary` as run_tool does, but with standard output a
// pipe whose reading end is closed already; returns its exit status as
// wait_binary does.
int run_binary_into_closed_pipe(const std::string& binary, const std::vector<std::string>& arguments,
                                const fs::path& folder);

// The path of the built tool.
std::string tool_path();
