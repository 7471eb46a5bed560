// The loose folder as the package operations see it: finding an entry's
// loose file, also where the folder's names differ from the entry's only in
// the letter case of ASCII letters (packages come from a system where case
// never mattered), and listing the files that no entry names.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "../util/platform.h"

// An item of a listed folder that a lookup may take.
struct CaseName {
    std::string name;  // as the folder holds it
    ItemKind kind;
    int is_link;
};

// One folder's items, read once and grouped by their names with ASCII
// letters lowered, so that a lookup finds every variant of a name at once.
struct FolderNames {
    int readable;  // 0 when the listing failed: the folder may hold anything; 1 also for no folder at all
    std::unordered_map<std::string, std::vector<CaseName>> by_folded_name;
};

// What a run has learnt of the loose folder. Every map is filled only when
// an entry's exact path is missing, so a run whose files are all in place
// lists nothing.
struct LooseLookup {
    // Folders listed so far, by their path below the loose folder as it
    // really is, each piece followed by PATH_SEPARATOR ("" for the folder).
    std::unordered_map<std::string, FolderNames> folders;
    // The entries' names, gathered once, at the first loose file that a
    // lookup found under other letter case: keys of the entries' exact
    // paths, and for each key with A-Z lowered the loose paths of the
    // entries whose names lower to it, one per name, which may reach the
    // same file by their lookups.
    int claims_counted;
    std::unordered_set<std::string> exact_keys;
    std::unordered_map<std::string, std::vector<std::string>> names_by_lowered_key;
    // For the listing: keys of the loose files that entries took.
    std::unordered_set<std::string> taken_keys;
};

enum LooseResult {
    LOOSE_FOUND,       // open, with its size
    LOOSE_MISSING,     // no file (a folder, a pipe, nothing), or one that another entry names exactly
    LOOSE_UNREADABLE,  // a file that cannot be opened, or a folder on the way whose listing cannot be read
    LOOSE_AMBIGUOUS,   // more than one file differs from the path only in letter case, or more entries reach one
    LOOSE_SHARED,      // an earlier entry's loose file under another name the system folds to it (loose_sharing.h)
    LOOSE_PACKAGE      // the package itself, under whatever name leads to it
};

// 1 when package_state.folder_path names a folder (or a link to one);
// otherwise 0 after "Can't find folder" naming it. For the operations that
// compare the folder with the package, where a mistyped folder would look
// like one in which nothing changed.
int check_loose_folder();

// Creates the loose file at `path` (below package_state.folder_path)
// exclusively, as platform_create_new does, by its path relative to the
// loose folder, which is opened at the first call that finds it and held
// until release_creating_folder: the run needs one descriptor however many
// folders its files lie in, and each file lies where its path leads at the
// moment of its create, links to folders followed. Where the system cannot
// create relative to a folder, or the folder cannot be opened yet, the
// whole path is used. From the create on, an interrupt removes the file
// (platform_create_new_removed_on_interrupt); drop that with
// platform_interrupt_cleanup once the file is whole.
CreateResult create_loose_file(const char* path, PlatformFile* file);

// Creates a temporary file in the folder of the loose file at `path`, as
// create_temporary_beside does (temporary_files.h), below the loose folder
// held as create_loose_file holds it; its path goes to `temporary_path`
// (TEMPORARY_PATH_BUFFER bytes).
CreateResult create_loose_temporary(const char* path, char* temporary_path, PlatformFile* file);

// Removes the file at `path` below the loose folder, as create_loose_file
// reaches it.
int remove_loose_file(const char* path);

// Renames the file at `source_path` over the one at `target_path`, both
// below the loose folder, reached as create_loose_file reaches them.
int rename_loose_file(const char* source_path, const char* target_path);

// Closes the loose folder that create_loose_file holds, if it is open.
void release_creating_folder();

// Opens the loose file of `path`, an entry's loose path below
// package_state.folder_path (LOOSE_PATH_BUFFER bytes). The exact path wins
// whenever it names a file. Where names tell letter case apart and it does
// not, each piece below the folder is looked for among the folder's names
// regardless of the case of A-Z: exactly one match per piece is the loose
// file, and `path` is rewritten to name it as it really is (its length does
// not change); none is LOOSE_MISSING, more than one LOOSE_AMBIGUOUS. Such a
// match is not taken when another entry names it exactly (it is that
// entry's), and is ambiguous when the lookup of another entry's name
// reaches the same file; names that reach different files, each by the
// pieces written as they stand, do not conflict. A folder on the way whose
// listing cannot be read is LOOSE_UNREADABLE, with `path` naming it as far
// as it was found. Each folder is listed at most once per run. A file that
// is the loose file of an entry before `index` under another name is
// LOOSE_SHARED, and the package itself (told by its identity) is
// LOOSE_PACKAGE; either is closed.
LooseResult open_loose_file(char* path, uint32_t index, PlatformFile* file, uint64_t* size);

// Records `path`, the loose file an entry was found at (as open_loose_file
// left it), so that list_untracked_files passes over it.
void take_loose_file(const char* path);

// Prints, in byte order of their names, a line "? ... name" for each
// regular file (or link to one) below package_state.folder_path that no
// taken path names and that is not the package itself, and a line
// "! ... name" for each sub-folder that cannot be read ("." for the folder
// itself) and each item whose name leads back to no file (ITEM_UNNAMED).
// Names run from the folder, with backslashes between pieces. A link to a
// folder is not followed. Memory grows with the names printed
// and the folders still to visit, not with the files passed over. Returns
// 0 when a '!' line was printed.
int list_untracked_files();

