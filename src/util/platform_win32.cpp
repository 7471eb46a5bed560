// Win32 implementation of the platform layer (64-bit Windows, built with
// mingw-w64). Paths are the system's 8-bit ("ANSI") paths, in the ANSI code
// page, and are stepped through by its characters.
#ifdef _WIN32

#include "platform.h"
#include "platform_win32.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include <fcntl.h>
#include <io.h>
#include <windows.h>
// After windows.h, which they build on.
#include <aclapi.h>
#include <winioctl.h>

const char PATH_SEPARATOR = '\\';

// The C runtime's start-up code must hand the arguments over as they were
// typed: a package path holding '*' or '?' is a name, not a pattern.
extern "C" {
int _dowildcard = 0;

// The C runtime's own wide arguments, split from the UTF-16 command line by
// the same rules as the 8-bit ones main receives. Declared here: only the
// runtime's internal headers declare it.
struct CrtStartupInfo {
    int new_mode;
};
int __cdecl __wgetmainargs(int* count, wchar_t*** arguments, wchar_t*** environment, int expand_wildcards,
                           CrtStartupInfo* startup);
}

static HANDLE handle_of(PlatformFile file) {
    return reinterpret_cast<HANDLE>(file);
}

size_t platform_drive_length(const char* path) {
    if (path[0] != '\0' && path[1] == ':') return 2;
    // A network path's drive is its server and share: a folder walk must
    // start below the share, not at the root of the current drive.
    if (platform_is_separator(path[0]) && platform_is_separator(path[1])) {
        const char* share = platform_next_separator(path + 2);
        const char* end = share ? platform_next_separator(share + 1) : nullptr;
        return end ? static_cast<size_t>(end - path) : strlen(path);
    }
    return 0;
}

int platform_is_separator(char c) {
    return c == '\\' || c == '/';
}

const char* platform_next_character(const char* c) {
    return IsDBCSLeadByte(static_cast<BYTE>(*c)) && c[1] != '\0' ? c + 2 : c + 1;
}

const char* platform_next_separator(const char* text) {
    for (const char* c = text; *c; c = platform_next_character(c))
        if (platform_is_separator(*c)) return c;
    return nullptr;
}

unsigned platform_code_page() {
    return GetACP();
}

// Converts `wide` to the ANSI code page; 0 when a character has no place in
// it. UTF-8 as the ANSI code page takes neither the best-fit flag nor the
// default-character report, and loses only a lone surrogate.
static int to_code_page(const wchar_t* wide, std::string* text) {
    const UINT code_page = GetACP();
    const DWORD flags = code_page == CP_UTF8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL lossy = FALSE;
    BOOL* lossy_report = code_page == CP_UTF8 ? nullptr : &lossy;
    int size = WideCharToMultiByte(code_page, flags, wide, -1, nullptr, 0, nullptr, lossy_report);
    if (size <= 0) {
        // Only UTF-8 refuses outright; say what could be said.
        size = WideCharToMultiByte(code_page, 0, wide, -1, nullptr, 0, nullptr, nullptr);
        text->assign(size > 0 ? static_cast<size_t>(size) : 1, '\0');
        if (size > 0) WideCharToMultiByte(code_page, 0, wide, -1, &(*text)[0], size, nullptr, nullptr);
        text->resize(strlen(text->c_str()));
        return 0;
    }
    text->assign(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(code_page, flags, wide, -1, &(*text)[0], size, nullptr, lossy_report);
    text->resize(static_cast<size_t>(size) - 1);
    return !lossy;
}

void platform_arguments(int count, char** given, std::vector<std::string>* arguments, std::vector<char>* exact) {
    // Not CommandLineToArgvW: its shell32 loads user32, and a process that
    // loads user32 is sent no log-off or shut-down event.
    int wide_count = 0;
    wchar_t** wide = nullptr;
    wchar_t** environment = nullptr;
    CrtStartupInfo startup = {0};
    if (__wgetmainargs(&wide_count, &wide, &environment, 0, &startup) < 0 || !wide || wide_count != count) {
        arguments->assign(given, given + count);
        exact->assign(static_cast<size_t>(count), 1);
        return;
    }
    arguments->assign(static_cast<size_t>(wide_count), std::string());
    exact->assign(static_cast<size_t>(wide_count), 1);
    for (int i = 0; i < wide_count; i++) (*exact)[i] = static_cast<char>(to_code_page(wide[i], &(*arguments)[i]));
}

static void upper_case_ascii(char* text, size_t length) {
    for (size_t i = 0; i < length; i++)
        if (text[i] >= 'a' && text[i] <= 'z') text[i] = static_cast<char>(text[i] - 'a' + 'A');
}

// The names Windows keeps for devices in every folder, whatever extension
// follows them.
static const char* const DEVICE_NAMES[] = {"CON", "PRN", "AUX", "NUL"};
static const char* const NUMBERED_DEVICE_NAMES[] = {"COM", "LPT"};

// The digit of a numbered device: 0 to 9, and the superscripts one to three,
// which the system takes for 1 to 3.
static int is_device_digit(wchar_t c) {
    return (c >= L'0' && c <= L'9') || c == 0x00B9 || c == 0x00B2 || c == 0x00B3;
}

static int is_device_name(const char* piece, size_t length) {
    // The name ends at the first dot; blanks before the dot do not hide it.
    size_t base = 0;
    while (base < length && piece[base] != '.') base++;
    while (base > 0 && piece[base - 1] == ' ') base--;
    if (base < 3) return 0;
    char upper[3];
    memcpy(upper, piece, 3);
    upper_case_ascii(upper, 3);
    if (base == 3) {
        for (const char* device : DEVICE_NAMES)
            if (memcmp(upper, device, 3) == 0) return 1;
        return 0;
    }
    // A superscript takes one byte in most code pages, two in UTF-8.
    if (base > 5) return 0;
    wchar_t digit[2];
    const int digits = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, piece + 3, static_cast<int>(base - 3), digit, 2);
    if (digits != 1 || !is_device_digit(digit[0])) return 0;
    for (const char* device : NUMBERED_DEVICE_NAMES)
        if (memcmp(upper, device, 3) == 0) return 1;
    return 0;
}

// 1 when the last of the `length` bytes at `piece` is the first byte of a
// double-byte character whose second byte is missing.
static int ends_in_lone_lead_byte(const char* piece, size_t length) {
    size_t i = 0;
    while (i < length) {
        if (!IsDBCSLeadByte(static_cast<BYTE>(piece[i]))) {
            i++;
            continue;
        }
        if (i + 1 == length) return 1;
        i += 2;
    }
    return 0;
}

