#ifdef _WIN32
#include <cstdio>
#include <string>
#include <thread>

#include <windows.h>

#include "test_files.h"

// How long a run may take before it counts as blocked and is ended.
static const DWORD TOOL_TIME_LIMIT_MS = 60000;
static const int SPAWN_ATTEMPTS = 5;
static const DWORD SPAWN_RETRY_PAUSE_MS = 200;

// Quotes an argument for the child's command-line parser. The tests pass no
// quotes, so only the backslashes before the closing quote need doubling.
static std::wstring quoted(const std::wstring& argument) {
    size_t last = argument.find_last_not_of(L'\\');
    size_t trailing = last == std::wstring::npos ? argument.size() : argument.size() - last - 1;
    return L"\"" + argument + std::wstring(trailing, L'\\') + L"\"";
}

// The text as this process's ANSI calls would take it.
static std::wstring widened(const std::string& text) {
    int size = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    std::wstring wide(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &wide[0], size);
    wide.resize(wide.size() - 1);
    return wide;
}

static ToolRun run_command_line(const std::wstring& binary, std::wstring command_line, const fs::path& folder,
                                int split = 0);

static ToolRun run_wide(const std::wstring& binary, const std::vector<std::wstring>& arguments, const fs::path& folder,
                        int split = 0) {
    std::wstring command_line = quoted(binary);
    for (const std::wstring& argument : arguments) command_line += L" " + quoted(argument);
    return run_command_line(binary, command_line, folder, split);
}

ToolRun run_binary(const std::string& binary, const std::vector<std::string>& arguments, const fs::path& folder) {
    std::vector<std::wstring> wide;
    for (const std::string& argument : arguments) wide.push_back(widened(argument));
    return run_wide(widened(binary), wide, folder);
}

ToolRun run_tool_wide(const std::vector<std::wstring>& arguments, const fs::path& folder) {
    return run_wide(widened(tool_path()), arguments, folder);
}

ToolRun run_tool_command_line(const std::wstring& arguments, const fs::path& folder) {
    const std::wstring binary = widened(tool_path());
    return run_command_line(binary, quoted(binary) + L" " + arguments, folder);
}

// The bytes read from `from` until its writers are gone, the CR of each
// CR LF dropped into `lines`.
static void read_all(HANDLE from, std::string* raw, std::string* lines) {
    char buffer[4096];
    DWORD got;
    while (ReadFile(from, buffer, sizeof buffer, &got, nullptr) && got > 0) raw->append(buffer, got);
    for (size_t i = 0; i < raw->size(); i++)
        if (!((*raw)[i] == '\r' && i + 1 < raw->size() && (*raw)[i + 1] == '\n')) *lines += (*raw)[i];
}

static ToolRun run_command_line(const std::wstring& binary, std::wstring command_line, const fs::path& folder,
                                int split) {
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE read_end, write_end;
    if (!CreatePipe(&read_end, &write_end, &inheritable, 0)) return ToolRun{-1, "pipe failed", ""};
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    HANDLE error_read = nullptr, error_write = write_end;
    if (split) {
        if (!CreatePipe(&error_read, &error_write, &inheritable, 0)) return ToolRun{-1, "pipe failed", "", ""};
        SetHandleInformation(error_read, HANDLE_FLAG_INHERIT, 0);
    }
    HANDLE no_input = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                  OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = no_input;
    startup.hStdOutput = write_end;
    startup.hStdError = error_write;
    PROCESS_INFORMATION child;
    // A detached process has no console, so the tool's key wait never waits.
    // Under wine, a start now and then fails while the tool never ran, when
    // many tests start programs at once; a few more tries ride that out.
    BOOL started = FALSE;
    DWORD start_error = 0;
    for (int attempt = 0; attempt < SPAWN_ATTEMPTS; attempt++) {
        if (attempt > 0) Sleep(SPAWN_RETRY_PAUSE_MS);
        started = CreateProcessW(binary.c_str(), &command_line[0], nullptr, nullptr, TRUE, DETACHED_PROCESS, nullptr,
                                 folder.wstring().c_str(), &startup, &child);
        if (started) break;
        start_error = GetLastError();
        fprintf(stderr, "starting the tool failed with error %lu (try %d of %d)\n", start_error, attempt + 1, SPAWN_ATTEMPTS);
    }
    CloseHandle(write_end);
    if (split) CloseHandle(error_write);
    CloseHandle(no_input);
    if (!started) {
        CloseHandle(read_end);
        if (split) CloseHandle(error_read);
        return ToolRun{-1, "spawn failed, error " + std::to_string(start_error), ""};
    }
    ToolRun run{-1, "", "", ""};
    std::string raw_error;
    std::thread reader([&] { read_all(read_end, &run.raw_output, &run.output); });
    std::thread error_reader([&] {
        if (split) read_all(error_read, &raw_error, &run.error_output);
    });
    if (WaitForSingleObject(child.hProcess, TOOL_TIME_LIMIT_MS) == WAIT_TIMEOUT) {
        TerminateProcess(child.hProcess, 1000);
        WaitForSingleObject(child.hProcess, INFINITE);
    }
    reader.join();
    error_reader.join();
    if (split) CloseHandle(error_read);
    DWORD status = 1000;
    GetExitCodeProcess(child.hProcess, &status);
    CloseHandle(child.hProcess);
    CloseHandle(child.hThread);
    CloseHandle(read_end);
    // The exit status -1 is 255 to a POSIX shell; one number keeps the
    // expectations the same on both systems.
    run.status = status == 0xFFFFFFFFu ? 255 : static_cast<int>(status);
    return run;
}

ToolRun run_tool(const std::vector<std::string>& arguments, const fs::path& folder) {
    return run_binary(tool_path(), arguments, folder);
}

ToolRun run_tool_split(const std::vector<std::string>& arguments, const fs::path& folder) {
    std::vector<std::wstring> wide;
    for (const std::string& argument : arguments) wide.push_back(widened(argument));
    return run_wide(widened(tool_path()), wide, folder, 1);
}
#endif
