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
#include <string>
#include <vector>

// An open file: a descriptor on POSIX, a HANDLE on Windows.
typedef intptr_t PlatformFile;
constexpr PlatformFile NO_FILE = -1;

// What tells one file from another: two files with equal identities are the
// same file, whatever names lead to them (POSIX: device and inode; Windows:
// the volume's serial number and the file's id, a 128-bit id folded into 64
// bits). Windows: on some network shares a closed file's index goes to the
// next file opened, so a match with a file no longer open is confirmed with
// platform_same_file.
struct FileIdentity {
    uint64_t device;
    uint64_t index;
};

// The identity of the open `file`; 0 when the system cannot tell it.
int platform_file_identity(PlatformFile file, FileIdentity* identity);

// The identity of what `path` names, following links; 0 when it cannot be
// told (nothing is there, no right to look).
int platform_path_identity(const char* path, FileIdentity* identity);

// 1 when `path`, following links, names the open `file`, compared while both
// are open and by their whole identities; 0 when it names another file or
// none, or either identity cannot be told.
int platform_same_file(PlatformFile file, const char* path);

// The tool's limit for whole paths, terminator included.
constexpr size_t PATH_LIMIT = 260;

// The separator that joins folders in paths handed to the operating system.
extern const char PATH_SEPARATOR;

// Length of the drive designator that starts `path` ("X:" on Windows, or
// the server and share of a network path), 0 where paths have no drives.
size_t platform_drive_length(const char* path);

// 1 for a character that separates folders in a path given to the system.
int platform_is_separator(char c);

// The first separator (platform_is_separator) at or after `text` that is a
// character of its own, or null when there is none. Windows steps through
// the text by the characters of the ANSI code page: in a double-byte code
// page (932, 936, 949, 950) a character's second byte may be 0x5C, the
// backslash, and does not separate anything.
const char* platform_next_separator(const char* text);

// The character after the one that starts at `c`, which is not the
// terminator: Windows: two bytes on for the first byte of a double-byte
// character of the ANSI code page (one when the terminator follows it);
// one byte on elsewhere, and on POSIX systems, whose multi-byte characters
// (UTF-8) hold no byte below 0x80.
const char* platform_next_character(const char* c);

// The arguments the program was started with (`given`, as main received
// them), as 8-bit text in the encoding every path of the tool is in, stored
// in `arguments`, with `exact[i]` 1 when argument i came through whole.
// POSIX: `given` as it is, every argument exact. Windows: the C runtime's
// UTF-16 arguments (split by the rules that split `given`), converted to
// the ANSI code page without best-fit mapping: the C runtime's own copy turns a character the code
// page lacks into a look-alike (an "Ł" into an "L") or a '?', and so
// names a file nobody typed. Such a character becomes '?' here and
// the argument is not exact.
void platform_arguments(int count, char** given, std::vector<std::string>* arguments, std::vector<char>* exact);

// The code page that 8-bit paths and entry names are read in: Windows: the
// ANSI code page (GetACP); 0 on POSIX systems, where bytes are passed on as
// they are.
unsigned platform_code_page();

// 1 when the `length` bytes at `piece`, one piece of an entry name between
// separators, may name a file or folder of its own; `is_folder` is set for a
// piece that a separator follows. Windows refuses a colon (a drive or a data
// stream), a device name such as CON or LPT1 with or without an extension, a
// piece of dots and blanks alone other than ".", and a folder piece that
// ends in a dot or a blank: the system would create that folder without
// them, and then find no file below the name with them. POSIX systems refuse
// nothing here. An empty piece is allowed.
int platform_name_piece_allowed(const char* piece, size_t length, int is_folder);

// 1 where the system itself leads names that differ to one file, so that two
// entries may share a loose file: Windows folds letter case, drops trailing
// dots and blanks and knows each file by a short 8.3 name too. 0 on POSIX
// systems, where a name is its bytes.
int platform_names_fold();

// 1 when, in the folder at `folder`, the system leads names that differ only
// in letter case to one file, so that the exact open alone finds a loose
// file. POSIX: 0. Windows: 1 unless the folder says it is case-sensitive
// (FILE_CASE_SENSITIVE_INFO: a folder shared with WSL, or one set so with
// fsutil); the last folder asked is remembered.
int platform_folder_folds_case(const char* folder);

