// Temporary files beside another file: the new version of a file is written
// under a temporary name in its folder, then renamed over it, so that its
// path names the old file or the new one whole at every moment.
#pragma once

#include <cstddef>

#include "platform.h"

// Room for a temporary path: a path of up to PATH_LIMIT bytes whose name is
// replaced by a temporary name.
constexpr size_t TEMPORARY_PATH_BUFFER = PATH_LIMIT + 16;

// Creates a new file in the folder of `beside_path`, under a name that no
// file has there (a dot, eight hexadecimal digits, ".vtmp"), and writes its
// path into `temporary_path` (TEMPORARY_PATH_BUFFER bytes). `folder` and
// `relative_offset` name the file below an open folder, as the platform's
// *_below routines take them (NO_FILE: by whole paths). The file is created
// exclusively, so nothing that stands there is touched, only its creator
// may open it, and from its create on an interrupt removes it
// (platform_create_private_removed_on_interrupt). CREATE_EXISTS when every
// name tried was taken.
CreateResult create_temporary_beside(const char* beside_path, PlatformFile folder, size_t relative_offset,
                                     char* temporary_path, PlatformFile* file);
