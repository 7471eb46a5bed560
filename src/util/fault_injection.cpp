// The system calls of system_calls.h for the test-only build vantrel_faulty,
// which proves the tool's recovery paths. It is never linked into vantrel.
//
// Every counted call (open, read, write, kernel copy, seek, fsync, stat,
// truncate, chown, chmod, mkdir, close, map, lock, rename, remove, and each
// item of a folder's listing) gets a number from 1 on. The test chooses, through the environment of this build
// alone:
//   VANTREL_FAULT_CALL=N      the call that misbehaves (none when unset or 0)
//   VANTREL_FAULT_MODE=MODE   what it does: "eio" or "enospc" fails it with
//                             that errno and no effect; "short" moves only
//                             half the bytes asked for (calls that move no
//                             bytes then run normally); "eof" makes a read
//                             or a kernel copy move nothing and return 0,
//                             as at the end of its source, as though the
//                             file had shrunk (other calls run normally);
//                             "short" and "eof" let a listing's item be
//                             read (a listing that ends early is no fault
//                             that the tool could see);
//                             "crash" kills the process with SIGKILL
//                             before the call is made; "sigint", "sigterm"
//                             or "sighup" sends the process that signal
//                             before the call is made; "replace" renames
//                             the file named by VANTREL_FAULT_REPLACEMENT
//                             over the file the call concerns, as another
//                             run replacing it would, and then makes the call
//   VANTREL_FAULT_KERNEL_COPY=off   the kernel copy is refused as unsupported
//                             (not counted), so that every copy takes the
//                             plain read-and-write path
//   VANTREL_FAULT_LOG=PATH    a log of the run, written as it goes, so that
//                             it survives the crash:
//     "call N NAME PATH"             each counted call, before it is made
//     "write OFFSET SIZE PATH" BYTES each write that took effect, its bytes
//                                    following the line's end
//     "truncate SIZE PATH"           each truncate that took effect
//     "synced PATH"                  each fsync (or fdatasync) that completed
// PATH is the file the call concerns (the target of a copy). A listing's
// items are logged as "list FOLDER", one for each item asked for, the end
// of the listing included; the look at an item as "stat FOLDER/NAME".
#ifdef VANTREL_FAULT_INJECTION

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "system_calls.h"

enum FaultMode { FAULT_FAIL, FAULT_SHORT, FAULT_END_OF_FILE, FAULT_CRASH, FAULT_SIGNAL, FAULT_REPLACE };

enum CallVerdict { CALL_RUNS, CALL_FAILS, CALL_SHORT, CALL_ENDS };

struct FaultState {
    int configured;            // the environment has been read
    uint64_t fault_call;       // the call that misbehaves; 0 for none
    FaultMode mode;            // how it misbehaves
    int fault_errno;           // the errno of FAULT_FAIL
    int fault_signal;          // the signal of FAULT_SIGNAL
    int kernel_copy;           // 0 when copy_file_range is refused
    int log_fd;                // the log, or -1
    uint64_t call_count;       // counted calls so far
    std::map<int, std::string> open_paths;  // descriptor -> path it was opened with
};

static FaultState fault_state = {0, 0, FAULT_FAIL, EIO, 0, 1, -1, 0, {}};

static void configure() {
    FaultState& state = fault_state;
    if (state.configured) return;
    state.configured = 1;
    if (const char* call = getenv("VANTREL_FAULT_CALL")) state.fault_call = strtoull(call, nullptr, 10);
    const char* mode = getenv("VANTREL_FAULT_MODE");
    std::string mode_name = mode ? mode : "eio";
    if (mode_name == "enospc") state.fault_errno = ENOSPC;
    if (mode_name == "short") state.mode = FAULT_SHORT;
    if (mode_name == "eof") state.mode = FAULT_END_OF_FILE;
    if (mode_name == "crash") state.mode = FAULT_CRASH;
    if (mode_name == "replace") state.mode = FAULT_REPLACE;
    const std::pair<const char*, int> signal_modes[] = {{"sigint", SIGINT}, {"sigterm", SIGTERM}, {"sighup", SIGHUP}};
    for (const auto& signal_mode : signal_modes)
        if (mode_name == signal_mode.first) {
            state.mode = FAULT_SIGNAL;
            state.fault_signal = signal_mode.second;
        }
    const char* kernel_copy = getenv("VANTREL_FAULT_KERNEL_COPY");
    state.kernel_copy = !(kernel_copy && strcmp(kernel_copy, "off") == 0);
    if (const char* log_path = getenv("VANTREL_FAULT_LOG"))
        state.log_fd = open(log_path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0666);
}