// Puts the console or standard output into the mode the tool prints in.
// Output to a closed pipe then fails like any other write (POSIX: SIGPIPE is
// ignored) instead of ending the process; the caller sees it on the stream.
void platform_start_console();

// Puts standard output into binary mode, for a run that writes a file's
// bytes there: Windows would otherwise turn each line feed into CR LF and
// stop a reader at a byte 0x1A. Nothing to do on POSIX systems.
void platform_binary_output();

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

// PACKAGE_REPLACE is PACKAGE_UPDATE for a run that replaces the package by
// another file (platform_replace_file): Windows shares deletion, so that the
// new file can be renamed over the package while this run holds it.
enum PackageAccess { PACKAGE_READ, PACKAGE_UPDATE, PACKAGE_REPLACE };

// Opens the package at `path` and locks it until it is closed: PACKAGE_READ
// opens it read-only under a shared lock, which other readers may share;
// PACKAGE_UPDATE opens it for reading and writing, without truncating it,
// under an exclusive lock. A lock that is not free at once gives OPEN_IN_USE;
// nothing waits. Once locked, the path is checked to still name the file
// that was locked (a run that replaced the package has renamed a new file
// over it); when it does not, the package is opened and locked once more.
// POSIX: flock, advisory, so only other vantrel runs honour it. Windows: the
// open's share mode, which also keeps out other programs that would write
// the file. A read-only file cannot be opened for update (OPEN_FAILED).
OpenResult platform_open_package(const char* path, PackageAccess access, PlatformFile* file, uint64_t* size);

enum CreateResult { CREATE_DONE, CREATE_EXISTS, CREATE_FAILED };

// Creates a new file for writing, exclusively: when anything stands at
// `path` already (a file, a folder, a link, even a dangling one) nothing is
// opened or followed and CREATE_EXISTS is returned.
CreateResult platform_create_new(const char* path, PlatformFile* file);

// Creates a new file exclusively, as platform_create_new does, that only
// its creator may open (POSIX: mode 0600), for a file whose bytes nobody
// else may read before platform_copy_access gives it another file's access.
// Windows: as platform_create_new; a new file takes its folder's rules.
CreateResult platform_create_private(const char* path, PlatformFile* file);

enum ResolveResult { RESOLVE_DONE, RESOLVE_TOO_LONG, RESOLVE_CHANGED };

// Writes into `out` the path of the file that `path` names, with every link
// along it resolved, so that the file itself can be replaced while a link
// to it stays a link. `file` was opened through `path`: RESOLVE_DONE when
// the result fits in `out_size` bytes and names that same file;
// RESOLVE_TOO_LONG when it does not fit; RESOLVE_CHANGED when it names
// another file or none (a link or the file was replaced meanwhile), and on
// Windows when the resolved path has characters outside the ANSI code page.
ResolveResult platform_resolve_links(const char* path, PlatformFile file, char* out, size_t out_size);

enum PathKind { PATH_MISSING, PATH_FILE, PATH_FOLDER };

// What `path` names, following links; a dangling link is PATH_MISSING.
// Anything that exists and is not a folder counts as a file.
PathKind platform_path_kind(const char* path);

// 1 when the last piece of `path` is a symbolic link (Windows: a reparse
// point), dangling or not; links before it are followed.
int platform_is_link(const char* path);

// Reads exactly `size` bytes at `offset`; 0 on an error or on end of file
// before `size` bytes.
int platform_read_at(PlatformFile file, uint64_t offset, void* buffer, size_t size);

// Windows only, for a test: when set, called after each read of
// platform_read_at, with the file pointer where the read left it, so that a
// test can run the console handler's cut-back at that very moment. The
// tool never sets it.
extern void (*platform_read_done_hook)();

// Writes exactly `size` bytes at `offset`; 0 on an error or a short write.
int platform_write_at(PlatformFile file, uint64_t offset, const void* buffer, size_t size);

enum CopyResult { COPY_DONE, COPY_READ_FAILED, COPY_WRITE_FAILED };