int platform_name_piece_allowed(const char* piece, size_t length, int is_folder) {
    // A colon names a drive or a file's alternate data stream.
    if (memchr(piece, ':', length)) return 0;
    // Windows drops trailing dots and blanks from names, so a piece made of
    // them alone ("...", ". .", " ") names no file of its own in its folder.
    // "." is the folder itself, as everywhere.
    const int is_dot = length == 1 && piece[0] == '.';
    size_t kept = length;
    while (kept > 0 && (piece[kept - 1] == '.' || piece[kept - 1] == ' ')) kept--;
    if (kept == 0 && length > 0 && !is_dot) return 0;
    // A folder is made without them, but a path that goes through it keeps
    // them, and leads nowhere.
    if (is_folder && kept < length && !is_dot) return 0;
    // Such a byte would take the separator or the terminator after it as
    // its second byte: the system and the listing would see another name.
    if (ends_in_lone_lead_byte(piece, length)) return 0;
    return !is_device_name(piece, length);
}

int platform_names_fold() {
    return 1;
}

// Taken by the main thread around every write, and for the whole of a
// hold. The console control handler, which runs on a thread of its own,
// takes it and never gives it back: once it has cut a package back, no
// write of the main thread can start before the process ends.
static CRITICAL_SECTION* write_guard() {
    static CRITICAL_SECTION guard;
    static const bool ready = (InitializeCriticalSection(&guard), true);
    static_cast<void>(ready);
    return &guard;
}

// The interrupt cleanup, changed and read only under the write guard.
static HANDLE cleanup_file = INVALID_HANDLE_VALUE;
static uint64_t cleanup_size = 0;
static std::string cleanup_path;

ConsoleEventAction console_event_action(unsigned long event, int interactive_session) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            return EVENT_INTERRUPTS;
        case CTRL_LOGOFF_EVENT:
            return interactive_session ? EVENT_INTERRUPTS : EVENT_IGNORED;
        default:
            return EVENT_PASSED_ON;
    }
}

// Session 0 is the services' session: no user works in it. Where the
// system cannot say, the process counts as interactive, whose log-off
// undoes the run's change, which is what any interrupt does.
static int in_interactive_session() {
    DWORD session = 0;
    return !ProcessIdToSessionId(GetCurrentProcessId(), &session) || session != 0;
}

static int interactive_session = 1;

// Registered first, so it runs after any handler registered later (the key
// wait's). It ends the process as the system's own handler would, with the
// status of an interrupted program, but says so itself: not every system's
// default handler does.
static BOOL WINAPI undo_on_console_event(DWORD event) {
    ConsoleEventAction action = console_event_action(event, interactive_session);
    if (action == EVENT_IGNORED) return TRUE;
    if (action == EVENT_PASSED_ON) return FALSE;
    EnterCriticalSection(write_guard());
    if (cleanup_file != INVALID_HANDLE_VALUE)
        platform_truncate(reinterpret_cast<PlatformFile>(cleanup_file), cleanup_size);
    if (!cleanup_path.empty()) DeleteFileA(cleanup_path.c_str());
    ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
}

void platform_start_console() {
    // Text mode turns each line feed printed into CR LF.
    _setmode(_fileno(stdout), _O_TEXT);
    write_guard();
    interactive_session = in_interactive_session();
    SetConsoleCtrlHandler(undo_on_console_event, TRUE);
}

void platform_binary_output() {
    fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
}

void platform_interrupt_cleanup(PlatformFile file, uint64_t size, const char* remove_path) {
    EnterCriticalSection(write_guard());
    cleanup_file = handle_of(file);
    cleanup_size = size;
    cleanup_path = remove_path ? remove_path : "";
    LeaveCriticalSection(write_guard());
}

int platform_open_folder_for_creating(const char*, PlatformFile*) {
    return 0;
}

// Windows has no create relative to an open folder here (see
// platform_open_folder_for_creating): every file is named by its whole path.
static CreateResult create_removed_on_interrupt(const char* path, CreateResult (*create)(const char*, PlatformFile*),
                                                PlatformFile* file) {
    // Under the guard, the handler cannot run between the create and the
    // setting; it waits, and then finds the file to remove.
    EnterCriticalSection(write_guard());
    cleanup_file = INVALID_HANDLE_VALUE;
    cleanup_path.clear();
    CreateResult created = create(path, file);
    if (created == CREATE_DONE) cleanup_path = path;
    LeaveCriticalSection(write_guard());
    return created;
}

CreateResult platform_create_new_removed_on_interrupt(const char* path, PlatformFile, size_t, PlatformFile* file) {
    return create_removed_on_interrupt(path, platform_create_new, file);
}

// The temporary file is opened with the rights that giving it another
// file's access rules and compression need, which platform_create_new
// never asks for.
CreateResult platform_create_private_removed_on_interrupt(const char* path, PlatformFile, size_t, PlatformFile* file) {
    return create_removed_on_interrupt(path, platform_create_private, file);
}

int platform_remove_file_below(const char* path, PlatformFile, size_t) {
    return platform_remove_file(path);
}

int platform_rename_below(const char* source_path, const char* target_path, PlatformFile, size_t) {
    // The system refuses to replace a read-only file, which POSIX rename
    // replaces: the target loses the attribute for the rename, and the file
    // that takes its place gets it, as it would keep its permission bits.
    const DWORD attributes = GetFileAttributesA(target_path);
    const int read_only = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
    if (read_only && !SetFileAttributesA(target_path, attributes & ~FILE_ATTRIBUTE_READONLY)) return 0;
    if (!MoveFileExA(source_path, target_path, MOVEFILE_REPLACE_EXISTING)) {
        if (read_only) SetFileAttributesA(target_path, attributes);
        return 0;
    }
    const DWORD renamed = read_only ? GetFileAttributesA(target_path) : INVALID_FILE_ATTRIBUTES;
    if (renamed != INVALID_FILE_ATTRIBUTES) SetFileAttributesA(target_path, renamed | FILE_ATTRIBUTE_READONLY);
    return 1;
}

static int interrupts_held = 0;

void platform_interrupt_hold() {
    if (!interrupts_held) EnterCriticalSection(write_guard());
    interrupts_held = 1;
    cleanup_file = INVALID_HANDLE_VALUE;
    cleanup_path.clear();
}

void platform_interrupt_resume() {
    EnterCriticalSection(write_guard());
    cleanup_file = INVALID_HANDLE_VALUE;
    cleanup_path.clear();
    LeaveCriticalSection(write_guard());
    // A handler that waited for the hold to end goes on now and ends the
    // process.
    if (interrupts_held) LeaveCriticalSection(write_guard());
    interrupts_held = 0;
}

// Both system calls return the length without the terminator when the text
// fits and the size needed, terminator included, when it does not.
static int took_whole_text(DWORD length, size_t out_size) {
    return length > 0 && length < out_size;
}

int platform_current_folder(char* out, size_t out_size) {
    return took_whole_text(GetCurrentDirectoryA(static_cast<DWORD>(out_size), out), out_size);
}

