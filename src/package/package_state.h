// The one process-wide state record: the paths the command line resolved,
// the open package and where its tables lie. The dispatcher fills in the
// paths; the group and expand operations fill in and use the rest.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>

#include "../util/folders.h"
#include "../util/platform.h"
#include "loose_compare.h"
#include "loose_files.h"
#include "package_layout.h"

// What the first compared entry of a name found (loose_compare.h).
struct NameVerdict {
    int decided;
    CompareResult verdict;
};

struct PackageState {
    char package_path[PATH_LIMIT];  // absolute package path; set by the dispatcher
    char folder_path[PATH_LIMIT];   // absolute folder path ending in PATH_SEPARATOR; set by the dispatcher

    PlatformFile package_file;  // the open package: for update while grouping, read-only while expanding
    uint64_t package_size;      // the package's length when it was opened
    PackageHeader header;       // the header fields, checked against package_size

    DirectoryBlock directory;  // the directory block read into memory; group writes it back at the end
    PlatformMapping mapping;   // expand: the whole package mapped read-only, kept until exit

    const unsigned char* header_view;      // start of the directory block in memory
    const unsigned char* name_table_view;  // row 0 of the name table
    const unsigned char* data_table_view;  // row 0 of the data table
    const unsigned char* mapped_base;      // expand: the first byte of the mapping

    uint64_t append_offset;   // group: where the next loose file goes (after the gathered ones); only grows
    std::unique_ptr<unsigned char[]> append_block;  // group: small loose files read, not yet written (APPEND_BLOCK_SIZE)
    uint64_t append_block_size;                      // group: bytes gathered there, which end at append_offset
    int changed_only;         // group: set for update_package, which skips loose files equal to their entries
    uint32_t appended_count;  // group: loose files appended (or emptied) so far
    uint32_t skipped_count;   // group: entries passed over with a message; any fails the run once it is written
    // /U and list: the names that more than one entry has, each with what
    // its first compared entry found (loose_compare.h)
    int repeated_names_noted;
    std::unordered_map<std::string, NameVerdict> name_verdicts;

    std::unique_ptr<unsigned char[]> entry_block;  // expand, /U: ENTRY_BLOCK_LIMIT bytes, read for several entries at once
    uint64_t entry_block_start;               // where entry_block's bytes start in the package
    uint64_t entry_block_size;                // how many of them hold the package's bytes (0: none)
    uint64_t last_entry_end;                  // end of the entry read last (0 when none)
    int entry_blocks_short;                   // set once a block came back short: each entry is then read alone

    FolderWalk folder_walk;  // expand: folders this run has made or found

    LooseLookup loose_lookup;  // group and list: what the run has learnt of the loose folder
    // group, list, expand: the first entry whose loose file each file was, by
    // its identity (device, index), where names fold (loose_sharing.h)
    std::map<std::pair<uint64_t, uint64_t>, uint32_t> loose_owners;
    // expand, and the operations that create loose files: the loose folder,
    // held to create every file below it by its relative path; NO_FILE
    // before it is open, or where files are created by whole paths
    PlatformFile creating_folder;
};

extern PackageState package_state;

// Puts the record back to its start-of-run state (nothing open, no paths).
// It does not close or release anything.
void reset_package_state();

// Points the three table views at `start`, the first byte of a directory
// block whose header (package_state.header) has passed check_package_layout.
void locate_tables(const unsigned char* start);

// Opens package_state.package_path into package_file and package_size,
// locked for the rest of the run: shared for PACKAGE_READ, exclusive for
// PACKAGE_UPDATE and PACKAGE_REPLACE. Returns 0 after "Data file %s is in use" when another run
// holds the package, or after `failure_format` (one "%s", the package's
// path) when it cannot be opened.
int open_package(PackageAccess access, const char* failure_format);

// Closes the package, which releases its lock, and releases the directory
// block. Returns 0 when the system reported a failed write at the close.
int close_package();

// Takes the header from its 32 bytes into package_state.header and checks it
// against package_state.package_size. On a malformed package prints "Bad
// package file" with the package's path and returns 0.
int take_package_header(const unsigned char* header_bytes);

// Reads the header and the whole directory block of the open package
// (package_file, package_size) into package_state.directory, checks the
// layout and locates the tables in that copy. Returns 0 after a message
// naming the package: "Bad package file" when it is cut short or
// malformed, "Can't read file" when a read fails, "Out of memory for" when
// the block cannot be held. The caller releases the block, also on failure.
int read_directory_block();

// For the options that write the package, after read_directory_block: 0
// after "Bad package file" with the package's path when its data table
// overlaps the header's fields or a name (check_tables_apart).
int check_package_writable();

// Releases the directory block and clears the table views; a block already
// released is left as it is.
void release_directory_block();

// Entry bytes that read_entry_bytes gives: entries up to ENTRY_BLOCK_LIMIT
// bytes, read ENTRY_BLOCK_SIZE bytes at a time where they lie side by side.
// The fuzz build lowers both, so that its small inputs span several blocks.
#ifdef VANTREL_FUZZ_THRESHOLDS
constexpr uint64_t ENTRY_BLOCK_LIMIT = 256;
constexpr uint64_t ENTRY_BLOCK_SIZE = 1024;
#else
constexpr uint64_t ENTRY_BLOCK_LIMIT = 1 << 20;
constexpr uint64_t ENTRY_BLOCK_SIZE = 256 << 10;
#endif

// Points *bytes at the bytes of `entry` (at most ENTRY_BLOCK_LIMIT bytes,
// lying inside the package as it was opened), read from the open package;
// they stay valid until the next call. An entry that starts where the one
// read before it ends, or within a sector after (the gap alignment leaves),
// is taken from a block read for it and the bytes after it, so that a run
// of small neighbouring entries costs one read per block and not one per
// entry; any other entry is read alone. A block read that fails or comes
// back short (the package is shorter than when it was opened) is made again
// for this entry's bytes alone, and every later entry of the run is read
// alone. Returns 0 when the entry's own bytes cannot be read whole, or the
// buffer cannot be allocated.
int read_entry_bytes(DataEntry entry, const unsigned char** bytes);

// Drops the block read so far: after a pause (a key wait) the package may
// have changed, and its bytes are read again.
void forget_entry_bytes();