// The log must not disturb errno, which the caller of the counted call reads.
static void log_bytes(const void* bytes, size_t size) {
    if (fault_state.log_fd < 0) return;
    int saved_errno = errno;
    const char* next = static_cast<const char*>(bytes);
    while (size > 0) {
        ssize_t done = write(fault_state.log_fd, next, size);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) break;
        next += done;
        size -= static_cast<size_t>(done);
    }
    errno = saved_errno;
}

static void log_line(const std::string& line) {
    log_bytes(line.data(), line.size());
    log_bytes("\n", 1);
}

static std::string path_of(int fd) {
    auto found = fault_state.open_paths.find(fd);
    return found == fault_state.open_paths.end() ? "fd" + std::to_string(fd) : found->second;
}

// Counts a call and says how it is to go; a failing call has errno set.
static CallVerdict next_call(const char* name, const std::string& path) {
    FaultState& state = fault_state;
    configure();
    state.call_count++;
    log_line("call " + std::to_string(state.call_count) + " " + name + " " + path);
    if (state.call_count != state.fault_call) return CALL_RUNS;
    if (state.mode == FAULT_CRASH) raise(SIGKILL);
    if (state.mode == FAULT_REPLACE) {
        const char* replacement = getenv("VANTREL_FAULT_REPLACEMENT");
        if (replacement) rename(replacement, path.c_str());
        return CALL_RUNS;
    }
    // A signal that is held back lets the call run; the process ends later.
    if (state.mode == FAULT_SIGNAL) {
        raise(state.fault_signal);
        return CALL_RUNS;
    }
    if (state.mode == FAULT_SHORT) return CALL_SHORT;
    if (state.mode == FAULT_END_OF_FILE) return CALL_ENDS;
    errno = state.fault_errno;
    return CALL_FAILS;
}

// A short call still moves at least one byte: a transfer of none means the
// end of the file, which is another fault than a short one.
static size_t size_for(CallVerdict verdict, size_t size) {
    return verdict == CALL_SHORT && size > 1 ? size / 2 : size;
}

static void journal_write(int fd, off_t offset, const void* bytes, size_t size) {
    if (fault_state.log_fd < 0 || size == 0) return;
    log_line("write " + std::to_string(offset) + " " + std::to_string(size) + " " + path_of(fd));
    log_bytes(bytes, size);
}

int sys_open(const char* path, int flags, mode_t mode) {
    if (next_call("open", path) == CALL_FAILS) return -1;
    int fd = open(path, flags, mode);
    if (fd >= 0) fault_state.open_paths[fd] = path;
    return fd;
}

// The whole path of `name` below the open folder `folder`, as the calls
// made by whole paths log it.
static std::string path_below(int folder, const char* name) {
    std::string path = path_of(folder);
    if (path.empty() || path.back() != '/') path += '/';
    return path + name;
}

// Counted and logged as an open of the whole path.
int sys_openat(int folder, const char* name, int flags, mode_t mode) {
    std::string path = path_below(folder, name);
    if (next_call("open", path) == CALL_FAILS) return -1;
    int fd = openat(folder, name, flags, mode);
    if (fd >= 0) fault_state.open_paths[fd] = path;
    return fd;
}

ssize_t sys_pread(int fd, void* buffer, size_t size, off_t offset) {
    CallVerdict verdict = next_call("read", path_of(fd));
    if (verdict == CALL_FAILS) return -1;
    if (verdict == CALL_ENDS) return 0;
    return pread(fd, buffer, size_for(verdict, size), offset);
}

ssize_t sys_pwrite(int fd, const void* buffer, size_t size, off_t offset) {
    CallVerdict verdict = next_call("write", path_of(fd));
    if (verdict == CALL_FAILS) return -1;
    ssize_t done = pwrite(fd, buffer, size_for(verdict, size), offset);
    if (done > 0) journal_write(fd, offset, buffer, static_cast<size_t>(done));
    return done;
}