int platform_full_path(const char* path, char* out, size_t out_size, int* too_long) {
    *too_long = 0;
    // GetFullPathNameA refuses an empty path; its full form is the working
    // directory.
    DWORD length = path[0] == '\0' ? GetCurrentDirectoryA(static_cast<DWORD>(out_size), out)
                                   : GetFullPathNameA(path, static_cast<DWORD>(out_size), out, nullptr);
    if (took_whole_text(length, out_size)) return 1;
    *too_long = length > 0 || GetLastError() == ERROR_FILENAME_EXCED_RANGE;
    return 0;
}

// Opens `path` and keeps the handle only when it names a file on a disk:
// a folder does not open without backup semantics, and a device (CON, NUL,
// a port) or a pipe opens but is not a disk file.
static OpenResult open_regular(const char* path, DWORD access, DWORD share, PlatformFile* file, uint64_t* size) {
    HANDLE handle = CreateFileA(path, access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return OPEN_MISSING;
        if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) return OPEN_IN_USE;
        // A folder is refused as if access were denied.
        DWORD attributes = GetFileAttributesA(path);
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return OPEN_MISSING;
        return OPEN_FAILED;
    }
    BY_HANDLE_FILE_INFORMATION info;
    OpenResult result = OPEN_DONE;
    if (GetFileType(handle) != FILE_TYPE_DISK)
        result = OPEN_MISSING;
    else if (!GetFileInformationByHandle(handle, &info))
        result = OPEN_FAILED;
    else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        result = OPEN_MISSING;
    if (result != OPEN_DONE) {
        CloseHandle(handle);
        return result;
    }
    *file = reinterpret_cast<PlatformFile>(handle);
    *size = uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow;
    return OPEN_DONE;
}

OpenResult platform_open_read(const char* path, PlatformFile* file, uint64_t* size) {
    // Other programs may go on reading, writing, renaming or removing the
    // file, as they may on POSIX systems. A program that opened it without
    // sharing it (an editor, a scanner) makes it unreadable for now.
    OpenResult opened = open_regular(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     file, size);
    return opened == OPEN_IN_USE ? OPEN_FAILED : opened;
}

OpenResult platform_open_package(const char* path, PackageAccess access, PlatformFile* file, uint64_t* size) {
    // The share mode is the lock: every run lets readers in and keeps
    // writers out, so an update shares with no run and reads share with
    // each other. Without FILE_SHARE_DELETE no run can replace the file
    // while another holds it open.
    // A run that replaces the package shares deletion too, which lets it
    // rename its new file over the package it still holds; no other run can
    // open the package meanwhile.
    DWORD rights = access == PACKAGE_READ ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
    DWORD share = access == PACKAGE_REPLACE ? FILE_SHARE_READ | FILE_SHARE_DELETE : FILE_SHARE_READ;
    return open_regular(path, rights, share, file, size);
}

// Whether `path` is in the verbatim form ("\\?\...", which the system
// takes as it stands) and its last piece ends in a dot or a blank: a file
// or folder made under that name is one that most programs cannot open or
// remove, since their paths drop those characters.
static int verbatim_name_ends_badly(const char* path) {
    if (strncmp(path, "\\\\?\\", 4) != 0) return 0;
    size_t length = strlen(path);
    while (length > 4 && platform_is_separator(path[length - 1])) length--;
    return length > 4 && (path[length - 1] == '.' || path[length - 1] == ' ');
}

static CreateResult create_exclusive(const char* path, DWORD rights, PlatformFile* file) {
    if (verbatim_name_ends_badly(path)) return CREATE_FAILED;
    // CREATE_NEW fails when anything stands at the path; opening the reparse
    // point itself keeps a link there, dangling or not, from being followed.
    // Sharing deletion lets an interrupt remove the file while it is open.
    HANDLE handle = CreateFileA(path, rights, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? CREATE_EXISTS : CREATE_FAILED;
    }
    // A device name opens the device, whose writes would go nowhere a file
    // can be found again.
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        CloseHandle(handle);
        return CREATE_FAILED;
    }
    *file = reinterpret_cast<PlatformFile>(handle);
    return CREATE_DONE;
}

CreateResult platform_create_new(const char* path, PlatformFile* file) {
    // Write access alone: a server or a folder may refuse more, such as the
    // right to change a file's access rules.
    return create_exclusive(path, GENERIC_WRITE, file);
}

// The long form of `path` ("\\?\C:\..." or "\\?\UNC\server\share\..."),
// which the wide calls take past MAX_PATH. CreateDirectoryA refuses folders
// of 248 characters or more (it keeps room for an 8.3 name below them), even
// one that exists, while the tool's paths may have 259. The long form is
// taken literally, so the system first folds the path as the ANSI calls
// would: "." and "..", "/", and the trailing dots and blanks of a piece.
static int long_path(const char* path, std::wstring* wide) {
    int size = MultiByteToWideChar(CP_ACP, 0, path, -1, nullptr, 0);
    if (size <= 0) return 0;
    std::wstring given(static_cast<size_t>(size), L'\0');
    if (MultiByteToWideChar(CP_ACP, 0, path, -1, &given[0], size) != size) return 0;
    DWORD full_size = GetFullPathNameW(given.c_str(), 0, nullptr, nullptr);
    if (full_size == 0) return 0;
    std::wstring full(full_size, L'\0');
    DWORD length = GetFullPathNameW(given.c_str(), full_size, &full[0], nullptr);
    if (length == 0 || length >= full_size) return 0;
    full.resize(length);
    // A path in the long form or the device space ("\\.\CON") stays as it is.
    if (full.compare(0, 4, L"\\\\?\\") == 0 || full.compare(0, 4, L"\\\\.\\") == 0)
        *wide = full;
    else if (full.compare(0, 2, L"\\\\") == 0)
        *wide = L"\\\\?\\UNC" + full.substr(1);
    else
        *wide = L"\\\\?\\" + full;
    return 1;
}

// The query of a folder's letter-case rule and its answer, spelled out for
// headers that lack them.
static const FILE_INFO_BY_HANDLE_CLASS CASE_SENSITIVE_INFO = static_cast<FILE_INFO_BY_HANDLE_CLASS>(23);
static const ULONG CASE_SENSITIVE_FOLDER = 0x1;

int platform_folder_folds_case(const char* folder) {
    static std::string asked;
    static int folds = 1;
    if (!asked.empty() && asked == folder) return folds;
    asked = folder;
    folds = 1;
    // A file system or a system that cannot say folds, as Windows always has.
    std::wstring wide;
    HANDLE opened = long_path(folder, &wide) ? CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES,
                                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr)
                                             : INVALID_HANDLE_VALUE;
    if (opened == INVALID_HANDLE_VALUE) return folds;
    ULONG flags = 0;
    if (GetFileInformationByHandleEx(opened, CASE_SENSITIVE_INFO, &flags, sizeof flags) &&
        (flags & CASE_SENSITIVE_FOLDER))
        folds = 0;
    CloseHandle(opened);
    return folds;
}

