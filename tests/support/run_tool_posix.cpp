#ifndef _WIN32
#include <cerrno>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "test_files.h"

extern char** environ;

// Starts `binary` in `folder` in a session of its own, with standard input
// from the null device, standard output on `output` and standard error on
// `error` (the test's own for -1). Returns its process id, or -1.
static int spawn_binary(const std::string& binary, const std::vector<std::string>& arguments,
                         const fs::path& folder, int output, int error = -1) {
    std::vector<char*> argv{const_cast<char*>(binary.c_str())};
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, output, 1);
    if (error >= 0) posix_spawn_file_actions_adddup2(&actions, error, 2);
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    // A new session has no controlling terminal, so the tool never waits.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);

    pid_t child;
    int spawned = posix_spawn(&child, binary.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return spawned == 0 ? child : -1;
}

static void read_all(int from, std::string* into) {
    char buffer[4096];
    for (;;) {
        ssize_t got = read(from, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        into->append(buffer, static_cast<size_t>(got));
    }
    close(from);
}

// As run_binary, with standard error in error_output when `split` is set.
// Standard error is read after standard output has ended: the tool's
// messages are a few lines, well within what a pipe holds.
static ToolRun run_binary_with(const std::string& binary, const std::vector<std::string>& arguments,
                               const fs::path& folder, int split) {
    int pipe_ends[2], error_ends[2] = {-1, -1};
    if (pipe2(pipe_ends, O_CLOEXEC) != 0) return ToolRun{-1, "pipe failed", "", ""};
    if (split && pipe2(error_ends, O_CLOEXEC) != 0) return ToolRun{-1, "pipe failed", "", ""};
    int child = spawn_binary(binary, arguments, folder, pipe_ends[1], error_ends[1]);
    close(pipe_ends[1]);
    if (split) close(error_ends[1]);
    ToolRun run{-1, "", "", ""};
    read_all(pipe_ends[0], &run.output);
    if (split) read_all(error_ends[0], &run.error_output);
    if (child < 0) return ToolRun{-1, "spawn failed", "", ""};
    run.raw_output = run.output;
    run.status = wait_binary(child);
    return run;
}

ToolRun run_binary(const std::string& binary, const std::vector<std::string>& arguments, const fs::path& folder) {
    return run_binary_with(binary, arguments, folder, 0);
}

ToolRun run_tool_split(const std::vector<std::string>& arguments, const fs::path& folder) {
    return run_binary_with(tool_path(), arguments, folder, 1);
}

int start_binary(const std::string& binary, const std::vector<std::string>& arguments, const fs::path& folder) {
    int null_output = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_output < 0) return -1;
    int child = spawn_binary(binary, arguments, folder, null_output);
    close(null_output);
    return child;
}

int run_binary_into_closed_pipe(const std::string& binary, const std::vector<std::string>& arguments,
                                const fs::path& folder) {
    int pipe_ends[2];
    if (pipe2(pipe_ends, O_CLOEXEC) != 0) return -1;
    close(pipe_ends[0]);
    int child = spawn_binary(binary, arguments, folder, pipe_ends[1]);
    close(pipe_ends[1]);
    return child < 0 ? -1 : wait_binary(child);
}

int wait_binary(int process) {
    int status;
    while (waitpid(process, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
}

ToolRun run_tool(const std::vector<std::string>& arguments, const fs::path& folder) {
    return run_binary(tool_path(), arguments, folder);
}
#endif