// Copies `size` bytes from `source` at `source_offset` to `target` at
// `target_offset`, in bounded steps: by the kernel where it has a copy, in
// the way the offsets make fastest (POSIX: copy_file_range, or a splice
// through a pipe of the run's own where the offsets lie at different places
// within a page), by reads and writes elsewhere. COPY_READ_FAILED also
// covers a source that ends before `size` bytes.
CopyResult platform_copy_range(PlatformFile source, uint64_t source_offset,
                               PlatformFile target, uint64_t target_offset, uint64_t size);

// Makes everything written to `file` durable on its device.
int platform_sync(PlatformFile file);

// Starts writing the bytes of [offset, offset + size) of `file` to its
// device, without waiting for them, so that a sync later waits for less.
// Promises nothing about durability. Windows: does nothing.
void platform_start_writeback(PlatformFile file, uint64_t offset, uint64_t size);

// Makes the bytes written to `file`, and its length, durable on its device;
// its time stamps may lag behind (POSIX: fdatasync, which spares the file
// system a journal commit for a change of time stamps alone). Windows: as
// platform_sync.
int platform_sync_data(PlatformFile file);

// Cuts `file` back (or extends it) to `size` bytes. The length is given to
// the system whole (Windows: not through the file pointer, which a read on
// another thread may move meanwhile). Fails on Windows while another
// process maps the file. POSIX: a file that has that length already is not
// touched, so its time stamps stay.
int platform_truncate(PlatformFile file, uint64_t size);

// Closes `file`; 0 when the system reports a failed write at close.
int platform_close(PlatformFile file);

// Removes a file (not a folder).
int platform_remove_file(const char* path);

// Gives `file` the permission bits of `model`, and its owner and group
// where the process may set them (only a privileged process may give a
// file away; for any other that part is passed over). Windows: its
// attributes (hidden, system, archive, not indexed) and its access rules
// (its own and whether it inherits its folder's), and compression. 0 when
// the bits (Windows: the attributes) cannot be read or set.
int platform_copy_access(PlatformFile model, PlatformFile file);

enum ReplaceResult {
    REPLACE_DONE,
    REPLACE_FAILED,       // nothing changed: the target is as it was, the source still there
    REPLACE_NOT_DURABLE,  // the source now stands at the target's path, but the change may not outlive a power loss
    REPLACE_IN_USE,       // Windows: nothing changed, another program held the target or the source throughout
    REPLACE_DENIED        // Windows: nothing changed, the system refuses this user the right to delete the target
};

// Renames the closed file at `source_path` over `target_path` in one step,
// so that the path names either file whole at every moment, and makes the
// change durable. `target_file` is the target's open file, opened with
// PACKAGE_REPLACE.
// POSIX: keeps it open, and its lock held, through the rename, then syncs
// the folder: REPLACE_NOT_DURABLE when that sync fails. Windows: renames the
// source's handle with POSIX semantics, which replaces the target while it
// stays open and locked, then flushes the renamed file. Where the file
// system refuses that rename (FAT, exFAT, many network servers, older
// systems) the target is closed and set to NO_FILE, and the source is put in
// its place with MoveFileExA and MOVEFILE_WRITE_THROUGH; another program
// that opens the target in that moment makes the rename fail. A refusal for
// access or sharing (an indexer or a scanner holding either file) is tried
// again for about 2 seconds before REPLACE_IN_USE (a refusal of access that
// opening the target with the right to delete it meets too is no passing
// hold: REPLACE_DENIED at once), and so is a target that
// changed meanwhile, which another run held and wrote; REPLACE_NOT_DURABLE
// when the flush of the renamed file fails.
ReplaceResult platform_replace_file(const char* source_path, const char* target_path, PlatformFile* target_file);

// What an interrupt (POSIX: SIGINT, SIGTERM, SIGHUP; Windows: Ctrl+C,
// Ctrl+Break, closing the console, logging off, shutting down) undoes before
// it ends the process, while a change to a file is under way: `file` is cut
// back to `size` bytes (unless `file` is NO_FILE; POSIX: unless it has that
// length already), then the file at `remove_path` is removed (unless it is
// null; its path is copied). The process then ends as the interrupt would
// have ended it. Replaces any earlier setting.
void platform_interrupt_cleanup(PlatformFile file, uint64_t size, const char* remove_path);