int platform_is_link(const char* path) {
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

PathKind platform_path_kind(const char* path) {
    std::wstring wide;
    if (!long_path(path, &wide)) return PATH_MISSING;
    DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return PATH_MISSING;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        // A link: what it leads to counts, and a dangling one is missing.
        HANDLE handle = CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (handle == INVALID_HANDLE_VALUE) return PATH_MISSING;
        BY_HANDLE_FILE_INFORMATION info;
        if (GetFileInformationByHandle(handle, &info)) attributes = info.dwFileAttributes;
        CloseHandle(handle);
    }
    return attributes & FILE_ATTRIBUTE_DIRECTORY ? PATH_FOLDER : PATH_FILE;
}

// ReadFile and WriteFile move at most a DWORD's worth of bytes per call.
static const size_t IO_STEP = size_t{1} << 30;

// The OVERLAPPED record of a synchronous handle only carries the offset.
static OVERLAPPED at_offset(uint64_t offset) {
    OVERLAPPED position = {};
    position.Offset = static_cast<DWORD>(offset);
    position.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return position;
}

void (*platform_read_done_hook)() = nullptr;

int platform_read_at(PlatformFile file, uint64_t offset, void* buffer, size_t size) {
    char* bytes = static_cast<char*>(buffer);
    while (size > 0) {
        DWORD step = static_cast<DWORD>(size < IO_STEP ? size : IO_STEP);
        OVERLAPPED position = at_offset(offset);
        DWORD done = 0;
        // At the end of the file ReadFile fails or reads nothing.
        const BOOL read = ReadFile(handle_of(file), bytes, step, &done, &position);
        if (platform_read_done_hook) platform_read_done_hook();
        if (!read || done == 0) return 0;
        bytes += done;
        size -= done;
        offset += done;
    }
    return 1;
}

int platform_write_at(PlatformFile file, uint64_t offset, const void* buffer, size_t size) {
    const char* bytes = static_cast<const char*>(buffer);
    while (size > 0) {
        DWORD step = static_cast<DWORD>(size < IO_STEP ? size : IO_STEP);
        OVERLAPPED position = at_offset(offset);
        DWORD done = 0;
        EnterCriticalSection(write_guard());
        BOOL wrote = WriteFile(handle_of(file), bytes, step, &done, &position);
        LeaveCriticalSection(write_guard());
        if (!wrote || done == 0) return 0;
        bytes += done;
        size -= done;
        offset += done;
    }
    return 1;
}

CopyResult platform_copy_range(PlatformFile source, uint64_t source_offset, PlatformFile target,
                               uint64_t target_offset, uint64_t size) {
    // Windows has no copy between offsets of two arbitrary files, so the
    // bytes pass through a bounded buffer, which also tells a failed read
    // from a failed write.
    // One buffer for the whole run: grouping many small files would
    // otherwise allocate once per file.
    const uint64_t STEP = 1 << 20;
    static std::vector<char> buffer;
    if (buffer.empty()) buffer.resize(STEP);
    while (size > 0) {
        size_t step = static_cast<size_t>(size < STEP ? size : STEP);
        if (!platform_read_at(source, source_offset, buffer.data(), step)) return COPY_READ_FAILED;
        if (!platform_write_at(target, target_offset, buffer.data(), step)) return COPY_WRITE_FAILED;
        source_offset += step;
        target_offset += step;
        size -= step;
    }
    return COPY_DONE;
}

int platform_sync(PlatformFile file) {
    return FlushFileBuffers(handle_of(file)) != 0;
}

void platform_start_writeback(PlatformFile, uint64_t, uint64_t) {}

int platform_sync_data(PlatformFile file) {
    return platform_sync(file);
}

// A file's whole identity: the volume's 64-bit serial number and the file's
// 128-bit id (FILE_ID_INFO). ReFS, Dev Drive among them, gives ids whose
// lower 64 bits alone are not unique. Where the file system refuses that
// query, the older 32-bit serial number and 64-bit index.
struct WholeIdentity {
    uint64_t volume;
    uint64_t id_low;
    uint64_t id_high;
};

static int whole_identity(HANDLE file, WholeIdentity* identity) {
    FILE_ID_INFO info;
    if (GetFileInformationByHandleEx(file, FileIdInfo, &info, sizeof info)) {
        identity->volume = info.VolumeSerialNumber;
        memcpy(&identity->id_low, info.FileId.Identifier, 8);
        memcpy(&identity->id_high, info.FileId.Identifier + 8, 8);
        return 1;
    }
    BY_HANDLE_FILE_INFORMATION old;
    if (!GetFileInformationByHandle(file, &old)) return 0;
    *identity = WholeIdentity{old.dwVolumeSerialNumber, uint64_t{old.nFileIndexHigh} << 32 | old.nFileIndexLow, 0};
    return 1;
}

int platform_file_identity(PlatformFile file, FileIdentity* identity) {
    WholeIdentity whole;
    if (!whole_identity(handle_of(file), &whole)) return 0;
    // NTFS's ids are its 64-bit indexes; a 128-bit id is folded, and a match
    // of folded ids is confirmed by platform_same_file.
    const uint64_t folded = whole.id_high == 0 ? whole.id_low : whole.id_low ^ (whole.id_high * 0x9E3779B97F4A7C15u);
    *identity = FileIdentity{whole.volume, folded};
    return 1;
}