// The kernel copy counts as a write to its target.
ssize_t sys_copy_file_range(int in, loff_t* in_offset, int out, loff_t* out_offset, size_t size) {
    if (!fault_state.kernel_copy) {
        errno = EXDEV;
        return -1;
    }
    CallVerdict verdict = next_call("copy", path_of(out));
    if (verdict == CALL_FAILS) return -1;
    if (verdict == CALL_ENDS) return 0;
    loff_t source_offset = *in_offset;
    loff_t target_offset = *out_offset;
    ssize_t done = copy_file_range(in, in_offset, out, out_offset, size_for(verdict, size), 0);
    if (done > 0 && fault_state.log_fd >= 0) {
        int saved_errno = errno;
        std::vector<char> copied(static_cast<size_t>(done));
        if (pread(in, copied.data(), copied.size(), source_offset) == done)
            journal_write(out, target_offset, copied.data(), copied.size());
        errno = saved_errno;
    }
    return done;
}

// The copy through a pipe is a kernel copy like any other: counted, failed,
// cut short and logged as one.
ssize_t sys_splice_copy(int in, loff_t* in_offset, int out, loff_t* out_offset, size_t size, const int[2]) {
    return sys_copy_file_range(in, in_offset, out, out_offset, size);
}

static int counted_sync(int fd, int (*sync)(int)) {
    std::string path = path_of(fd);
    if (next_call("fsync", path) == CALL_FAILS) return -1;
    int result = sync(fd);
    if (result == 0) log_line("synced " + path);
    return result;
}

int sys_fsync(int fd) {
    return counted_sync(fd, fsync);
}

// Counted and logged as an fsync: what the tests check of it is the same.
int sys_fdatasync(int fd) {
    return counted_sync(fd, fdatasync);
}

int sys_fstat(int fd, struct stat* info) {
    if (next_call("stat", path_of(fd)) == CALL_FAILS) return -1;
    return fstat(fd, info);
}

int sys_ftruncate(int fd, off_t size) {
    if (next_call("truncate", path_of(fd)) == CALL_FAILS) return -1;
    int result = ftruncate(fd, size);
    if (result == 0) log_line("truncate " + std::to_string(size) + " " + path_of(fd));
    return result;
}

int sys_fchown(int fd, uid_t owner, gid_t group) {
    if (next_call("chown", path_of(fd)) == CALL_FAILS) return -1;
    return fchown(fd, owner, group);
}

int sys_fchmod(int fd, mode_t mode) {
    if (next_call("chmod", path_of(fd)) == CALL_FAILS) return -1;
    return fchmod(fd, mode);
}

int sys_mkdir(const char* path, mode_t mode) {
    if (next_call("mkdir", path) == CALL_FAILS) return -1;
    return mkdir(path, mode);
}

// The descriptor is gone after close() whatever it reports, so a failing
// close still closes.
int sys_close(int fd) {
    CallVerdict verdict = next_call("close", path_of(fd));
    fault_state.open_paths.erase(fd);
    int result = close(fd);
    if (verdict != CALL_FAILS) return result;
    errno = fault_state.fault_errno;
    return -1;
}

off_t sys_lseek(int fd, off_t offset, int whence) {
    if (next_call("seek", path_of(fd)) == CALL_FAILS) return -1;
    return lseek(fd, offset, whence);
}

void* sys_mmap(void* address, size_t size, int protection, int flags, int fd, off_t offset) {
    if (next_call("map", path_of(fd)) == CALL_FAILS) return MAP_FAILED;
    return mmap(address, size, protection, flags, fd, offset);
}

int sys_flock(int fd, int operation) {
    if (next_call("lock", path_of(fd)) == CALL_FAILS) return -1;
    return flock(fd, operation);
}

int sys_rename(const char* source, const char* target) {
    if (next_call("rename", target) == CALL_FAILS) return -1;
    return rename(source, target);
}

int sys_unlink(const char* path) {
    if (next_call("remove", path) == CALL_FAILS) return -1;
    return unlink(path);
}

int sys_unlinkat(int folder, const char* name) {
    if (next_call("remove", path_below(folder, name)) == CALL_FAILS) return -1;
    return unlinkat(folder, name, 0);
}

int sys_renameat(int folder, const char* source, const char* target) {
    if (next_call("rename", path_below(folder, target)) == CALL_FAILS) return -1;
    return renameat(folder, source, folder, target);
}

struct dirent* sys_readdir(DIR* listing) {
    if (next_call("list", path_of(dirfd(listing))) == CALL_FAILS) return nullptr;
    return readdir(listing);
}

int sys_fstatat(int folder, const char* name, struct stat* info, int flags) {
    std::string path = path_of(folder);
    if (path.empty() || path.back() != '/') path += '/';
    if (next_call("stat", path + name) == CALL_FAILS) return -1;
    return fstatat(folder, name, info, flags);
}

#endif
