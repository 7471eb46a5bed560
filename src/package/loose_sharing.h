// Whether two entries share one loose file. Where the system leads names
// that differ to one file (Windows: "a.txt" and "A.TXT", "b.dat" and
// "b.dat.", a short 8.3 name), the second entry would take the first one's
// bytes (group) or find its file there already (expand). Shared by group,
// the listing and expand; two entries of the very same name are not
// sharing, they name one file on purpose.
#pragma once

#include <cstdint>

#include "../util/platform.h"

// 1 when `loose`, the open loose file of entry `index` (at `path`, formed
// from `folder`), is the loose file of an earlier entry of this run whose
// loose path differs; otherwise notes it as entry `index`'s and returns 0.
// A file whose identity cannot be told counts as nobody's. Where names do
// not fold (platform_names_fold) it returns 0 at once. Reads the name table
// through package_state.name_table_view.
int loose_file_shared(PlatformFile loose, uint32_t index, const char* folder, const char* path);
