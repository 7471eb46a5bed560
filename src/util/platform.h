// The operating-system services the tool needs, behind one small interface.
// platform_posix.cpp implements it with POSIX calls, platform_win32.cpp with
// Win32 calls; the build compiles exactly one of them. No other file of the
// tool includes an operating-system header.
//
// Every routine that can fail returns 1 on success and 0 on failure unless it
// says otherwise. None prints anything: callers own the messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// An open file: a descriptor on POSIX, a HANDLE on Windows.
typedef intptr_t PlatformFile;
constexpr PlatformFile NO_FILE = -1;

// The tool's limit for whole paths, terminator included.
constexpr size_t PATH_LIMIT = 260;

// The separator that joins folders in paths handed to the operating system.
extern const char PATH_SEPARATOR;

// Length of the drive designator that starts `path` ("X:" on Windows, or
// the server and share of a network path), 0 where paths have no drives.
size_t platform_drive_length(const char* path);

// 1 for a character that separates folders in a path given to the system.
int platform_is_separator(char c);

// 1 when the `length` bytes at `piece`, one piece of an entry name between
// separators, may name a file or folder of its own. Windows refuses a colon
// (a drive or a data stream), a device name such as CON or LPT1 with or
// without an extension, and a piece of dots and blanks alone other than ".";
// POSIX systems refuse nothing here. An empty piece is allowed.
int platform_name_piece_allowed(const char* piece, size_t length);

// Puts the console or standard output into the mode the tool prints in.
// Output to a closed pipe then fails like any other write (POSIX: SIGPIPE is
// ignored) instead of ending the process; the caller sees it on the stream.
void platform_start_console();

// Makes `path` absolute on its text alone: a relative path is joined to the
// working directory, "." and ".." pieces are folded, no link is followed and
// the path need not exist. An empty path gives the working directory. Writes
// at most `out_size` bytes (terminator included) and never truncates: when
// the result does not fit, returns 0 and sets *too_long. Returns 0 with
// *too_long clear when the working directory cannot be told.
int platform_full_path(const char* path, char* out, size_t out_size, int* too_long);

// Copies into `out` the working directory; 0 when it does not fit.
int platform_current_folder(char* out, size_t out_size);

enum OpenResult {
    OPEN_DONE,
    OPEN_MISSING,  // nothing there (or a dangling link), or not a regular file: a folder, a pipe, a device
    OPEN_FAILED,   // a regular file that cannot be opened: no right to read, locked by another program, an I/O error
    OPEN_IN_USE    // platform_open_package only: another run holds the package
};

// Opens an existing regular file for reading and gives its size, without
// blocking on a pipe or device. Other programs may keep reading, writing,
// renaming or removing it meanwhile.
OpenResult platform_open_read(const char* path, PlatformFile* file, uint64_t* size);

enum PackageAccess { PACKAGE_READ, PACKAGE_UPDATE };

// Opens the package at `path` and locks it until it is closed: PACKAGE_READ
// opens it read-only under a shared lock, which other readers may share;
// PACKAGE_UPDATE opens it for reading and writing, without truncating it,
// under an exclusive lock. A lock that is not free at once gives OPEN_IN_USE;
// nothing waits. Once locked, the path is checked to still name the file
// that was locked (a run that replaced the package has renamed a new file
// over it); when it does not, the package is opened and locked once more.
// POSIX: flock, advisory, so only other vantrel runs honour it. Windows: the
// open's share mode. A read-only file cannot be opened for update
// (OPEN_FAILED).
OpenResult platform_open_package(const char* path, PackageAccess access, PlatformFile* file, uint64_t* size);

enum CreateResult { CREATE_DONE, CREATE_EXISTS, CREATE_FAILED };

// Creates a new file for writing, exclusively: when anything stands at
// `path` already (a file, a folder, a link, even a dangling one) nothing is
// opened or followed and CREATE_EXISTS is returned.
CreateResult platform_create_new(const char* path, PlatformFile* file);

enum PathKind { PATH_MISSING, PATH_FILE, PATH_FOLDER };

// What `path` names, following links; a dangling link is PATH_MISSING.
// Anything that exists and is not a folder counts as a file.
PathKind platform_path_kind(const char* path);

// Reads exactly `size` bytes at `offset`; 0 on an error or on end of file
// before `size` bytes.
int platform_read_at(PlatformFile file, uint64_t offset, void* buffer, size_t size);

// Writes exactly `size` bytes at `offset`; 0 on an error or a short write.
int platform_write_at(PlatformFile file, uint64_t offset, const void* buffer, size_t size);

enum CopyResult { COPY_DONE, COPY_READ_FAILED, COPY_WRITE_FAILED };

// Copies `size` bytes from `source` at `source_offset` to `target` at
// `target_offset`, in bounded steps (the kernel's own copy where it has one).
// COPY_READ_FAILED also covers a source that ends before `size` bytes.
CopyResult platform_copy_range(PlatformFile source, uint64_t source_offset,
                               PlatformFile target, uint64_t target_offset, uint64_t size);

// Makes everything written to `file` durable on its device.
int platform_sync(PlatformFile file);

// Cuts `file` back (or extends it) to `size` bytes.
int platform_truncate(PlatformFile file, uint64_t size);

// Closes `file`; 0 when the system reports a failed write at close.
int platform_close(PlatformFile file);

// Removes a file (not a folder).
int platform_remove_file(const char* path);

// Gives `file` the permission bits of `model`, and its owner and group
// where the process may set them. Windows: nothing to do, a new file takes
// the access rules of its folder.
void platform_copy_access(PlatformFile model, PlatformFile file);

