// The compact operation: rewrites a package so that it holds only the bytes
// its directory block and its rows point at (see package_ranges.h for what
// is kept and where it goes), and puts the new file in the old one's place
// in one step. What it drops is only bytes outside the directory block that
// no row points at.
#pragma once

// Compacts package_state.package_path. Writes the new package beside the
// old one (beside the file a link names, when the path is a link; the link
// stays as it is) under a short temporary name created exclusively,
// readable by this process alone until it has the old one's owner and
// permissions; makes it durable, renames it over the old one and makes the
// rename durable. The old package stays whole until the rename, and a
// failure or an interrupt before it removes the temporary file. When
// compacting would not make the package shorter, nothing is written.
// Prints "PATH: N bytes reclaimed" and returns 1; returns 0 after a
// one-line message naming the file: "Bad package file" when the tables
// overlap or a package without entries has bytes past its directory block
// (nothing is written), and "Can't sync folder of" when only making the
// rename durable failed: the package is then the compacted one, but may
// not outlive a power loss.
int compact_package();