// Opens what `path` names, following links, for its identity alone.
static HANDLE open_for_identity(const char* path) {
    std::wstring wide;
    if (!long_path(path, &wide)) return INVALID_HANDLE_VALUE;
    return CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

int platform_same_file(PlatformFile file, const char* path) {
    // Both are open now: a share that gives a closed file's index to the
    // next file it opens cannot give one index to both.
    HANDLE other = open_for_identity(path);
    if (other == INVALID_HANDLE_VALUE) return 0;
    WholeIdentity held, named;
    const int known = whole_identity(handle_of(file), &held) && whole_identity(other, &named);
    CloseHandle(other);
    // Files told apart by the upper half of their ids alone are two files.
    return known && held.volume == named.volume && held.id_low == named.id_low && held.id_high == named.id_high;
}

int platform_truncate(PlatformFile file, uint64_t size) {
    // SetEndOfFile cuts at the file pointer, which every ReadFile moves,
    // also one at an offset: the console handler, on a thread of its own,
    // could cut at the end of a read of the main thread instead.
    FILE_END_OF_FILE_INFO end;
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
    EnterCriticalSection(write_guard());
    int done = SetFileInformationByHandle(handle_of(file), FileEndOfFileInfo, &end, sizeof end) != 0;
    LeaveCriticalSection(write_guard());
    return done;
}

int platform_close(PlatformFile file) {
    return CloseHandle(handle_of(file)) != 0;
}

// An indexer, a scanner or a game may hold a file for a moment, just after
// the tool closed it or before it wants to rename it: such a refusal is
// tried again for this long.
static const ULONGLONG BUSY_RETRY_MS = 2000;
static const DWORD BUSY_PAUSE_MS = 50;

static int is_busy(DWORD error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

CreateResult platform_create_private(const char* path, PlatformFile* file) {
    // WRITE_DAC lets platform_copy_access give the file its model's access
    // rules; FSCTL_SET_COMPRESSION needs read and write access to the data.
    return create_exclusive(path, GENERIC_READ | GENERIC_WRITE | WRITE_DAC, file);
}

ResolveResult platform_resolve_links(const char* path, PlatformFile file, char* out, size_t out_size) {
    // The path of the file this run holds, every link on the way resolved:
    // "\\?\C:\..." or "\\?\UNC\server\share\...".
    const DWORD flags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
    DWORD size = GetFinalPathNameByHandleW(handle_of(file), nullptr, 0, flags);
    if (size == 0) return RESOLVE_CHANGED;
    std::wstring wide(size, L'\0');
    DWORD length = GetFinalPathNameByHandleW(handle_of(file), &wide[0], size, flags);
    if (length == 0 || length >= size) return RESOLVE_CHANGED;
    wide.resize(length);
    if (wide.compare(0, 8, L"\\\\?\\UNC\\") == 0)
        wide = L"\\\\" + wide.substr(8);
    else if (wide.compare(0, 4, L"\\\\?\\") == 0)
        wide = wide.substr(4);
    // A path the ANSI code page cannot hold names no file the tool can reach.
    std::string resolved;
    if (!to_code_page(wide.c_str(), &resolved)) return RESOLVE_CHANGED;
    if (resolved.size() + 1 > out_size) return RESOLVE_TOO_LONG;
    // Both the path given and the one resolved must still lead to the file
    // held: a link or the file may have been replaced meanwhile.
    if (!platform_same_file(file, path) || !platform_same_file(file, resolved.c_str())) return RESOLVE_CHANGED;
    memcpy(out, resolved.c_str(), resolved.size() + 1);
    return RESOLVE_DONE;
}

int platform_remove_file(const char* path) {
    const ULONGLONG deadline = GetTickCount64() + BUSY_RETRY_MS;
    while (!DeleteFileA(path)) {
        if (!is_busy(GetLastError()) || GetTickCount64() >= deadline) return 0;
        Sleep(BUSY_PAUSE_MS);
    }
    return 1;
}

// The attributes a file's owner sets; read-only is left out, since the new
// file is still to be written.
static const DWORD KEPT_ATTRIBUTES = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                     FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

int platform_copy_access(PlatformFile model, PlatformFile file) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle_of(model), &info)) return 0;
    {
        FILE_BASIC_INFO basic = {};
        basic.FileAttributes = (info.dwFileAttributes & KEPT_ATTRIBUTES) | FILE_ATTRIBUTE_NORMAL;
        if (basic.FileAttributes != FILE_ATTRIBUTE_NORMAL) basic.FileAttributes &= ~FILE_ATTRIBUTE_NORMAL;
        SetFileInformationByHandle(handle_of(file), FileBasicInfo, &basic, sizeof basic);
        USHORT compression = COMPRESSION_FORMAT_DEFAULT;
        DWORD returned = 0;
        // A compressed package that came out uncompressed would take more
        // room than the one it replaces.
        if ((info.dwFileAttributes & FILE_ATTRIBUTE_COMPRESSED) &&
            !DeviceIoControl(handle_of(file), FSCTL_SET_COMPRESSION, &compression, sizeof compression, nullptr, 0,
                             &returned, nullptr))
            return 0;
    }
    // The model's own access rules, and whether it also takes its folder's:
    // a new file takes only its folder's.
    PACL rules = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(handle_of(model), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &rules,
                        nullptr, &descriptor) != ERROR_SUCCESS)
        return 1;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (rules && GetSecurityDescriptorControl(descriptor, &control, &revision)) {
        SECURITY_INFORMATION which = DACL_SECURITY_INFORMATION |
                                     (control & SE_DACL_PROTECTED ? PROTECTED_DACL_SECURITY_INFORMATION
                                                                  : UNPROTECTED_DACL_SECURITY_INFORMATION);
        SetSecurityInfo(handle_of(file), SE_FILE_OBJECT, which, nullptr, nullptr, rules, nullptr);
    }
    LocalFree(descriptor);
    return 1;
}

// The rename that FileRenameInfoEx asks for: replace the target, even one
// that is open (with deletion shared), as POSIX rename does. The names are
// spelled out for headers that lack them.
static const FILE_INFO_BY_HANDLE_CLASS RENAME_INFO_EX = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);
static const DWORD RENAME_REPLACE_IF_EXISTS = 0x1;
static const DWORD RENAME_POSIX_SEMANTICS = 0x2;

// Renames the file open as `source` to `target` (its long form) with POSIX
// semantics. Returns ERROR_SUCCESS or the system's error.
static DWORD rename_open_file(HANDLE source, const std::wstring& target) {
    const size_t name_size = target.size() * sizeof(wchar_t);
    std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + name_size);
    FILE_RENAME_INFO* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    // Flags share the first field with ReplaceIfExists.
    const DWORD flags = RENAME_REPLACE_IF_EXISTS | RENAME_POSIX_SEMANTICS;
    memcpy(buffer.data(), &flags, sizeof flags);
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(name_size);
    // The record's own one-character name leaves room for the terminator.
    memcpy(rename->FileName, target.c_str(), name_size + sizeof(wchar_t));
    if (SetFileInformationByHandle(source, RENAME_INFO_EX, rename, static_cast<DWORD>(buffer.size())))
        return ERROR_SUCCESS;
    return GetLastError();
}

// Flushes the file at `path`, which makes its new name durable with it.
static int flush_path(const char* path) {
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    int flushed = FlushFileBuffers(file) != 0;
    CloseHandle(file);
    return flushed;
}

