// The compact operation: rewrites a package so that it holds only the bytes
// its directory block and its rows point at (see package_ranges.h for what
// is kept and where it goes), and puts the new file in the old one's place
// in one step. What it drops is only bytes outside the directory block that
// no row points at.
#pragma once

// Compacts package_state.package_path. Writes the new package beside the
// old one under a temporary name created exclusively, makes it durable,
// renames it over the old one and makes the rename durable; the old package
// stays whole until the rename, and a failure or an interrupt before it
// removes the temporary file. When compacting would not make the package
// shorter, nothing is written. Prints "PATH: N bytes reclaimed" and returns
// 1; returns 0 after a one-line message naming the file.
int compact_package();
