// The system calls of system_calls.h for the fuzz build: each is made as
// asked, and each that took effect on the file system is checked against
// what write_guard_allow allows.
#ifdef VANTREL_WRITE_GUARD

#include "write_guard.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "util/system_calls.h"

static bool guarding = false;
static std::string allowed_folder, allowed_file;

void write_guard_allow(const std::string& folder, const std::string& file) {
    guarding = true;
    allowed_folder = folder;
    allowed_file = file;
}

// Where `path` leads, with every link of the folders along it resolved; the
// last piece is taken as it stands (the calls checked here do not follow a
// link there, or the path names a file the harness made).
static std::string resolved(const std::string& path) {
    size_t slash = path.find_last_of('/');
    std::string last = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (last == "." || last == "..") {
        parent = path;
        last.clear();
    }
    char folder[PATH_MAX];
    if (!realpath(parent.c_str(), folder)) return "(unresolved) " + path;
    std::string joined = folder;
    if (!last.empty()) joined += (joined == "/" ? "" : "/") + last;
    return joined;
}

// 1 for the file, or for a compaction's temporary file beside it: a name
// of a dot, eight hexadecimal digits and ".vtmp" in the file's folder.
static bool is_allowed_file(const std::string& where) {
    if (allowed_file.empty()) return false;
    if (where == allowed_file) return true;
    const size_t folder_size = allowed_file.find_last_of('/') + 1;
    const std::string name = where.substr(std::min(folder_size, where.size()));
    if (where.compare(0, folder_size, allowed_file, 0, folder_size) != 0 || name.size() != 14 || name[0] != '.' ||
        name.compare(9, 5, ".vtmp") != 0)
        return false;
    return name.find_first_not_of("0123456789abcdef", 1) == 9;
}

static void require_allowed(const char* path) {
    if (!guarding) return;
    std::string where = resolved(path);
    if (is_allowed_file(where)) return;
    if (!allowed_folder.empty() &&
        (where == allowed_folder || where.compare(0, allowed_folder.size() + 1, allowed_folder + "/") == 0))
        return;
    fprintf(stderr, "invariant broken: a write outside the folder: %s\n", where.c_str());
    abort();
}

int sys_open(const char* path, int flags, mode_t mode) {
    int fd = open(path, flags, mode);
    if (fd >= 0 && ((flags & O_ACCMODE) != O_RDONLY || (flags & (O_CREAT | O_TRUNC)))) require_allowed(path);
    return fd;
}

// The whole path of `name` below the open folder `folder`.
static std::string path_below(int folder, const char* name) {
    char folder_path[PATH_MAX];
    ssize_t length = readlink(("/proc/self/fd/" + std::to_string(folder)).c_str(), folder_path, sizeof folder_path - 1);
    if (length < 0) {
        fprintf(stderr, "invariant broken: a file named in a folder that cannot be told\n");
        abort();
    }
    return std::string(folder_path, static_cast<size_t>(length)) + "/" + name;
}

int sys_openat(int folder, const char* name, int flags, mode_t mode) {
    int fd = openat(folder, name, flags, mode);
    if (fd >= 0 && ((flags & O_ACCMODE) != O_RDONLY || (flags & (O_CREAT | O_TRUNC))))
        require_allowed(path_below(folder, name).c_str());
    return fd;
}

int sys_unlinkat(int folder, const char* name) {
    require_allowed(path_below(folder, name).c_str());
    return unlinkat(folder, name, 0);
}

int sys_renameat(int folder, const char* source, const char* target) {
    require_allowed(path_below(folder, source).c_str());
    require_allowed(path_below(folder, target).c_str());
    return renameat(folder, source, folder, target);
}

int sys_mkdir(const char* path, mode_t mode) {
    int result = mkdir(path, mode);
    if (result == 0) require_allowed(path);
    return result;
}

int sys_rename(const char* source, const char* target) {
    require_allowed(source);
    require_allowed(target);
    return rename(source, target);
}

int sys_unlink(const char* path) {
    // Checked first: afterwards the path leads nowhere.
    require_allowed(path);
    return unlink(path);
}

ssize_t sys_pread(int fd, void* buffer, size_t size, off_t offset) { return pread(fd, buffer, size, offset); }
ssize_t sys_pwrite(int fd, const void* buffer, size_t size, off_t offset) { return pwrite(fd, buffer, size, offset); }
ssize_t sys_copy_file_range(int in, loff_t* in_offset, int out, loff_t* out_offset, size_t size) {
    return copy_file_range(in, in_offset, out, out_offset, size, 0);
}
ssize_t sys_splice_copy(int in, loff_t* in_offset, int out, loff_t* out_offset, size_t size, const int pipe_ends[2]) {
    return splice_through_pipe(in, in_offset, out, out_offset, size, pipe_ends);
}
int sys_fsync(int fd) { return fsync(fd); }
int sys_fdatasync(int fd) { return fdatasync(fd); }
int sys_fstat(int fd, struct stat* info) { return fstat(fd, info); }
int sys_ftruncate(int fd, off_t size) { return ftruncate(fd, size); }
int sys_fchown(int fd, uid_t owner, gid_t group) { return fchown(fd, owner, group); }
int sys_fchmod(int fd, mode_t mode) { return fchmod(fd, mode); }
int sys_close(int fd) { return close(fd); }
off_t sys_lseek(int fd, off_t offset, int whence) { return lseek(fd, offset, whence); }
void* sys_mmap(void* address, size_t size, int protection, int flags, int fd, off_t offset) {
    return mmap(address, size, protection, flags, fd, offset);
}
int sys_flock(int fd, int operation) { return flock(fd, operation); }
struct dirent* sys_readdir(DIR* listing) { return readdir(listing); }
int sys_fstatat(int folder, const char* name, struct stat* info, int flags) {
    return fstatat(folder, name, info, flags);
}

#endif