// Whether a refusal of access to replace the file at `target` (its long
// form) lasts: an indexer or a scanner that holds the file makes an open for
// deletion fail with a sharing violation, a missing right with a denial.
static int lacks_delete_right(const std::wstring& target) {
    HANDLE probe = CreateFileW(target.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (probe != INVALID_HANDLE_VALUE) {
        CloseHandle(probe);
        return 0;
    }
    return GetLastError() == ERROR_ACCESS_DENIED;
}

ReplaceResult platform_replace_file(const char* source_path, const char* target_path, PlatformFile* target_file) {
    const ULONGLONG deadline = GetTickCount64() + BUSY_RETRY_MS;
    std::wstring target;
    if (!long_path(target_path, &target)) return REPLACE_FAILED;
    // First the rename of the new file's handle, which replaces the target
    // while this run still holds it open and locked.
    for (;;) {
        HANDLE source = CreateFileA(source_path, GENERIC_WRITE | DELETE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD error = source == INVALID_HANDLE_VALUE ? GetLastError() : rename_open_file(source, target);
        if (error == ERROR_SUCCESS) {
            // MOVEFILE_WRITE_THROUGH only covers a move by copying; a flush
            // of the renamed file takes its new name to the disk.
            int flushed = FlushFileBuffers(source) != 0;
            CloseHandle(source);
            return flushed ? REPLACE_DONE : REPLACE_NOT_DURABLE;
        }
        if (source != INVALID_HANDLE_VALUE) CloseHandle(source);
        if (error == ERROR_ACCESS_DENIED && lacks_delete_right(target)) return REPLACE_DENIED;
        if (!is_busy(error) || GetTickCount64() >= deadline) break;
        Sleep(BUSY_PAUSE_MS);
    }
    // A file system or a system without that rename: the target cannot be
    // replaced while it is open, so it is closed first.
    BY_HANDLE_FILE_INFORMATION before = {};
    int compare = 0;
    if (*target_file != NO_FILE) {
        compare = GetFileInformationByHandle(handle_of(*target_file), &before);
        CloseHandle(handle_of(*target_file));
    }
    *target_file = NO_FILE;
    for (;;) {
        // A run that held the target since it was closed, before the first
        // move as before each retry, may have written it: its edit must not
        // be renamed over.
        WIN32_FILE_ATTRIBUTE_DATA now;
        if (compare && (!GetFileAttributesExA(target_path, GetFileExInfoStandard, &now) ||
                        CompareFileTime(&now.ftLastWriteTime, &before.ftLastWriteTime) != 0 ||
                        now.nFileSizeHigh != before.nFileSizeHigh || now.nFileSizeLow != before.nFileSizeLow))
            return REPLACE_IN_USE;
        if (MoveFileExA(source_path, target_path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return flush_path(target_path) ? REPLACE_DONE : REPLACE_NOT_DURABLE;
        DWORD error = GetLastError();
        if (!is_busy(error)) return REPLACE_FAILED;
        if (error == ERROR_ACCESS_DENIED && lacks_delete_right(target)) return REPLACE_DENIED;
        if (GetTickCount64() >= deadline) return REPLACE_IN_USE;
        Sleep(BUSY_PAUSE_MS);
        compare = 1;
    }
}

FolderResult platform_make_folder(const char* path) {
    std::wstring wide;
    if (!long_path(path, &wide)) return FOLDER_FAILED;
    if (verbatim_name_ends_badly(path)) return platform_path_kind(path) == PATH_FOLDER ? FOLDER_EXISTS : FOLDER_FAILED;
    if (CreateDirectoryW(wide.c_str(), nullptr)) return FOLDER_MADE;
    if (GetLastError() == ERROR_ALREADY_EXISTS && platform_path_kind(path) == PATH_FOLDER) return FOLDER_EXISTS;
    return FOLDER_FAILED;
}

int platform_change_folder(const char* path) {
    return SetCurrentDirectoryA(path) != 0;
}

int platform_map(PlatformFile file, uint64_t size, PlatformMapping* mapping) {
    *mapping = PlatformMapping{nullptr, 0, 0};
    if (size == 0 || size > SIZE_MAX) return 0;
    HANDLE object = CreateFileMappingA(handle_of(file), nullptr, PAGE_READONLY, static_cast<DWORD>(size >> 32),
                                       static_cast<DWORD>(size), nullptr);
    if (!object) return 0;
    const void* view = MapViewOfFile(object, FILE_MAP_READ, 0, 0, static_cast<SIZE_T>(size));
    if (!view) {
        CloseHandle(object);
        return 0;
    }
    mapping->view = static_cast<const unsigned char*>(view);
    mapping->size = size;
    mapping->mapping_handle = reinterpret_cast<intptr_t>(object);
    return 1;
}

void platform_unmap(PlatformMapping* mapping) {
    if (mapping->view) UnmapViewOfFile(mapping->view);
    if (mapping->mapping_handle) CloseHandle(reinterpret_cast<HANDLE>(mapping->mapping_handle));
    *mapping = PlatformMapping{nullptr, 0, 0};
}

void platform_release_pages(const PlatformMapping* mapping, uint64_t offset, uint64_t size) {
    if (!mapping->view || offset >= mapping->size) return;
    if (size > mapping->size - offset) size = mapping->size - offset;
    // Unlocking pages that were never locked takes them out of the process's
    // working set; the call reports ERROR_NOT_LOCKED, which is expected.
    VirtualUnlock(const_cast<unsigned char*>(mapping->view) + offset, static_cast<SIZE_T>(size));
}

// Set when the last wait ended on a function or cursor key: its second code
// is still to be read, and the next wait takes it without waiting.
static int second_code_pending = 0;

// The keys of the numeric keypad, as they arrive with NumLock on and (not
// flagged as enhanced keys, unlike the cursor block) with NumLock off.
static int is_numpad_key(const KEY_EVENT_RECORD& key) {
    WORD code = key.wVirtualKeyCode;
    if (code >= VK_NUMPAD0 && code <= VK_NUMPAD9) return 1;
    return !(key.dwControlKeyState & ENHANCED_KEY) &&
           ((code >= VK_PRIOR && code <= VK_DOWN) || code == VK_INSERT || code == VK_CLEAR);
}

// How many codes a key event yields: none for a key going up or a key with
// no character and no code of its own (Shift, Ctrl, Alt, a lock key); one
// for a character, Ctrl+C included; two (0 or 224, then the key's own code)
// for a function or cursor key.
//
// A character typed as Alt plus numpad digits (or pasted: the console
// delivers pasted text that way too) arrives with the release of Alt, the
// digits before it being keys pressed while Alt is held, which yield
// nothing. A character past 16 bits arrives in two halves; the first yields
// nothing, so that it ends one wait, not two.
static int codes_of_key(const KEY_EVENT_RECORD& key) {
    wchar_t character = key.uChar.UnicodeChar;
    if (character >= 0xD800 && character <= 0xDBFF) return 0;
    if (!key.bKeyDown) return key.wVirtualKeyCode == VK_MENU && character != 0 ? 1 : 0;
    if ((key.dwControlKeyState & (LEFT_ALT_PRESSED | RIGHT_ALT_PRESSED)) && is_numpad_key(key)) return 0;
    if (character != 0) return 1;
    WORD code = key.wVirtualKeyCode;
    if ((code >= VK_F1 && code <= VK_F12) || (code >= VK_PRIOR && code <= VK_DOWN) || code == VK_INSERT ||
        code == VK_DELETE || code == VK_CLEAR)
        return 2;
    return 0;
}

// The console's mode before the wait set it to 0, for the control handler.
static std::atomic<DWORD> mode_before_wait{0};

// Ctrl+Break, or closing the console window, ends the process through the
// control handlers while the wait reads (input processing is off, so Ctrl+C
// is only a key). The console would be left in mode 0, without echo or line
// input, for the shell that gets it back: put its mode back, then pass the
// event on to the handlers registered before (FALSE), and to the default
// one that ends the process. A handle of its own: the wait closes its
// handle when it ends, which may be while this runs on its own thread.
static BOOL WINAPI restore_console_mode(DWORD) {
    HANDLE console = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    if (console != INVALID_HANDLE_VALUE) {
        SetConsoleMode(console, mode_before_wait);
        CloseHandle(console);
    }
    return FALSE;
}

void platform_wait_key() {
    if (second_code_pending) {
        second_code_pending = 0;
        return;
    }
    // CONIN$ is the console's own input, whatever standard input is; it does
    // not open when the process has no console.
    HANDLE console = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    if (console == INVALID_HANDLE_VALUE) return;
    DWORD saved_mode;
    if (!GetConsoleMode(console, &saved_mode)) {
        CloseHandle(console);
        return;
    }
    mode_before_wait = saved_mode;
    SetConsoleCtrlHandler(restore_console_mode, TRUE);
    // No echo, no line input and no input processing: Ctrl+C arrives as a
    // key that ends the wait instead of a signal that stops the tool.
    SetConsoleMode(console, 0);
    INPUT_RECORD record;
    DWORD got;
    while (ReadConsoleInputW(console, &record, 1, &got) && got == 1) {
        if (record.EventType != KEY_EVENT) continue;
        int codes = codes_of_key(record.Event.KeyEvent);
        if (codes == 0) continue;
        second_code_pending = codes == 2;
        break;
    }
    SetConsoleMode(console, saved_mode);
    SetConsoleCtrlHandler(restore_console_mode, FALSE);
    CloseHandle(console);
}

int platform_stream_length(FILE* stream, uint64_t* length) {
    int descriptor = _fileno(stream);
    if (descriptor < 0) return 0;
    HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
    // The size of a disk file is known without moving its position; a pipe
    // or the console has none.
    LARGE_INTEGER size;
    if (file == INVALID_HANDLE_VALUE || GetFileType(file) != FILE_TYPE_DISK || !GetFileSizeEx(file, &size)) return 0;
    *length = static_cast<uint64_t>(size.QuadPart);
    return 1;
}

int platform_stream_position(FILE* stream, uint64_t* position) {
    // ftell's long has 32 bits here.
    __int64 told = _ftelli64(stream);
    if (told < 0) return 0;
    *position = static_cast<uint64_t>(told);
    return 1;
}

// Appends `argument` so that the child's command-line parser (the rules of
// CommandLineToArgvW and of the C runtime) gives it back whole: inside
// quotes, backslashes are doubled where a quote follows them and each quote
// of the argument is escaped.
static void append_quoted(std::string* command_line, const char* argument) {
    if (argument[0] != '\0' && !strpbrk(argument, " \t\n\v\"")) {
        *command_line += argument;
        return;
    }
    *command_line += '"';
    size_t backslashes = 0;
    for (const char* c = argument; *c; c++) {
        if (*c == '\\') {
            backslashes++;
            continue;
        }
        command_line->append(*c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        *command_line += *c;
        backslashes = 0;
    }
    command_line->append(2 * backslashes, '\\');
    *command_line += '"';
}

static int is_file(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Finds `candidate` as the command interpreter would: as it stands when its
// last piece has an extension, otherwise with each extension it runs, in
// its order.
static int find_with_extensions(const std::string& candidate, std::string* found) {
    static const char* const EXTENSIONS[] = {".com", ".exe", ".bat", ".cmd"};
    size_t piece_start = candidate.find_last_of("\\/:");
    piece_start = piece_start == std::string::npos ? 0 : piece_start + 1;
    if (candidate.find('.', piece_start) != std::string::npos) {
        *found = candidate;
        return is_file(candidate);
    }
    for (const char* extension : EXTENSIONS) {
        *found = candidate + extension;
        if (is_file(*found)) return 1;
    }
    return 0;
}

// The name first (a relative one from the current folder), then each folder
// of PATH, unless the name holds a forward slash or is absolute.
static int find_program(const char* program, std::string* found) {
    if (find_with_extensions(program, found)) return 1;
    if (strchr(program, '/') || platform_drive_length(program) > 0 || platform_is_separator(program[0])) return 0;
    DWORD size = GetEnvironmentVariableA("PATH", nullptr, 0);
    if (size == 0) return 0;
    std::string search(size, '\0');
    search.resize(GetEnvironmentVariableA("PATH", &search[0], size));
    size_t start = 0;
    while (start < search.size()) {
        size_t end = search.find(';', start);
        if (end == std::string::npos) end = search.size();
        std::string folder = search.substr(start, end - start);
        start = end + 1;
        if (folder.empty()) continue;
        if (!platform_is_separator(folder.back())) folder += PATH_SEPARATOR;
        if (find_with_extensions(folder + program, found)) return 1;
    }
    return 0;
}

// CreateProcess runs a .bat or .cmd file through cmd.exe, which parses the
// command line again by rules of its own: "&", "|", "<", ">" and "^" are
// live outside quotes, a quote cannot be escaped inside them, and %NAME% is
// expanded even inside quotes, with no escape at all on a command line. No
// quoting hands such a file an argument whole and inert. Trailing dots and
// blanks, which the file system drops from a name, are passed over:
// "x.bat." finds the same file as "x.bat".
static int is_batch_file(const std::string& path) {
    size_t end = path.find_last_not_of(". ");
    if (end == std::string::npos || end < 3) return 0;
    std::string extension = path.substr(end - 3, 4);
    for (char& c : extension) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    return extension == ".bat" || extension == ".cmd";
}

int platform_run_program(const char* program, const char* argument) {
    std::string found;
    if (!find_program(program, &found) || is_batch_file(found)) return -1;
    std::string command_line;
    append_quoted(&command_line, program);
    if (argument) {
        command_line += ' ';
        append_quoted(&command_line, argument);
    }
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child;
    // The child shares the console and the inheritable standard handles.
    if (!CreateProcessA(found.c_str(), &command_line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &child))
        return -1;
    CloseHandle(child.hThread);
    DWORD status = 0;
    int waited = WaitForSingleObject(child.hProcess, INFINITE) == WAIT_OBJECT_0 &&
                 GetExitCodeProcess(child.hProcess, &status);
    CloseHandle(child.hProcess);
    return waited ? static_cast<int>(status) : -1;
}

// The bytes of one UTF-16 character in the ANSI code page, when it has them
// exactly; 0 otherwise.
static int character_bytes(const wchar_t* character, int units, char* out, int out_size) {
    BOOL lossy = FALSE;
    const UINT code_page = GetACP();
    const int size = WideCharToMultiByte(code_page, code_page == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS, character, units,
                                         out, out_size, nullptr, code_page == CP_UTF8 ? nullptr : &lossy);
    return lossy ? 0 : size;
}

// Upper-cases `text` through its UTF-16 form, as upper_case says; 0 when it
// does not convert whole.
static int upper_case_through_utf16(char* text, size_t length) {
    const int size = static_cast<int>(length);
    const int wide_size = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, size, nullptr, 0);
    if (wide_size <= 0) return 0;
    std::wstring wide(static_cast<size_t>(wide_size), L'\0'), upper(static_cast<size_t>(wide_size), L'\0');
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, size, &wide[0], wide_size) != wide_size ||
        LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, wide.c_str(), wide_size, &upper[0], wide_size, nullptr,
                      nullptr, 0) != wide_size)
        return 0;
    std::string result;
    for (int i = 0; i < wide_size;) {
        const int units = IS_HIGH_SURROGATE(wide[i]) && i + 1 < wide_size ? 2 : 1;
        char original[8], upper_bytes[8];
        const int original_size = character_bytes(&wide[i], units, original, sizeof original);
        const int upper_size = character_bytes(&upper[i], units, upper_bytes, sizeof upper_bytes);
        if (original_size <= 0) return 0;
        if (upper_size == original_size)
            result.append(upper_bytes, static_cast<size_t>(upper_size));
        else
            result.append(original, static_cast<size_t>(original_size));
        i += units;
    }
    if (result.size() != length) return 0;
    memcpy(text, result.data(), length);
    return 1;
}

// Upper-cases the `length` bytes at `text` in place, as the file system
// compares names: by the invariant upper-case mapping of their UTF-16 form
// (kernel32's, not user32's CharUpperBuff). A character whose upper case the
// code page lacks, or holds in a different number of bytes, stays as it is;
// text that does not convert whole has only A-Z upper-cased, where they
// stand as characters of their own (a double-byte character's second byte
// may be one of a-z).
static void upper_case(char* text, size_t length) {
    size_t ascii = 0;
    while (ascii < length && static_cast<unsigned char>(text[ascii]) < 0x80) ascii++;
    if (ascii == length || !upper_case_through_utf16(text, length)) {
        for (size_t i = 0; i < length;) {
            const size_t step = IsDBCSLeadByte(static_cast<BYTE>(text[i])) && i + 1 < length ? 2 : 1;
            if (step == 1) upper_case_ascii(text + i, 1);
            i += step;
        }
    }
}

size_t platform_name_key(const char* piece, size_t length, char* key) {
    while (length > 0 && (piece[length - 1] == '.' || piece[length - 1] == ' ')) length--;
    memcpy(key, piece, length);
    upper_case(key, length);
    return length;
}

int folder_item_name(const wchar_t* wide, std::string* name) {
    if (!to_code_page(wide, name) || name->empty()) return 0;
    if (platform_next_separator(name->c_str()) || name->find(':') != std::string::npos) return 0;
    // "." and ".." end in a dot too.
    return name->back() != '.' && name->back() != ' ';
}

struct PlatformFolder {
    std::wstring path;        // the folder's long form, ending in a backslash
    HANDLE search;            // INVALID_HANDLE_VALUE for a folder found empty
    WIN32_FIND_DATAW found;   // the item the search stands on
    int found_pending;        // `found` has not been handed out yet
    std::string name;         // the last item's name, in the ANSI code page
};

OpenResult platform_open_folder(const char* path, PlatformFolder** folder) {
    std::wstring wide;
    if (!long_path(path, &wide)) return OPEN_FAILED;
    if (wide.back() != L'\\') wide += L'\\';
    // The attributes of a link are the link's own; opening it with backup
    // semantics follows it to the folder it leads to.
    HANDLE opened = CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? OPEN_MISSING : OPEN_FAILED;
    }
    BY_HANDLE_FILE_INFORMATION info;
    int is_folder = GetFileInformationByHandle(opened, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    CloseHandle(opened);
    if (!is_folder) return OPEN_MISSING;
    PlatformFolder* made = new (std::nothrow) PlatformFolder;
    if (!made) return OPEN_FAILED;
    made->path = wide;
    made->search = FindFirstFileExW((wide + L"*").c_str(), FindExInfoBasic, &made->found, FindExSearchNameMatch,
                                    nullptr, FIND_FIRST_EX_LARGE_FETCH);
    made->found_pending = made->search != INVALID_HANDLE_VALUE;
    if (!made->found_pending && GetLastError() != ERROR_FILE_NOT_FOUND) {
        delete made;
        return OPEN_FAILED;
    }
    *folder = made;
    return OPEN_DONE;
}

// Opens the item `name` of `folder` for its attributes alone, following a link.
static HANDLE open_item(PlatformFolder* folder, const WCHAR* name) {
    return CreateFileW((folder->path + name).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

ReadItemResult platform_read_folder(PlatformFolder* folder, FolderItem* item) {
    for (;;) {
        if (!folder->found_pending) {
            if (folder->search == INVALID_HANDLE_VALUE) return ITEM_END;
            if (!FindNextFileW(folder->search, &folder->found))
                return GetLastError() == ERROR_NO_MORE_FILES ? ITEM_END : ITEM_FAILED;
        }
        folder->found_pending = 0;
        const WIN32_FIND_DATAW& found = folder->found;
        if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0) continue;
        // The caller builds the item's path from its 8-bit name: a name that
        // would lead elsewhere (a best-fit "\\" for U+FF3C, "a" for U+0101,
        // a dropped trailing dot) is shown, never followed.
        const int named = folder_item_name(found.cFileName, &folder->name);
        item->name = folder->name.c_str();
        if (!named) {
            item->kind = ITEM_UNNAMED;
            item->is_link = 0;
            return ITEM_READ;
        }
        item->is_link = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        DWORD attributes = found.dwFileAttributes;
        if (item->is_link) {
            HANDLE target = open_item(folder, found.cFileName);
            BY_HANDLE_FILE_INFORMATION info;
            if (target == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(target, &info)) {
                if (target != INVALID_HANDLE_VALUE) CloseHandle(target);
                item->kind = ITEM_OTHER;
                return ITEM_READ;
            }
            CloseHandle(target);
            attributes = info.dwFileAttributes;
        }
        item->kind = attributes & FILE_ATTRIBUTE_DIRECTORY ? ITEM_FOLDER : ITEM_FILE;
        return ITEM_READ;
    }
}

int platform_path_identity(const char* path, FileIdentity* identity) {
    HANDLE item = open_for_identity(path);
    if (item == INVALID_HANDLE_VALUE) return 0;
    int known = platform_file_identity(reinterpret_cast<PlatformFile>(item), identity);
    CloseHandle(item);
    return known;
}

void platform_close_folder(PlatformFolder* folder) {
    if (folder->search != INVALID_HANDLE_VALUE) FindClose(folder->search);
    delete folder;
}

#endif
