// POSIX implementation of the platform layer (Linux and other Unix systems).
#ifndef _WIN32

#include "platform.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statfs.h>
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

// Paths are UTF-8 or another encoding in which every byte below 0x80 is
// that character, so no '/' can stand inside another character.
const char* platform_next_separator(const char* text) {
    return strchr(text, '/');
}

const char* platform_next_character(const char* c) {
    return c + 1;
}

void platform_arguments(int count, char** given, std::vector<std::string>* arguments, std::vector<char>* exact) {
    arguments->assign(given, given + count);
    exact->assign(static_cast<size_t>(count), 1);
}

unsigned platform_code_page() {
    return 0;
}

int platform_name_piece_allowed(const char*, size_t, int) {
    return 1;
}

void platform_start_console() {
    signal(SIGPIPE, SIG_IGN);
}

int platform_current_folder(char* out, size_t out_size) {
    return getcwd(out, out_size) != nullptr;
}

void platform_binary_output() {}

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
static OpenResult open_regular(const char* path, int flags, int* fd, uint64_t* size) {
    *fd = sys_open(path, flags | O_NONBLOCK | O_CLOEXEC, 0);
    if (*fd < 0) {
        // Nothing there: no file, a piece of the path that is no folder, a
        // socket. A folder opened for writing fails with EISDIR.
        return errno == ENOENT || errno == ENOTDIR || errno == ENXIO || errno == EISDIR ? OPEN_MISSING : OPEN_FAILED;
    }
    struct stat info;
    OpenResult result = OPEN_DONE;
    if (fstat(*fd, &info) != 0)
        result = OPEN_FAILED;
    else if (!S_ISREG(info.st_mode))
        result = OPEN_MISSING;
    if (result != OPEN_DONE) {
        sys_close(*fd);
        return result;
    }
    *size = static_cast<uint64_t>(info.st_size);
    return OPEN_DONE;
}

