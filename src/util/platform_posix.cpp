// POSIX implementation of the platform layer (Linux and other Unix systems).
#ifndef _WIN32

#include "platform.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "system_calls.h"

extern char** environ;

const char PATH_SEPARATOR = '/';

size_t platform_drive_length(const char*) {
    return 0;
}

int platform_is_separator(char c) {
    return c == '/';
}

int platform_name_piece_allowed(const char*, size_t) {
    return 1;
}

void platform_start_console() {}

int platform_current_folder(char* out, size_t out_size) {
    return getcwd(out, out_size) != nullptr;
}

int platform_full_path(const char* path, char* out, size_t out_size, int* too_long) {
    *too_long = 0;
    std::string joined;
    if (path[0] != '/') {
        std::vector<char> cwd(PATH_MAX + 1);
        if (!getcwd(cwd.data(), cwd.size())) return 0;
        joined = cwd.data();
        joined += '/';
    }
    joined += path;

    // Fold the pieces on the text alone; ".." at the root stays at the root,
    // as the kernel treats it.
    std::vector<std::string> pieces;
    size_t start = 0;
    while (start <= joined.size()) {
        size_t end = joined.find('/', start);
        if (end == std::string::npos) end = joined.size();
        std::string piece = joined.substr(start, end - start);
        if (piece == "..") {
            if (!pieces.empty()) pieces.pop_back();
        } else if (!piece.empty() && piece != ".") {
            pieces.push_back(piece);
        }
        start = end + 1;
    }
    std::string result;
    for (const std::string& piece : pieces) result += "/" + piece;
    // A trailing separator says "this is a folder"; keep it, as the Windows
    // full-path service does.
    if (result.empty() || (path[0] != '\0' && joined.back() == '/')) result += '/';

    if (result.size() + 1 > out_size) {
        *too_long = 1;
        return 0;
    }
    memcpy(out, result.c_str(), result.size() + 1);
    return 1;
}

// Opens `path` and keeps the descriptor only when it names a regular file.
// O_NONBLOCK keeps a pipe or device from stalling the open; on a regular
// file it changes nothing, so it can stay set.
static int open_regular(const char* path, int flags, PlatformFile* file, uint64_t* size) {
    int fd = sys_open(path, flags | O_NONBLOCK | O_CLOEXEC, 0);
    if (fd < 0) return 0;
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        sys_close(fd);
        return 0;
    }
    *file = fd;
    *size = static_cast<uint64_t>(info.st_size);
    return 1;
}

int platform_open_read(const char* path, PlatformFile* file, uint64_t* size) {
    return open_regular(path, O_RDONLY, file, size);
}

int platform_open_update(const char* path, PlatformFile* file, uint64_t* size) {
    return open_regular(path, O_RDWR, file, size);
}

CreateResult platform_create_new(const char* path, PlatformFile* file) {
    // O_EXCL never follows a link at the last piece, dangling or not.
    int fd = sys_open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
        *file = fd;
        return CREATE_DONE;
    }
    return errno == EEXIST ? CREATE_EXISTS : CREATE_FAILED;
}

PathKind platform_path_kind(const char* path) {
    struct stat info;
    if (stat(path, &info) != 0) return PATH_MISSING;
    return S_ISDIR(info.st_mode) ? PATH_FOLDER : PATH_FILE;
}

int platform_read_at(PlatformFile file, uint64_t offset, void* buffer, size_t size) {
    char* bytes = static_cast<char*>(buffer);
    while (size > 0) {
        ssize_t done = sys_pread(static_cast<int>(file), bytes, size, static_cast<off_t>(offset));
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return 0;
        bytes += done;
        size -= static_cast<size_t>(done);
        offset += static_cast<uint64_t>(done);
    }
    return 1;
}

int platform_write_at(PlatformFile file, uint64_t offset, const void* buffer, size_t size) {
    const char* bytes = static_cast<const char*>(buffer);
    while (size > 0) {
        ssize_t done = sys_pwrite(static_cast<int>(file), bytes, size, static_cast<off_t>(offset));
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return 0;
        bytes += done;
        size -= static_cast<size_t>(done);
        offset += static_cast<uint64_t>(done);
    }
    return 1;
}

