// The list operation: shows what a package holds, and, given a folder,
// what a changed-only group would do with each entry. It never writes.
#pragma once

// Lists package_state.package_path: one line per entry in table order,
// "%10u %10u %s" with the row's offset and size and the name as stored,
// then "N entries, B bytes, U unreferenced" (B the package's length, U the
// bytes that compact_package would take off it, from the same plan: the
// bytes outside the directory block that no row points at, less the
// padding that keeps alignment).
//
// When `folder` (ending in a separator) is not null, each line starts with
// a mark and a blank: '=' the loose file holds the entry's bytes; 'M' it
// differs, or the row points past the end of the package; '-' there is no
// loose file; '!' the entry cannot be handled (its name is refused, its
// path is too long, its loose file cannot be read or is an earlier entry's
// under another name). The summary then ends with ", C changed", the count
// of 'M' marks. An entry's loose file is looked for as the group operation
// does (open_loose_file): '!' also marks one whose loose file is
// ambiguous. Between the entry lines and the summary come the lines of
// list_untracked_files: "?" for each file that no entry names, "!" for a
// sub-folder that cannot be read.
//
// A folder that is not there (or is no folder) is refused first, with
// "Can't find folder" (check_loose_folder), and nothing is listed.
//
// Returns 1 when listed; 0 when the package cannot be opened, is in use by
// a writer or is malformed (after the message expand gives), or when an
// entry or a sub-folder is marked '!'.
int list_package(const char* folder);