int platform_path_identity(const char* path, FileIdentity* identity) {
    struct stat info;
    if (stat(path, &info) != 0) return 0;
    *identity = FileIdentity{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
    return 1;
}

int platform_folder_folds_case(const char*) {
    return 0;
}

int platform_same_file(PlatformFile file, const char* path) {
    struct stat held, named;
    return sys_fstat(static_cast<int>(file), &held) == 0 && stat(path, &named) == 0 && held.st_dev == named.st_dev &&
           held.st_ino == named.st_ino;
}

OpenResult platform_open_read(const char* path, PlatformFile* file, uint64_t* size) {
    int fd;
    OpenResult opened = open_regular(path, O_RDONLY, &fd, size);
    if (opened == OPEN_DONE) *file = fd;
    return opened;
}

OpenResult platform_open_package(const char* path, PackageAccess access, PlatformFile* file, uint64_t* size) {
    // A second try covers a package replaced between the open and the lock;
    // one replaced again in that moment is as busy as a locked one.
    for (int attempt = 0; attempt < 2; attempt++) {
        int fd;
        OpenResult opened = open_regular(path, access == PACKAGE_READ ? O_RDONLY : O_RDWR, &fd, size);
        if (opened != OPEN_DONE) return opened;
        int locked;
        do locked = sys_flock(fd, (access == PACKAGE_READ ? LOCK_SH : LOCK_EX) | LOCK_NB);
        while (locked != 0 && errno == EINTR);
        if (locked != 0 && errno == EWOULDBLOCK) {
            sys_close(fd);
            return OPEN_IN_USE;
        }
        // Any other failure means a file system without locks (ENOLCK,
        // EOPNOTSUPP): the run goes on unlocked, as it would have without
        // the lock at all.
        // The size is measured again under the lock: a run that held it
        // until a moment ago may have grown the file.
        struct stat held, named;
        if (fstat(fd, &held) == 0 && stat(path, &named) == 0 && held.st_dev == named.st_dev &&
            held.st_ino == named.st_ino) {
            *file = fd;
            *size = static_cast<uint64_t>(held.st_size);
            return OPEN_DONE;
        }
        sys_close(fd);
    }
    return OPEN_IN_USE;
}

// What the system is handed for a file named below a folder: the folder's
// descriptor (AT_FDCWD for a whole path) and the path from there.
struct BelowFolder {
    int folder;
    const char* name;
};

static BelowFolder below_folder(const char* path, PlatformFile folder, size_t relative_offset) {
    if (folder == NO_FILE) return BelowFolder{AT_FDCWD, path};
    // A doubled separator after the folder must not make the rest an
    // absolute path, which openat would take from the root.
    const char* name = path + relative_offset;
    while (*name == '/') name++;
    return BelowFolder{static_cast<int>(folder), name};
}

// The exclusive create of platform_create_new, below a folder. openat2 was
// measured against openat for 10,000 creates of 8 KiB in 200 folders and
// was no faster (its resolve flags only add checks, and those that confine
// the walk would refuse the links to folders that are followed here).
static CreateResult create_new_below(BelowFolder where, mode_t mode, PlatformFile* file) {
    // O_EXCL never follows a link at the last piece, dangling or not.
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int fd = where.folder == AT_FDCWD ? sys_open(where.name, flags, mode)
                                      : sys_openat(where.folder, where.name, flags, mode);
    if (fd >= 0) {
        *file = fd;
        return CREATE_DONE;
    }
    return errno == EEXIST ? CREATE_EXISTS : CREATE_FAILED;
}

CreateResult platform_create_new(const char* path, PlatformFile* file) {
    return create_new_below(BelowFolder{AT_FDCWD, path}, 0666, file);
}

CreateResult platform_create_private(const char* path, PlatformFile* file) {
    return create_new_below(BelowFolder{AT_FDCWD, path}, 0600, file);
}

ResolveResult platform_resolve_links(const char* path, PlatformFile file, char* out, size_t out_size) {
    std::vector<char> resolved(PATH_MAX + 1);
    if (!realpath(path, resolved.data())) return RESOLVE_CHANGED;
    struct stat held, named;
    if (fstat(static_cast<int>(file), &held) != 0 || stat(resolved.data(), &named) != 0 ||
        held.st_dev != named.st_dev || held.st_ino != named.st_ino)
        return RESOLVE_CHANGED;
    size_t length = strlen(resolved.data());
    if (length + 1 > out_size) return RESOLVE_TOO_LONG;
    memcpy(out, resolved.data(), length + 1);
    return RESOLVE_DONE;
}

PathKind platform_path_kind(const char* path) {
    struct stat info;
    if (stat(path, &info) != 0) return PATH_MISSING;
    return S_ISDIR(info.st_mode) ? PATH_FOLDER : PATH_FILE;
}

int platform_is_link(const char* path) {
    struct stat info;
    return lstat(path, &info) == 0 && S_ISLNK(info.st_mode);
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

// Reads and writes through one buffer, where the kernel has no copy for the
// pair of files or the copy pipe cannot be had. Unlike the kernel copy it
// tells a failed read from a failed write. 128 KiB steps, as cp and cat
// take: on ext4 a 512 MiB copy in 1 MiB steps took four times the processor
// time of one in 128 KiB steps, and 32 KiB steps a third more.
static const size_t COPY_BUFFER_SIZE = 128 << 10;

static CopyResult copy_through_buffer(int source, uint64_t source_offset, int target,
                                      uint64_t target_offset, uint64_t size) {
    static std::vector<char> buffer;
    if (buffer.empty()) buffer.resize(COPY_BUFFER_SIZE);
    // The source is read once, from start to end: a wider read-ahead where
    // its pages are not in memory yet.
    if (size > COPY_BUFFER_SIZE)
        posix_fadvise(source, static_cast<off_t>(source_offset), static_cast<off_t>(size), POSIX_FADV_SEQUENTIAL);
    while (size > 0) {
        size_t step = size < COPY_BUFFER_SIZE ? static_cast<size_t>(size) : COPY_BUFFER_SIZE;
        if (!platform_read_at(source, source_offset, buffer.data(), step)) return COPY_READ_FAILED;
        if (!platform_write_at(target, target_offset, buffer.data(), step)) return COPY_WRITE_FAILED;
        source_offset += step;
        target_offset += step;
        size -= step;
    }
    return COPY_DONE;
}

// Below this many bytes copy_file_range is taken whatever the offsets: one
// call in place of two, at no measurable cost in bytes moved (10,000
// copies of 8 KiB between unaligned offsets took the same time by
// copy_file_range as by reads and writes).
static const uint64_t KERNEL_COPY_ALWAYS = 64 << 10;

// File systems whose copy_file_range moves no bytes through this machine:
// the server copies for NFS and SMB, and Ceph between its objects.
static int copies_in_place(int target) {
    struct statfs info;
    if (fstatfs(target, &info) != 0) return 0;
    switch (static_cast<unsigned long>(info.f_type)) {
        case 0x6969UL:      // NFS
        case 0xFE534D42UL:  // SMB2
        case 0xFF534D42UL:  // CIFS
        case 0x00C36400UL:  // Ceph
            return 1;
        default:
            return 0;
    }
}

// The pipe of the kernel copy between misaligned offsets, made at the first
// such copy and kept for the run. copy_file_range splices through a pipe of
// its own, of 64 KiB, and from an offset that lies elsewhere within a page
// than the target's, each page of the source travels as two fragments: on
// ext4 a 512 MiB entry 64 bytes into its package took half as much
// processor time again as from an aligned offset. Through a pipe of 1 MiB
// it took as long as the aligned copy (and as cp); a pipe of 256 KiB, and
// reads and writes of 128 KiB, took a quarter more, a pipe of 4 MiB four
// fifths more.
static const int COPY_PIPE_SIZE = 1 << 20;
static int copy_pipe[2] = {-1, -1};
static int copy_pipe_refused = 0;

static void drop_copy_pipe() {
    close(copy_pipe[0]);
    close(copy_pipe[1]);
    copy_pipe[0] = copy_pipe[1] = -1;
}

// The pipe, made when it is not yet; 0 where it cannot be made, or not of
// COPY_PIPE_SIZE (the system's limit on pipes, or the user's share of pipe
// memory, is lower).
static int ready_copy_pipe() {
    if (copy_pipe[0] >= 0) return 1;
    if (copy_pipe_refused) return 0;
    if (pipe2(copy_pipe, O_CLOEXEC) == 0) {
        if (fcntl(copy_pipe[1], F_SETPIPE_SZ, COPY_PIPE_SIZE) >= COPY_PIPE_SIZE) return 1;
        drop_copy_pipe();
    }
    copy_pipe[0] = copy_pipe[1] = -1;
    copy_pipe_refused = 1;
    return 0;
}

// How a range is copied: copy_file_range where the offsets lie at the same
// place within a page, so that each page of the source lands on one page of
// the target (and a file system that clones ranges, XFS or Btrfs, shares
// the blocks instead of copying them, which needs aligned offsets too), for
// small ranges, and where the file system copies in place; through the run's
// own pipe between other offsets; by reads and writes where there is no
// such pipe.
enum CopyWay { COPY_BY_KERNEL, COPY_BY_PIPE, COPY_BY_BUFFER };

static CopyWay copy_way(int target, uint64_t source_offset, uint64_t target_offset, uint64_t size) {
    static const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    if (size < KERNEL_COPY_ALWAYS || source_offset % page == target_offset % page || copies_in_place(target))
        return COPY_BY_KERNEL;
    return ready_copy_pipe() ? COPY_BY_PIPE : COPY_BY_BUFFER;
}

CopyResult platform_copy_range(PlatformFile source, uint64_t source_offset, PlatformFile target,
                               uint64_t target_offset, uint64_t size) {
    int in = static_cast<int>(source);
    int out = static_cast<int>(target);
    const CopyWay way = copy_way(out, source_offset, target_offset, size);
    if (way == COPY_BY_BUFFER) return copy_through_buffer(in, source_offset, out, target_offset, size);
    while (size > 0) {
        const uint64_t STEP = way == COPY_BY_PIPE ? COPY_PIPE_SIZE : 1u << 30;
        loff_t in_offset = static_cast<loff_t>(source_offset);
        loff_t out_offset = static_cast<loff_t>(target_offset);
        size_t step = static_cast<size_t>(size < STEP ? size : STEP);
        ssize_t done = way == COPY_BY_PIPE ? sys_splice_copy(in, &in_offset, out, &out_offset, step, copy_pipe)
                                           : sys_copy_file_range(in, &in_offset, out, &out_offset, step);
        if (done < 0 && errno == EINTR) continue;
        // Any refusal or error, and a copy of nothing (which some kernel and
        // file-system pairs give before copying anything, not only at the
        // end of the file): let the plain copy finish the job; it tells a
        // real end of the file, and which side failed. A pipe that failed
        // may still hold bytes: the next copy makes a new one.
        if (done <= 0) {
            if (way == COPY_BY_PIPE) drop_copy_pipe();
            return copy_through_buffer(in, source_offset, out, target_offset, size);
        }
        source_offset += static_cast<uint64_t>(done);
        target_offset += static_cast<uint64_t>(done);
        size -= static_cast<uint64_t>(done);
    }
    return COPY_DONE;
}

int platform_sync(PlatformFile file) {
    return sys_fsync(static_cast<int>(file)) == 0;
}

void platform_start_writeback(PlatformFile file, uint64_t offset, uint64_t size) {
    sync_file_range(static_cast<int>(file), static_cast<off_t>(offset), static_cast<off_t>(size),
                    SYNC_FILE_RANGE_WRITE);
}

int platform_sync_data(PlatformFile file) {
    return sys_fdatasync(static_cast<int>(file)) == 0;
}

int platform_file_identity(PlatformFile file, FileIdentity* identity) {
    struct stat info;
    if (sys_fstat(static_cast<int>(file), &info) != 0) return 0;
    *identity = FileIdentity{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
    return 1;
}

int platform_names_fold() {
    return 0;
}

int platform_truncate(PlatformFile file, uint64_t size) {
    // ftruncate marks the file changed even when its length stays.
    struct stat info;
    if (fstat(static_cast<int>(file), &info) == 0 && static_cast<uint64_t>(info.st_size) == size) return 1;
    return sys_ftruncate(static_cast<int>(file), static_cast<off_t>(size)) == 0;
}

int platform_close(PlatformFile file) {
    // After close() fails the descriptor is gone all the same; never retry.
    return sys_close(static_cast<int>(file)) == 0 || errno == EINTR;
}

int platform_remove_file(const char* path) {
    return sys_unlink(path) == 0;
}

int platform_copy_access(PlatformFile model, PlatformFile file) {
    struct stat info;
    if (fstat(static_cast<int>(model), &info) != 0) return 0;
    // Only a privileged process may give a file away; for any other the
    // file stays its own, which is all it can be. The owner goes first:
    // chown clears the set-user-ID bit that chmod then puts back.
    int given = sys_fchown(static_cast<int>(file), info.st_uid, info.st_gid);
    static_cast<void>(given);
    return sys_fchmod(static_cast<int>(file), info.st_mode & 07777) == 0;
}

ReplaceResult platform_replace_file(const char* source_path, const char* target_path, PlatformFile*) {
    if (sys_rename(source_path, target_path) != 0) return REPLACE_FAILED;
    // The rename is an entry of the folder: it lasts once the folder does.
    const char* last_separator = strrchr(target_path, '/');
    std::string folder(target_path, last_separator ? static_cast<size_t>(last_separator - target_path) : 0);
    if (!last_separator) folder = ".";
    int fd = sys_open(folder.empty() ? "/" : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd < 0) return REPLACE_NOT_DURABLE;
    int synced = sys_fsync(fd) == 0;
    sys_close(fd);
    return synced ? REPLACE_DONE : REPLACE_NOT_DURABLE;
}

// The interrupt cleanup. The handler reads these; while the main flow
// changes them, `cleanup_changing` is set and a signal that comes only
// records itself, to be acted on once the change is whole. That costs no
// system call, where blocking the signals would cost two each time.
static const int INTERRUPT_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};
static const size_t INTERRUPT_SIGNAL_COUNT = sizeof INTERRUPT_SIGNALS / sizeof INTERRUPT_SIGNALS[0];
static int cleanup_fd = -1;
static off_t cleanup_size = 0;
static int cleanup_folder = AT_FDCWD;  // what a relative cleanup_path is relative to
static char cleanup_path[PATH_MAX];
static volatile sig_atomic_t cleanup_changing = 0;
static volatile sig_atomic_t deferred_signal = 0;
static int interrupt_handlers_set = 0;
static struct sigaction interrupt_previous[INTERRUPT_SIGNAL_COUNT];

static void undo_and_die(int signal_number) {
    if (cleanup_changing) {
        deferred_signal = signal_number;
        return;
    }
    // A package that nothing was appended to keeps its time stamps.
    struct stat info;
    if (cleanup_fd >= 0 && (fstat(cleanup_fd, &info) != 0 || info.st_size != cleanup_size))
        ftruncate(cleanup_fd, cleanup_size);
    if (cleanup_path[0] != '\0') unlinkat(cleanup_folder, cleanup_path, 0);
    ::signal(signal_number, SIG_DFL);
    raise(signal_number);
}

static sigset_t interrupt_set() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal_number : INTERRUPT_SIGNALS) sigaddset(&set, signal_number);
    return set;
}

