// The system calls through which the POSIX platform layer touches files.
// A normal build calls the system directly; a fault-injection build (tests
// only, see fault_injection.cpp) routes them through counters that can make
// a chosen call fail, come back short or stop the process, and the fuzz
// build (fuzz/write_guard.cpp) through checks that every write stays where
// the run may write.
#pragma once
#ifndef _WIN32

#include <cerrno>
#include <cstdio>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

// The kernel copy through a pipe the caller owns (`pipe_ends`: its read end,
// then its write end, empty): up to `size` bytes, at most what the pipe
// holds, are spliced from `in` into the pipe as references to its pages,
// then from the pipe into `out`, copied once. Returns the bytes written to
// `out` (the offsets moved on by as many), 0 at the end of `in`, or -1.
// Bytes the target did not take are read out of the pipe and dropped; -1
// also when that fails, and the pipe, not empty, must not be used again.
// The real system's routine, for every build.
inline ssize_t splice_through_pipe(int in, loff_t* in_offset, int out, loff_t* out_offset, size_t size,
                                   const int pipe_ends[2]) {
    const loff_t start = *in_offset;
    ssize_t taken = splice(in, in_offset, pipe_ends[1], nullptr, size, SPLICE_F_MOVE);
    if (taken <= 0) return taken;
    size_t put = 0;
    while (put < static_cast<size_t>(taken)) {
        ssize_t done = splice(pipe_ends[0], nullptr, out, out_offset, static_cast<size_t>(taken) - put, SPLICE_F_MOVE);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) break;
        put += static_cast<size_t>(done);
    }
    if (put == static_cast<size_t>(taken)) return taken;
    const int saved_errno = errno;
    char scrap[4096];
    size_t left = static_cast<size_t>(taken) - put;
    while (left > 0) {
        ssize_t got = read(pipe_ends[0], scrap, left < sizeof scrap ? left : sizeof scrap);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        left -= static_cast<size_t>(got);
    }
    if (left > 0) {
        errno = EIO;
        return -1;
    }
    *in_offset = start + static_cast<loff_t>(put);
    errno = saved_errno;
    return put > 0 ? static_cast<ssize_t>(put) : -1;
}

#if defined(VANTREL_FAULT_INJECTION) || defined(VANTREL_WRITE_GUARD)

int sys_open(const char* path, int flags, mode_t mode);
int sys_openat(int folder, const char* name, int flags, mode_t mode);
ssize_t sys_pread(int fd, void* buffer, size_t size, off_t offset);
ssize_t sys_pwrite(int fd, const void* buffer, size_t size, off_t offset);
ssize_t sys_copy_file_range(int in, loff_t* in_offset, int out, loff_t* out_offset, size_t size);
ssize_t sys_splice_copy(int in, loff_t* in_offset, int out, loff_t* out_offset, size_t size, const int pipe_ends[2]);
int sys_fsync(int fd);
int sys_fdatasync(int fd);
int sys_fstat(int fd, struct stat* info);
int sys_ftruncate(int fd, off_t size);
int sys_fchown(int fd, uid_t owner, gid_t group);
int sys_fchmod(int fd, mode_t mode);
int sys_mkdir(const char* path, mode_t mode);
int sys_close(int fd);
off_t sys_lseek(int fd, off_t offset, int whence);
void* sys_mmap(void* address, size_t size, int protection, int flags, int fd, off_t offset);
int sys_flock(int fd, int operation);
int sys_rename(const char* source, const char* target);
int sys_unlink(const char* path);
int sys_unlinkat(int folder, const char* name);
int sys_renameat(int folder, const char* source, const char* target);
struct dirent* sys_readdir(DIR* listing);
int sys_fstatat(int folder, const char* name, struct stat* info, int flags);

#else

inline int sys_open(const char* path, int flags, mode_t mode) { return open(path, flags, mode); }
inline int sys_openat(int folder, const char* name, int flags, mode_t mode) {
    return openat(folder, name, flags, mode);
}
inline ssize_t sys_pread(int fd, void* buffer, size_t size, off_t offset) {
    return pread(fd, buffer, size, offset);
}
inline ssize_t sys_pwrite(int fd, const void* buffer, size_t size, off_t offset) {
    return pwrite(fd, buffer, size, offset);
}
inline ssize_t sys_copy_file_range(int in, loff_t* in_offset, int out, loff_t* out_offset, size_t size) {
    return copy_file_range(in, in_offset, out, out_offset, size, 0);
}
inline ssize_t sys_splice_copy(int in, loff_t* in_offset, int out, loff_t* out_offset, size_t size,
                               const int pipe_ends[2]) {
    return splice_through_pipe(in, in_offset, out, out_offset, size, pipe_ends);
}
inline int sys_fsync(int fd) { return fsync(fd); }
inline int sys_fdatasync(int fd) { return fdatasync(fd); }
inline int sys_fstat(int fd, struct stat* info) { return fstat(fd, info); }
inline int sys_ftruncate(int fd, off_t size) { return ftruncate(fd, size); }
inline int sys_fchown(int fd, uid_t owner, gid_t group) { return fchown(fd, owner, group); }
inline int sys_fchmod(int fd, mode_t mode) { return fchmod(fd, mode); }
inline int sys_mkdir(const char* path, mode_t mode) { return mkdir(path, mode); }
inline int sys_close(int fd) { return close(fd); }
inline off_t sys_lseek(int fd, off_t offset, int whence) { return lseek(fd, offset, whence); }
inline void* sys_mmap(void* address, size_t size, int protection, int flags, int fd, off_t offset) {
    return mmap(address, size, protection, flags, fd, offset);
}
inline int sys_flock(int fd, int operation) { return flock(fd, operation); }
inline int sys_rename(const char* source, const char* target) { return rename(source, target); }
inline int sys_unlink(const char* path) { return unlink(path); }
inline int sys_unlinkat(int folder, const char* name) { return unlinkat(folder, name, 0); }
inline int sys_renameat(int folder, const char* source, const char* target) {
    return renameat(folder, source, folder, target);
}
inline struct dirent* sys_readdir(DIR* listing) { return readdir(listing); }
inline int sys_fstatat(int folder, const char* name, struct stat* info, int flags) {
    return fstatat(folder, name, info, flags);
}

#endif
#endif
