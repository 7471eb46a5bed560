#ifndef _WIN32
#include <cerrno>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "test_files.h"

extern char** environ;

ToolRun run_tool(const std::vector<std::string>& arguments, const fs::path& folder) {
    std::string program = tool_path();
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    int pipe_ends[2];
    if (pipe(pipe_ends) != 0) return ToolRun{-1, "pipe failed", ""};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], 1);
    posix_spawn_file_actions_addclose(&actions, pipe_ends[0]);
    posix_spawn_file_actions_addclose(&actions, pipe_ends[1]);
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    // A new session has no controlling terminal, so the tool never waits.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);

    pid_t child;
    int spawned = posix_spawn(&child, program.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(pipe_ends[1]);
    if (spawned != 0) {
        close(pipe_ends[0]);
        return ToolRun{-1, "spawn failed", ""};
    }
    ToolRun run{-1, "", ""};
    char buffer[4096];
    for (;;) {
        ssize_t got = read(pipe_ends[0], buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        run.output.append(buffer, static_cast<size_t>(got));
    }
    close(pipe_ends[0]);
    int status;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    run.raw_output = run.output;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    return run;
}
#endif
