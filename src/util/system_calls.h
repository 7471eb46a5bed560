// The system calls through which the POSIX platform layer touches files.
// A normal build calls the system directly; a fault-injection build (tests
// only) routes them through counters that can make a chosen call fail.
#pragma once
#ifndef _WIN32

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#ifdef VANTREL_FAULT_INJECTION

int sys_open(const char* path, int flags, mode_t mode);
ssize_t sys_pread(int fd, void* buffer, size_t size, off_t offset);
ssize_t sys_pwrite(int fd, const void* buffer, size_t size, off_t offset);
ssize_t sys_copy_file_range(int in, loff_t* in_offset, int out, loff_t* out_offset, size_t size);
int sys_fsync(int fd);
int sys_ftruncate(int fd, off_t size);
int sys_mkdir(const char* path, mode_t mode);

#else

inline int sys_open(const char* path, int flags, mode_t mode) { return open(path, flags, mode); }
inline ssize_t sys_pread(int fd, void* buffer, size_t size, off_t offset) {
    return pread(fd, buffer, size, offset);
}
inline ssize_t sys_pwrite(int fd, const void* buffer, size_t size, off_t offset) {
    return pwrite(fd, buffer, size, offset);
}
inline ssize_t sys_copy_file_range(int in, loff_t* in_offset, int out, loff_t* out_offset, size_t size) {
    return copy_file_range(in, in_offset, out, out_offset, size, 0);
}
inline int sys_fsync(int fd) { return fsync(fd); }
inline int sys_ftruncate(int fd, off_t size) { return ftruncate(fd, size); }
inline int sys_mkdir(const char* path, mode_t mode) { return mkdir(path, mode); }

#endif
#endif