// Bounded fallback for systems or file pairs without an in-kernel copy; it
// also tells a failed read from a failed write, which the kernel copy cannot.
static CopyResult copy_through_buffer(int source, uint64_t source_offset, int target,
                                      uint64_t target_offset, uint64_t size) {
    const size_t STEP = 1 << 20;
    static std::vector<char> buffer;
    if (buffer.empty()) buffer.resize(STEP);
    while (size > 0) {
        size_t step = size < STEP ? static_cast<size_t>(size) : STEP;
        if (!platform_read_at(source, source_offset, buffer.data(), step)) return COPY_READ_FAILED;
        if (!platform_write_at(target, target_offset, buffer.data(), step)) return COPY_WRITE_FAILED;
        source_offset += step;
        target_offset += step;
        size -= step;
    }
    return COPY_DONE;
}

CopyResult platform_copy_range(PlatformFile source, uint64_t source_offset, PlatformFile target,
                               uint64_t target_offset, uint64_t size) {
    int in = static_cast<int>(source);
    int out = static_cast<int>(target);
    while (size > 0) {
        const uint64_t STEP = 1u << 30;
        loff_t in_offset = static_cast<loff_t>(source_offset);
        loff_t out_offset = static_cast<loff_t>(target_offset);
        size_t step = static_cast<size_t>(size < STEP ? size : STEP);
        ssize_t done = sys_copy_file_range(in, &in_offset, out, &out_offset, step);
        if (done < 0 && errno == EINTR) continue;
        // Any refusal or error: let the plain copy finish the job, or find
        // out which side failed.
        if (done < 0) return copy_through_buffer(in, source_offset, out, target_offset, size);
        if (done == 0) return COPY_READ_FAILED;
        source_offset += static_cast<uint64_t>(done);
        target_offset += static_cast<uint64_t>(done);
        size -= static_cast<uint64_t>(done);
    }
    return COPY_DONE;
}

int platform_sync(PlatformFile file) {
    return sys_fsync(static_cast<int>(file)) == 0;
}

int platform_truncate(PlatformFile file, uint64_t size) {
    return sys_ftruncate(static_cast<int>(file), static_cast<off_t>(size)) == 0;
}

int platform_close(PlatformFile file) {
    // After close() fails the descriptor is gone all the same; never retry.
    return sys_close(static_cast<int>(file)) == 0 || errno == EINTR;
}

int platform_remove_file(const char* path) {
    return unlink(path) == 0;
}

FolderResult platform_make_folder(const char* path) {
    if (sys_mkdir(path, 0777) == 0) return FOLDER_MADE;
    if (errno == EEXIST && platform_path_kind(path) == PATH_FOLDER) return FOLDER_EXISTS;
    return FOLDER_FAILED;
}

int platform_change_folder(const char* path) {
    return chdir(path) == 0;
}

int platform_map(PlatformFile file, uint64_t size, PlatformMapping* mapping) {
    *mapping = PlatformMapping{nullptr, 0, 0};
    if (size == 0 || size > SIZE_MAX) return 0;
    void* view = sys_mmap(nullptr, static_cast<size_t>(size), PROT_READ, MAP_SHARED,
                      static_cast<int>(file), 0);
    if (view == MAP_FAILED) return 0;
    mapping->view = static_cast<const unsigned char*>(view);
    mapping->size = size;
    return 1;
}

void platform_unmap(PlatformMapping* mapping) {
    if (mapping->view) munmap(const_cast<unsigned char*>(mapping->view), static_cast<size_t>(mapping->size));
    *mapping = PlatformMapping{nullptr, 0, 0};
}

void platform_release_pages(const PlatformMapping* mapping, uint64_t offset, uint64_t size) {
    if (!mapping->view || offset >= mapping->size) return;
    if (size > mapping->size - offset) size = mapping->size - offset;
    // madvise wants a page-aligned start; widen the range down to one.
    uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    uint64_t start = offset - offset % page;
    madvise(const_cast<unsigned char*>(mapping->view) + start, static_cast<size_t>(offset + size - start),
            MADV_DONTNEED);
}