static void drop_cleanup() {
    cleanup_fd = -1;
    cleanup_path[0] = '\0';
    cleanup_folder = AT_FDCWD;
}

static void restore_interrupt_handlers() {
    if (!interrupt_handlers_set) return;
    for (size_t i = 0; i < INTERRUPT_SIGNAL_COUNT; i++)
        sigaction(INTERRUPT_SIGNALS[i], &interrupt_previous[i], nullptr);
    interrupt_handlers_set = 0;
}

// Starts a change of the cleanup, setting the handlers where they are not.
static void begin_cleanup_change() {
    cleanup_changing = 1;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (interrupt_handlers_set) return;
    struct sigaction handler;
    memset(&handler, 0, sizeof handler);
    handler.sa_handler = undo_and_die;
    // A signal recorded for later must not make the call it came in fail.
    handler.sa_flags = SA_RESTART;
    sigfillset(&handler.sa_mask);
    for (size_t i = 0; i < INTERRUPT_SIGNAL_COUNT; i++) {
        sigaction(INTERRUPT_SIGNALS[i], nullptr, &interrupt_previous[i]);
        // A signal the caller chose to ignore (nohup, a background job)
        // stays ignored.
        if (interrupt_previous[i].sa_handler != SIG_IGN) sigaction(INTERRUPT_SIGNALS[i], &handler, nullptr);
    }
    interrupt_handlers_set = 1;
}

