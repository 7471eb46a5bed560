// The output operation: writes the bytes of one entry, chosen by a name
// given on the command line (entry_match.h), to standard output, for a
// pipe or a diff. Standard output carries nothing else; every message goes
// to standard error.
#pragma once

// Opens package_state.package_path read-only and writes the bytes of the
// first entry that `given` matches to standard output, as they are. Returns
// 0 after "No entry matches" or "Several entries match" with `given` when
// no entry, or entries of more than one name, match it (nothing is
// written then), "Bad entry data" with the entry's name when its bytes pass
// the end of the package, "Can't read file" with the package's path when a
// read fails, or a message of open_package or read_directory_block.
int output_entry(const char* given);
