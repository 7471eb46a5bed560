// The expand operation: writes every entry of a package out as a loose file
// below a folder, creating the folders its name calls for. It never
// overwrites: an entry whose file exists already is reported, a key press is
// awaited, and the file is left as it is.
#pragma once

#include "package_layout.h"

// Opens package_state.package_path read-only, reads its directory block
// into memory (package_state.directory), checks its layout and maps the
// whole file for the rest of the run. Returns 0 after "Can't open dir file"
// when it cannot be opened or mapped, "Bad package file" when it is empty or
// malformed, or another message of read_directory_block; nothing is then
// held but the open file.
int open_package_mapped();

// Writes every entry of the mapped package below `folder` (ending in a
// separator), in table order, and releases the directory block. Returns 1
// when every entry was written or already existed; 0 when any could not be
// (each has had its message). Stops at the first entry whose bytes cannot
// be read from the package.
int expand_package(const char* folder);

// Writes the bytes of `entry`, which lie inside the package, into `file`, a
// new and empty file, and closes it. COPY_READ_FAILED when the package's
// bytes could not be read or are no longer all there (a read that comes
// back short tells a package cut short); COPY_WRITE_FAILED when a write or
// the close failed. The caller removes a file that was not written whole.
CopyResult fill_entry_file(PlatformFile file, DataEntry entry);

enum ExtractResult {
    EXTRACT_DONE,           // the file was written, or was there already
    EXTRACT_FAILED,         // this entry could not be written; others may be
    EXTRACT_PACKAGE_FAILED  // the package's bytes could not be read, or are gone
};

// Writes one entry to `path`, which must not exist yet. A file already
// there is reported ("alredy exists"), a key is awaited and the file is left
// as it is; this comes before the check of the row, and a row whose bytes
// pass the end of the package creates nothing ("Bad entry data"). An entry
// of size 0 gives an empty file whatever its offset. A file that could not
// be written whole is removed, after "Can't write file" naming it, or "Can't
// read file" naming the package when the package's side failed. Where the
// system leads names that differ to one file, a file at `path` that is the
// loose file of an earlier entry (of index below `index`, its path formed
// from `loose_folder`) under another name is not this entry's: "Bad entry name",
// and nothing is written (loose_sharing.h).
ExtractResult extract_entry(const char* path, uint32_t index, const char* loose_folder, DataEntry entry);
