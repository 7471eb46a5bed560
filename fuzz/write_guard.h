// Where a fuzz run may write. The fuzz build routes the platform layer's
// system calls through write_guard.cpp, which ends the process with a report
// when a call creates, opens for writing, removes or makes something
// anywhere else: a write that escapes the run's folder is seen at any depth,
// through links in the folders along its path too. Until the first call of
// write_guard_allow every write is allowed.
#pragma once

#include <string>

// From now on, writes are allowed inside `folder` (the folder itself and
// everything below it; none when empty) and to the file `file` and a
// compaction's temporary files beside it, named ".XXXXXXXX.vtmp" (none
// when empty). Both are absolute paths without links.
void write_guard_allow(const std::string& folder, const std::string& file);