enum ReplaceResult {
    REPLACE_DONE,
    REPLACE_FAILED,      // nothing changed: the target is as it was, the source still there
    REPLACE_NOT_DURABLE  // the source now stands at the target's path, but the change may not outlive a power loss
};

// Renames the closed file at `source_path` over `target_path` in one step,
// so that the path names either file whole at every moment, and makes the
// change durable (POSIX: fsync of the folder; Windows: MOVEFILE_WRITE_THROUGH).
// `target_file` is the target's open file: POSIX keeps it open, and its
// lock held, through the rename; Windows cannot replace a file that is open
// without delete sharing, so it is closed first and set to NO_FILE (another
// run that opens the target in that moment makes the rename fail).
ReplaceResult platform_replace_file(const char* source_path, const char* target_path, PlatformFile* target_file);

// What an interrupt (POSIX: SIGINT, SIGTERM, SIGHUP; Windows: Ctrl+C,
// Ctrl+Break, closing the console, logging off, shutting down) undoes before
// it ends the process, while a change to a file is under way: `file` is cut
// back to `size` bytes (unless `file` is NO_FILE), then the file at
// `remove_path` is removed (unless it is null; its path is copied). The
// process then ends as the interrupt would have ended it. Replaces any
// earlier setting.
void platform_interrupt_cleanup(PlatformFile file, uint64_t size, const char* remove_path);

// Opens the folder at `path`, for creating files in it by name. Returns 0
// where the system cannot create a file relative to an open folder
// (Windows), or when the folder cannot be opened; the caller then creates
// by whole paths. Close it with platform_close.
int platform_open_folder(const char* path, PlatformFile* folder);

// Creates a new file as platform_create_new does and, once it is created,
// sets the interrupt cleanup to remove it (replacing any earlier setting),
// with no moment between the two at which an interrupt would leave it
// behind. Neither this nor platform_interrupt_cleanup makes a system call of
// its own, but for the first setting and the first after a hold, so both may
// be called for every file of a run. When nothing was created the cleanup is dropped. When `folder` is
// not NO_FILE, it is the open folder of path's first `name_offset` bytes and
// the file is created by its name alone (path + name_offset) in that folder:
// the system then looks up one piece of the path instead of every one.
CreateResult platform_create_new_removed_on_interrupt(const char* path, PlatformFile folder, size_t name_offset,
                                                      PlatformFile* file);

// Drops the cleanup and holds interrupts back until platform_interrupt_resume:
// for a step that must run whole once it has begun (writing a directory
// block and making it durable, replacing a file by another).
void platform_interrupt_hold();

// Drops any cleanup and ends a hold; an interrupt that came during the hold
// ends the process now.
void platform_interrupt_resume();

enum FolderResult { FOLDER_MADE, FOLDER_EXISTS, FOLDER_FAILED };

// Creates one folder with default permissions. FOLDER_EXISTS when a folder
// (or a link to one) already stands there; FOLDER_FAILED for anything else,
// a plain file of that name included. Windows takes paths of any length
// here, through the long-path form.
FolderResult platform_make_folder(const char* path);

// Makes `path` the process's working directory.
int platform_change_folder(const char* path);

// A read-only view of a whole file.
struct PlatformMapping {
    const unsigned char* view;  // first byte of the file; null when unmapped
    uint64_t size;              // bytes in the view
    intptr_t mapping_handle;    // the mapping object where the system has one
};

// Maps the first `size` bytes of `file` read-only. A file of size 0 cannot be
// mapped: returns 0. On failure nothing is left open and the record is
// cleared (all fields zero). `file` stays open and owned by the caller.
int platform_map(PlatformFile file, uint64_t size, PlatformMapping* mapping);

// Unmaps a view made by platform_map, closes its mapping object where there
// is one, and clears the record. A cleared record (all fields zero) is left
// as it is: nothing is released twice.
void platform_unmap(PlatformMapping* mapping);

// Tells the system that the pages of [offset, offset + size) of a mapping
// are no longer needed, so they stop counting against the process's memory.
void platform_release_pages(const PlatformMapping* mapping, uint64_t offset, uint64_t size);

// Waits for one key press read from the console or terminal itself (never
// from redirected standard input), without echo. Returns at once when the
// process has no console. Keys typed ahead are each left for a wait of
// their own.
void platform_wait_key();

// The length in bytes of the file open under `stream`, measured on the file
// itself: the stream's descriptor is seeked to its end and put back where it
// was (POSIX: fileno, lseek). Bytes still held in the stream's own buffer
// are not counted; neither the stream's nor the descriptor's position
// changes. Returns 0 when the stream has no descriptor (a memory stream) or
// the descriptor cannot be positioned (a pipe, a terminal).
int platform_stream_length(FILE* stream, uint64_t* length);

// The position of `stream` (its buffered bytes counted), in 64 bits on every
// system: a file past 2 GiB keeps its whole position where `long` has 32
// bits. Returns 0 when the position cannot be told (a pipe, a terminal).
int platform_stream_position(FILE* stream, uint64_t* position);

// Starts `program` with the single argument `argument` (none when null) and
// waits for it to end. The program is looked up on the search path when its
// name holds no folder part. The argument reaches the child whole, as one
// argument, whatever blanks, quotes or backslashes it holds (on Windows it
// is quoted by the command-line rules that the C runtime's parser undoes).
// Returns the exit status (POSIX: 0-255; a child ended by signal N gives
// 128 + N, as shells report it), or -1 when the program cannot be started.
// Windows refuses a batch file (.bat, .cmd) with -1: cmd.exe re-parses its
// command line, and no quoting keeps an argument from running a command.
int platform_run_program(const char* program, const char* argument);