// Ends the change; a signal that came meanwhile undoes the new setting and
// ends the process now.
static void end_cleanup_change() {
    std::atomic_signal_fence(std::memory_order_seq_cst);
    cleanup_changing = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (deferred_signal) undo_and_die(deferred_signal);
}

void platform_interrupt_cleanup(PlatformFile file, uint64_t size, const char* remove_path) {
    begin_cleanup_change();
    cleanup_fd = static_cast<int>(file);
    cleanup_size = static_cast<off_t>(size);
    cleanup_path[0] = '\0';
    if (remove_path && strlen(remove_path) < sizeof cleanup_path) strcpy(cleanup_path, remove_path);
    end_cleanup_change();
}

int platform_open_folder_for_creating(const char* path, PlatformFile* folder) {
    int fd = sys_open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd < 0) return 0;
    *folder = fd;
    return 1;
}

static CreateResult create_removed_on_interrupt(const char* path, PlatformFile folder, size_t relative_offset,
                                                mode_t mode, PlatformFile* file) {
    const BelowFolder where = below_folder(path, folder, relative_offset);
    begin_cleanup_change();
    drop_cleanup();
    CreateResult created = create_new_below(where, mode, file);
    if (created == CREATE_DONE && strlen(where.name) < sizeof cleanup_path) {
        strcpy(cleanup_path, where.name);
        cleanup_folder = where.folder;
    }
    end_cleanup_change();
    return created;
}

