// Folder creation along a path: before a file is written at a path whose
// folders may not exist yet, make_parent_folders creates each missing one,
// outermost first, with default permissions.
#pragma once

#include <string>
#include <unordered_set>

// What a run of walks has learnt, so that later walks skip the system calls
// whose effect is already in place.
struct FolderWalk {
    std::unordered_set<std::string> known_folders;  // folders this run made or found
    std::string working_folder;                     // where the last walk left the working directory
};

// Creates every missing folder of the directory part of `path`, an absolute
// file path; the file name itself is not used. Afterwards the working
// directory is the parent of the file's own folder (the last folder the walk
// stepped into), as with a walk that enters each folder to create the next.
// Stops at the first folder that cannot be created (a plain file of that
// name, no right to write): deeper folders are then not made anywhere.
// `walk` may be null. Returns 1 when every folder is in place.
int make_parent_folders(const char* path, FolderWalk* walk);

// The walk itself: `drive` is the drive designator ("X:" or empty) and
// `directory_part` the folders between it and the file name, starting and
// ending with a separator. Empty pieces (doubled separators) are skipped.
// A directory part that does not start with a separator is refused (0).
// Pieces are split at the separators platform_next_separator finds, never
// inside a character.
int make_folders_along(const char* drive, const char* directory_part, FolderWalk* walk);
