// The group operation: refreshes an existing package from a folder of loose
// files. Each entry whose loose file is found (or, for update_package, whose
// loose file differs from it) gets a fresh copy of it appended to the
// package, and its data row is pointed at that copy. The package only grows.
#pragma once

#include <cstdint>

// Groups package_state.folder_path into package_state.package_path.
// Returns 1 on success; 0 also after a run that passed over any entry with
// a message (a refused name, a path too long, an ambiguous loose file, one
// shared with another entry, the package itself), once the rest is grouped
// and written. Returns 0, after a one-line message naming the file,
// when the package cannot be opened for update, is in use or is malformed,
// or when an append fails; the package then keeps its old directory block
// and length, and when paths were printed before the failure, a last line
// "Data file ... left as it was" takes them back (or, after "Can't cut back
// data file", when the system refuses to shorten it, the bytes appended
// stay unreferenced after it). An
// interrupt before the directory block's write cuts the package back too;
// once that write has begun it runs to its end first.
int group_package();

// Groups like group_package, but a loose file that holds its entry's bytes
// already is neither appended nor printed. When no loose file differs, the
// package is not written at all. A folder that is not there (or is no
// folder) is refused first, with "Can't find folder" (check_loose_folder),
// and the package is not opened.
int update_package();

// Appends the loose file of `path`, the loose path of entry `index`, to the
// open package at append_offset and points the entry's data row (in the
// directory buffer) at the copy, printing the path the file was found at
// (which open_loose_file may have rewritten in `path`). A missing loose
// file, or one that is not a regular file (a folder, a pipe), is skipped in
// silence, and so is, for update_package, one that holds the bytes the row
// points at. An ambiguous one is skipped after "Ambiguous loose file", and
// one that is an earlier entry's under another name (loose_sharing.h) after
// "Bad entry name"; each is counted in skipped_count, which fails the
// operation once it has written the package. Returns 1 when the file was appended or skipped, 0 (after a
// message) when it cannot be read, or an I/O failure or the package's size
// limit ends the operation.
int append_loose_file(char* path, uint32_t index);