CreateResult platform_create_new_removed_on_interrupt(const char* path, PlatformFile folder, size_t relative_offset,
                                                      PlatformFile* file) {
    return create_removed_on_interrupt(path, folder, relative_offset, 0666, file);
}

CreateResult platform_create_private_removed_on_interrupt(const char* path, PlatformFile folder,
                                                          size_t relative_offset, PlatformFile* file) {
    return create_removed_on_interrupt(path, folder, relative_offset, 0600, file);
}

int platform_remove_file_below(const char* path, PlatformFile folder, size_t relative_offset) {
    const BelowFolder where = below_folder(path, folder, relative_offset);
    return (where.folder == AT_FDCWD ? sys_unlink(where.name) : sys_unlinkat(where.folder, where.name)) == 0;
}

int platform_rename_below(const char* source_path, const char* target_path, PlatformFile folder,
                          size_t relative_offset) {
    const BelowFolder source = below_folder(source_path, folder, relative_offset);
    const BelowFolder target = below_folder(target_path, folder, relative_offset);
    if (source.folder == AT_FDCWD) return sys_rename(source.name, target.name) == 0;
    return sys_renameat(source.folder, source.name, target.name) == 0;
}

static int interrupts_held = 0;
static sigset_t mask_before_hold;

void platform_interrupt_hold() {
    sigset_t blocked = interrupt_set(), previous_mask;
    sigprocmask(SIG_BLOCK, &blocked, &previous_mask);
    if (!interrupts_held) mask_before_hold = previous_mask;
    interrupts_held = 1;
    drop_cleanup();
    restore_interrupt_handlers();
}

