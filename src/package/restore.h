// The restore operation: brings the loose folder in step with the package,
// the mirror of the changed-only group. Each selected entry's loose file
// ends up holding the entry's bytes: a missing one is created as expand
// creates it, one that differs is replaced in one step by a new file
// written beside it, and one that is equal is left alone. It never waits
// for a key.
#pragma once

// Restores below package_state.folder_path, from package_state.package_path,
// every entry, or with `name_count` names given, the entries that any of
// them matches (entry_match.h); of entries of the same name only the first
// counts. The loose file is found as group finds it (open_loose_file).
// Prints the path of each file created or replaced. Returns 1 when every
// selected entry's loose file holds its bytes and every name matched an
// entry; 0 otherwise, each problem with its message.
int restore_package(const char* const* names, int name_count);