// The terminal's settings while a wait has it in raw mode, so that a signal
// that ends the process can put them back first.
static volatile sig_atomic_t wait_terminal = -1;
static struct termios wait_saved_settings;
static const int WAIT_SIGNALS[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE, SIGALRM, SIGUSR1, SIGUSR2};

static void restore_terminal_and_die(int signal_number) {
    if (wait_terminal >= 0) tcsetattr(wait_terminal, TCSANOW, &wait_saved_settings);
    ::signal(signal_number, SIG_DFL);
    raise(signal_number);
}

void platform_wait_key() {
    int tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (tty < 0) return;
    struct termios saved;
    if (tcgetattr(tty, &saved) != 0) {
        close(tty);
        return;
    }
    struct sigaction handler, previous[sizeof WAIT_SIGNALS / sizeof WAIT_SIGNALS[0]];
    memset(&handler, 0, sizeof handler);
    handler.sa_handler = restore_terminal_and_die;
    sigemptyset(&handler.sa_mask);
    wait_saved_settings = saved;
    wait_terminal = tty;
    for (size_t i = 0; i < sizeof WAIT_SIGNALS / sizeof WAIT_SIGNALS[0]; i++)
        sigaction(WAIT_SIGNALS[i], &handler, &previous[i]);

    // No echo, no line editing, and no signal keys: Ctrl+C arrives as a byte
    // that ends the wait instead of stopping the tool.
    struct termios raw = saved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
    raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(tty, TCSANOW, &raw) == 0) {
        // One key, however many bytes it sends: a cursor key's escape
        // sequence arrives in one burst, so take what is there, and wait a
        // moment for the rest of a sequence that began with ESC alone.
        unsigned char keys[32];
        ssize_t got;
        do got = read(tty, keys, sizeof keys);
        while (got < 0 && errno == EINTR);
        if (got == 1 && keys[0] == 0x1b) {
            raw.c_cc[VMIN] = 0;
            raw.c_cc[VTIME] = 1;
            if (tcsetattr(tty, TCSANOW, &raw) == 0)
                while (read(tty, keys, sizeof keys) > 0) {
                }
        }
        tcsetattr(tty, TCSANOW, &saved);
    }
    for (size_t i = 0; i < sizeof WAIT_SIGNALS / sizeof WAIT_SIGNALS[0]; i++)
        sigaction(WAIT_SIGNALS[i], &previous[i], nullptr);
    wait_terminal = -1;
    close(tty);
}

int platform_stream_length(FILE* stream, uint64_t* length) {
    int fd = fileno(stream);
    if (fd < 0) return 0;
    off_t position = sys_lseek(fd, 0, SEEK_CUR);
    if (position < 0) return 0;
    off_t end = sys_lseek(fd, 0, SEEK_END);
    // Put the descriptor back even when the end could not be found.
    if (sys_lseek(fd, position, SEEK_SET) != position || end < 0) return 0;
    *length = static_cast<uint64_t>(end);
    return 1;
}

int platform_stream_position(FILE* stream, uint64_t* position) {
    off_t told = ftello(stream);
    if (told < 0) return 0;
    *position = static_cast<uint64_t>(told);
    return 1;
}

int platform_run_program(const char* program, const char* argument) {
    char* argv[] = {const_cast<char*>(program), const_cast<char*>(argument), nullptr};
    pid_t child;
    // posix_spawnp reports a program that cannot be found or executed as an
    // error here (glibc, musl), so -1 means "not started" and nothing else.
    if (posix_spawnp(&child, program, nullptr, nullptr, argv, environ) != 0) return -1;
    int status;
    while (waitpid(child, &status, 0) < 0)
        if (errno != EINTR) return -1;
    // The child did start: a signal that ended it is reported as the shells
    // do, never as -1, which would claim it could not be started.
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

#endif
