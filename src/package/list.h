// The list operation: shows what a package holds, and, given a folder,
// what a changed-only group would do with each entry. It never writes.
#pragma once

// Lists package_state.package_path: one line per entry in table order,
// "%10u %10u %s" with the row's offset and size and the name as stored,
// then "N entries, B bytes, U unreferenced" (B the package's length, U the
// bytes outside the directory block that no row points at).
//
// When `folder` (ending in a separator) is not null, each line starts with
// a mark and a blank: '=' the loose file holds the entry's bytes; 'M' it
// differs, or the row points past the end of the package; '-' there is no
// loose file; '!' the entry cannot be handled (its name is refused, its
// path is too long, its loose file cannot be read or is an earlier entry's
// under another name). The summary then ends
// with ", C changed", the count of 'M' marks.
//
// Returns 1 when listed; 0 when the package cannot be opened, is in use by
// a writer or is malformed (after the message expand gives), or when an
// entry is marked '!'.
int list_package(const char* folder);
