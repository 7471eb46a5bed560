// The expand operation: writes every entry of a package out as a loose file
// below a folder, creating the folders its name calls for. It never
// overwrites: an entry whose file exists already is reported, a key press is
// awaited, and the file is left as it is.
#pragma once

#include "package_layout.h"

// Opens package_state.package_path read-only, maps it whole for the rest of
// the run and checks its layout. Returns 0 after "Can't open dir file" when
// it cannot be opened or mapped, or "Bad package file" when it is empty or
// malformed.
int open_package_mapped();

// Writes every entry of the mapped package below `folder` (ending in a
// separator), in table order. Returns 1 when every entry was written or
// already existed; 0 when any could not be (each has had its message).
int expand_package(const char* folder);

// Writes one entry to `path`, which must not exist yet. Returns 1 when the
// file was written or already existed, 0 (after a message) when it could not
// be written; a partly written file is removed.
int extract_entry(const char* path, DataEntry entry);