void platform_interrupt_resume() {
    sigset_t blocked = interrupt_set(), previous_mask;
    sigprocmask(SIG_BLOCK, &blocked, &previous_mask);
    drop_cleanup();
    restore_interrupt_handlers();
    // A signal that came during a hold is delivered here, with the action
    // the process had before: it ends the process now.
    sigprocmask(SIG_SETMASK, interrupts_held ? &mask_before_hold : &previous_mask, nullptr);
    interrupts_held = 0;
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

// A key that sends several bytes sends them in one burst; a byte that has
// not come this long after the one before belongs to no key being read.
static const int KEY_BYTE_WAIT_MS = 100;

static const int ESCAPE = 0x1b;

// A byte read past the end of a key, the start of the next one typed ahead:
// the next wait begins with it. -1 when there is none.
static int pending_key_byte = -1;

// The next byte of the key being read, or -1 when none comes in time.
static int next_key_byte(int tty) {
    pollfd ready{tty, POLLIN, 0};
    int polled;
    do polled = poll(&ready, 1, KEY_BYTE_WAIT_MS);
    while (polled < 0 && errno == EINTR);
    if (polled <= 0) return -1;
    unsigned char byte;
    ssize_t got;
    do got = read(tty, &byte, 1);
    while (got < 0 && errno == EINTR);
    return got == 1 ? byte : -1;
}

// Keeps `byte`, read but not part of the key, for the next wait.
static void keep_for_next_key(int byte) {
    if (byte >= 0) pending_key_byte = byte;
}

// Reads the continuation bytes of the UTF-8 character that `lead` starts
// (none for an ASCII byte or a byte that starts no character).
static void take_character_rest(int tty, int lead) {
    int rest = lead >= 0xF8 ? 0 : lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    for (; rest > 0; rest--) {
        int byte = next_key_byte(tty);
        if (byte < 0) return;
        if ((byte & 0xC0) != 0x80) {
            keep_for_next_key(byte);
            return;
        }
    }
}

// Reads what follows an ESC of the same key: nothing (Esc itself); "[",
// parameter and intermediate bytes and one final byte (cursor, editing and
// function keys, with or without modifiers); "O" and one byte (keypad, F1 to
// F4); or one character (Alt with that key). Another ESC starts the next key:
// Esc pressed twice is two keys.
static void take_escape_rest(int tty) {
    int byte = next_key_byte(tty);
    if (byte < 0) return;
    if (byte == ESCAPE) {
        keep_for_next_key(byte);
        return;
    }
    if (byte == '[') {
        do byte = next_key_byte(tty);
        while (byte >= 0x20 && byte <= 0x3F);
    } else if (byte == 'O') {
        byte = next_key_byte(tty);
    } else {
        take_character_rest(tty, byte);
        return;
    }
    if (byte < 0x40 || byte > 0x7E) keep_for_next_key(byte);
}

// Reads exactly one key, however many bytes it sends, leaving any byte of a
// later key for the next wait: keys typed ahead are not lost.
static void take_one_key(int tty) {
    int first = pending_key_byte;
    pending_key_byte = -1;
    if (first < 0) {
        unsigned char byte;
        ssize_t got;
        do got = read(tty, &byte, 1);
        while (got < 0 && errno == EINTR);
        if (got != 1) return;
        first = byte;
    }
    if (first == ESCAPE)
        take_escape_rest(tty);
    else
        take_character_rest(tty, first);
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
    // A signal that is ignored (SIGPIPE always, others under nohup) ends
    // nothing, so it stays ignored.
    for (size_t i = 0; i < sizeof WAIT_SIGNALS / sizeof WAIT_SIGNALS[0]; i++) {
        sigaction(WAIT_SIGNALS[i], nullptr, &previous[i]);
        if (previous[i].sa_handler != SIG_IGN) sigaction(WAIT_SIGNALS[i], &handler, nullptr);
    }

    // No echo, no line editing, and no signal keys: Ctrl+C arrives as a byte
    // that ends the wait instead of stopping the tool.
    struct termios raw = saved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
    raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(tty, TCSANOW, &raw) == 0) {
        take_one_key(tty);
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
    // The tool ignores SIGPIPE; the program gets the default action back,
    // as any program started from a shell has it.
    posix_spawnattr_t attributes;
    if (posix_spawnattr_init(&attributes) != 0) return -1;
    sigset_t default_signals;
    sigemptyset(&default_signals);
    sigaddset(&default_signals, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &default_signals);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    // posix_spawnp reports a program that cannot be found or executed as an
    // error here (glibc, musl), so -1 means "not started" and nothing else.
    int spawned = posix_spawnp(&child, program, nullptr, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) return -1;
    int status;
    while (waitpid(child, &status, 0) < 0)
        if (errno != EINTR) return -1;
    // The child did start: a signal that ended it is reported as the shells
    // do, never as -1, which would claim it could not be started.
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

size_t platform_name_key(const char* piece, size_t length, char* key) {
    memcpy(key, piece, length);
    return length;
}

struct PlatformFolder {
    DIR* listing;
};

OpenResult platform_open_folder(const char* path, PlatformFolder** folder) {
    int fd = sys_open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? OPEN_MISSING : OPEN_FAILED;
    DIR* listing = fdopendir(fd);
    if (!listing) {
        sys_close(fd);
        return OPEN_FAILED;
    }
    *folder = new (std::nothrow) PlatformFolder{listing};
    if (!*folder) {
        closedir(listing);
        return OPEN_FAILED;
    }
    return OPEN_DONE;
}

static ItemKind kind_of_mode(mode_t mode) {
    return S_ISREG(mode) ? ITEM_FILE : S_ISDIR(mode) ? ITEM_FOLDER : ITEM_OTHER;
}

ReadItemResult platform_read_folder(PlatformFolder* folder, FolderItem* item) {
    for (;;) {
        errno = 0;
        const struct dirent* found = sys_readdir(folder->listing);
        if (!found) return errno == 0 ? ITEM_END : ITEM_FAILED;
        const char* name = found->d_name;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
        item->name = name;
        item->is_link = found->d_type == DT_LNK;
        // Most file systems tell the kind in the listing itself; a link, or
        // a file system that does not tell, costs a look at the item.
        if (found->d_type == DT_REG) {
            item->kind = ITEM_FILE;
            return ITEM_READ;
        }
        if (found->d_type == DT_DIR) {
            item->kind = ITEM_FOLDER;
            return ITEM_READ;
        }
        if (found->d_type != DT_LNK && found->d_type != DT_UNKNOWN) {
            item->kind = ITEM_OTHER;
            return ITEM_READ;
        }
        const int folder_fd = dirfd(folder->listing);
        struct stat info;
        if (found->d_type == DT_UNKNOWN) {
            if (sys_fstatat(folder_fd, name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
                // Removed since the listing was read: it is no longer there.
                if (errno == ENOENT) continue;
                return ITEM_FAILED;
            }
            item->is_link = S_ISLNK(info.st_mode);
            if (!item->is_link) {
                item->kind = kind_of_mode(info.st_mode);
                return ITEM_READ;
            }
        }
        if (sys_fstatat(folder_fd, name, &info, 0) == 0)
            item->kind = kind_of_mode(info.st_mode);
        else if (errno == ENOENT || errno == ELOOP || errno == ENOTDIR)
            item->kind = ITEM_OTHER;
        else
            return ITEM_FAILED;
        return ITEM_READ;
    }
}

void platform_close_folder(PlatformFolder* folder) {
    closedir(folder->listing);
    delete folder;
}

#endif