// Opens the folder at `path` and holds it, for creating files below it by
// their paths relative to it. Returns 0 where the system cannot create a
// file relative to an open folder (Windows), or when the folder cannot be
// opened; the caller then creates by whole paths. Close it with
// platform_close.
int platform_open_folder_for_creating(const char* path, PlatformFile* folder);

// The routines below name a file by `path`, its whole path, and `folder`:
// when `folder` is not NO_FILE, it is the open folder (see
// platform_open_folder_for_creating) of path's first `relative_offset`
// bytes, and the system is handed the rest (path + relative_offset), which
// may run through sub-folders, relative to that folder. The file then lies
// where that relative path leads at the moment of the call, links to
// folders along it followed, below the folder held, whatever happened to
// its whole path meanwhile; one descriptor serves every file below it.

// Creates a new file as platform_create_new does and, once it is created,
// sets the interrupt cleanup to remove it (replacing any earlier setting),
// with no moment between the two at which an interrupt would leave it
// behind. Neither this nor platform_interrupt_cleanup makes a system call of
// its own, but for the first setting and the first after a hold, so both may
// be called for every file of a run. When nothing was created the cleanup
// is dropped.
CreateResult platform_create_new_removed_on_interrupt(const char* path, PlatformFile folder, size_t relative_offset,
                                                      PlatformFile* file);

// As platform_create_new_removed_on_interrupt, for a file that only its
// creator may open (platform_create_private): a temporary file, which an
// interrupt at any moment from its create on removes.
CreateResult platform_create_private_removed_on_interrupt(const char* path, PlatformFile folder,
                                                          size_t relative_offset, PlatformFile* file);

// Removes the file (not a folder) named by `path` and `folder` as above.
int platform_remove_file_below(const char* path, PlatformFile folder, size_t relative_offset);

// Renames the file named by `source_path` over the one named by
// `target_path`, both named below `folder` as above, in one step where the
// system has one (POSIX: renameat; Windows:
// MoveFileEx, replacing the target). The change is not made durable here.
int platform_rename_below(const char* source_path, const char* target_path, PlatformFile folder,
                          size_t relative_offset);

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

// Writes to `key` the form in which the system compares the `length` bytes
// at `piece`, one piece of a path, and returns its length (never more than
// `length`): the piece itself where letter case counts (POSIX); on Windows
// upper-cased, without the trailing dots and blanks the system drops.
size_t platform_name_key(const char* piece, size_t length, char* key);

// A folder open for reading its items; what it holds is the system's own.
struct PlatformFolder;

enum ItemKind {
    ITEM_FILE,    // a regular file, or a link to one
    ITEM_FOLDER,  // a folder, or a link to one
    ITEM_OTHER,   // a pipe, a device, a socket, a dangling link
    ITEM_UNNAMED  // Windows: an item whose name has no 8-bit form that leads back
                  // to it (a character outside the ANSI code page, a trailing dot
                  // or blank); `name` shows it, with "?" for each character the
                  // code page lacks, and must be neither opened nor entered
};

// One item of a folder. `name` lies in the folder's own memory and stays
// valid until the next read or the close.
struct FolderItem {
    const char* name;
    ItemKind kind;  // what the item is once links are followed
    int is_link;    // a symbolic link (Windows: a reparse point)
};

// Opens the folder at `path` (following a link there) for reading its items.
// OPEN_MISSING when nothing, or something other than a folder, stands there;
// OPEN_FAILED when it is a folder that cannot be read.
OpenResult platform_open_folder(const char* path, PlatformFolder** folder);

enum ReadItemResult { ITEM_READ, ITEM_END, ITEM_FAILED };

// Reads the folder's next item, in the system's order, passing over "." and
// "..". ITEM_FAILED when the listing cannot be read on, or an item's kind
// cannot be told.
ReadItemResult platform_read_folder(PlatformFolder* folder, FolderItem* item);


// Closes a folder opened by platform_open_folder.
void platform_close_folder(PlatformFolder* folder);
