#include "loose_files.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "../util/console.h"
#include "../util/temporary_files.h"
#include "listed_names.h"
#include "loose_sharing.h"
#include "package_state.h"

static char lower_ascii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

static std::string lowered(std::string text) {
    for (char& c : text) c = lower_ascii(c);
    return text;
}

int check_loose_folder() {
    if (platform_path_kind(package_state.folder_path) != PATH_FOLDER)
        return report("Can't find folder %s\n", package_state.folder_path);
    return 1;
}

// The loose folder held for creating files below it, opened on first use.
static PlatformFile creating_folder() {
    PackageState& state = package_state;
    if (state.creating_folder == NO_FILE && !platform_open_folder_for_creating(state.folder_path, &state.creating_folder))
        state.creating_folder = NO_FILE;
    return state.creating_folder;
}

static size_t folder_length() {
    return strlen(package_state.folder_path);
}

CreateResult create_loose_file(const char* path, PlatformFile* file) {
    return platform_create_new_removed_on_interrupt(path, creating_folder(), folder_length(), file);
}

CreateResult create_loose_temporary(const char* path, char* temporary_path, PlatformFile* file) {
    return create_temporary_beside(path, creating_folder(), folder_length(), temporary_path, file);
}

int remove_loose_file(const char* path) {
    return platform_remove_file_below(path, creating_folder(), folder_length());
}

int rename_loose_file(const char* source_path, const char* target_path) {
    return platform_rename_below(source_path, target_path, creating_folder(), folder_length());
}

void release_creating_folder() {
    PackageState& state = package_state;
    if (state.creating_folder != NO_FILE) platform_close(state.creating_folder);
    state.creating_folder = NO_FILE;
}

// Where a piece of a path lies, as offsets into it.
struct PathPiece {
    size_t start;
    size_t length;
};

// The pieces of `relative` between separators; empty pieces and "." lead
// nowhere of their own, so they are passed over, as the system does.
static std::vector<PathPiece> split_pieces(const char* relative) {
    std::vector<PathPiece> pieces;
    const char* at = relative;
    while (*at != '\0') {
        const char* separator = platform_next_separator(at);
        const char* end = separator ? separator : at + strlen(at);
        const size_t length = static_cast<size_t>(end - at);
        if (length > 0 && !(length == 1 && *at == '.'))
            pieces.push_back(PathPiece{static_cast<size_t>(at - relative), length});
        at = separator ? separator + 1 : end;
    }
    return pieces;
}

// Whether `relative` ends in a separator or in ".": it then names a folder,
// which the system never opens as a file, whatever its letter case.
static int names_a_folder(const char* relative) {
    const char* last = relative;
    for (const char* separator = platform_next_separator(relative); separator;
         separator = platform_next_separator(separator + 1))
        last = separator + 1;
    return *last == '\0' || strcmp(last, ".") == 0;
}

// What a path below the folder is known by: its pieces in the form the
// system compares names in, joined by '/', with A-Z lowered when `lower`
// is set. Two paths with equal keys lead to the same file.
static std::string path_key(const char* relative, int lower) {
    std::string key, piece_key;
    for (const PathPiece& piece : split_pieces(relative)) {
        if (!key.empty()) key += '/';
        piece_key.resize(piece.length);
        key.append(piece_key.data(), platform_name_key(relative + piece.start, piece.length, &piece_key[0]));
    }
    return lower ? lowered(std::move(key)) : key;
}

// The part of a loose path below the folder.
static const char* below_folder(const char* path) {
    return path + strlen(package_state.folder_path);
}

// The items of a folder below the loose folder, listed on first use only;
// null when it has not been listed and `may_list` is clear.
static const FolderNames* folder_names(const std::string& real_folder, int may_list) {
    LooseLookup& lookup = package_state.loose_lookup;
    auto known = lookup.folders.find(real_folder);
    if (known != lookup.folders.end()) return &known->second;
    if (!may_list) return nullptr;
    FolderNames& names = lookup.folders[real_folder];
    PlatformFolder* folder;
    std::string path = package_state.folder_path + real_folder;
    const OpenResult opened = platform_open_folder(path.c_str(), &folder);
    // No folder there holds nothing; one that cannot be read may hold anything.
    names.readable = opened == OPEN_MISSING;
    if (opened != OPEN_DONE) return &names;
    FolderItem item;
    ReadItemResult read;
    while ((read = platform_read_folder(folder, &item)) == ITEM_READ)
        names.by_folded_name[lowered(item.name)].push_back(CaseName{item.name, item.kind, item.is_link});
    platform_close_folder(folder);
    // A listing cut short could hide the one variant that makes a name
    // ambiguous, or the file itself: a folder not read whole is unreadable.
    names.readable = read == ITEM_END;
    if (!names.readable) names.by_folded_name.clear();
    return &names;
}

// What the folders' listings show for a path.
enum CaseFound {
    CASE_EXACT,      // the path as it is written
    CASE_VARIANT,    // one path that differs from it in letter case only
    CASE_NONE,       // nothing
    CASE_AMBIGUOUS,  // more than one variant of some piece, and not the piece itself
    CASE_UNLISTED,   // a folder on the way has not been listed yet
    CASE_UNREADABLE  // a folder on the way could not be listed
};

// Looks for `path` piece by piece in the listings of its folders, regardless
// of the case of A-Z, and writes the path found into `real` (as far as it
// was found, when a folder could not be listed). Folders not listed yet are
// listed when `may_list` is set.
static CaseFound find_in_listings(const char* path, char* real, int may_list) {
    strcpy(real, path);
    const size_t folder_length = strlen(package_state.folder_path);
    const std::vector<PathPiece> pieces = split_pieces(path + folder_length);
    if (pieces.empty() || names_a_folder(path + folder_length)) return CASE_NONE;
    std::string real_folder;
    for (size_t i = 0; i < pieces.size(); i++) {
        const ItemKind wanted_kind = i + 1 == pieces.size() ? ITEM_FILE : ITEM_FOLDER;
        const std::string wanted(path + folder_length + pieces[i].start, pieces[i].length);
        const FolderNames* names = folder_names(real_folder, may_list);
        // A folder that could not be read may hold the file: the lookup
        // cannot say that nothing is there.
        if (!names || !names->readable) return may_list ? CASE_UNREADABLE : CASE_UNLISTED;
        auto variants = names->by_folded_name.find(lowered(wanted));
        if (variants == names->by_folded_name.end()) return CASE_NONE;
        // A piece present as it is written wins over its variants, as the
        // whole exact path does.
        const CaseName* exact = nullptr;
        const CaseName* variant = nullptr;
        int variant_count = 0;
        for (const CaseName& candidate : variants->second) {
            if (candidate.kind != wanted_kind) continue;
            if (candidate.name == wanted) {
                exact = &candidate;
            } else {
                variant = &candidate;
                variant_count++;
            }
        }
        if (!exact && variant_count > 1) return CASE_AMBIGUOUS;
        const CaseName* match = exact ? exact : variant;
        if (!match) return CASE_NONE;
        memcpy(real + folder_length + pieces[i].start, match->name.data(), pieces[i].length);
        real_folder += match->name;
        real_folder += PATH_SEPARATOR;
    }
    return strcmp(real, path) == 0 ? CASE_EXACT : CASE_VARIANT;
}

// Gathers every entry's name, once per run.
static void count_claims() {
    PackageState& state = package_state;
    LooseLookup& lookup = state.loose_lookup;
    if (lookup.claims_counted) return;
    lookup.claims_counted = 1;
    std::unordered_set<std::string> seen_exact;
    for (uint32_t i = 0; i < state.header.entry_count; i++) {
        NameEntry name;
        read_entry_name(state.name_table_view, i, &name);
        char path[LOOSE_PATH_BUFFER];
        if (make_loose_path(state.folder_path, &name, path) != LOOSE_PATH_OK || names_a_folder(below_folder(path)))
            continue;
        std::string exact = path_key(below_folder(path), 0);
        lookup.exact_keys.insert(exact);
        // Entries of the same name share their file, as they always have;
        // only entries whose names differ compete for one.
        if (seen_exact.insert(exact).second) lookup.names_by_lowered_key[lowered(exact)].push_back(path);
    }
}

// Whether the file that `path` was found at under other letter case, `real`,
// is its entry's: not when another entry names that file exactly, nor when
// the lookup of another entry's name reaches it as well. Only names that
// lower to the same key can reach one file.
static LooseResult check_claims(const char* path, const char* real) {
    count_claims();
    const LooseLookup& lookup = package_state.loose_lookup;
    const std::string real_key = path_key(below_folder(real), 0);
    if (lookup.exact_keys.count(real_key)) return LOOSE_MISSING;
    const std::string own_key = path_key(below_folder(path), 0);
    auto names = lookup.names_by_lowered_key.find(lowered(own_key));
    if (names == lookup.names_by_lowered_key.end()) return LOOSE_FOUND;
    for (const std::string& other : names->second) {
        if (path_key(below_folder(other.c_str()), 0) == own_key) continue;
        char other_real[LOOSE_PATH_BUFFER];
        if (find_in_listings(other.c_str(), other_real, 1) == CASE_VARIANT &&
            path_key(below_folder(other_real), 0) == real_key)
            return LOOSE_AMBIGUOUS;
    }
    return LOOSE_FOUND;
}

static LooseResult find_loose_file(char* path, PlatformFile* file, uint64_t* size) {
    // Where the folders on the way are listed already, their listings tell
    // at once whether anything is there: most entries of a sparse folder
    // then cost no call at all. Until one is listed, the exact open decides.
    char real[LOOSE_PATH_BUFFER];
    const int look_up = !platform_folder_folds_case(package_state.folder_path);
    CaseFound seen = look_up && !package_state.loose_lookup.folders.empty() ? find_in_listings(path, real, 0)
                                                                            : CASE_UNLISTED;
    if (seen == CASE_EXACT || seen == CASE_UNLISTED) {
        OpenResult opened = platform_open_read(path, file, size);
        if (opened == OPEN_DONE) return LOOSE_FOUND;
        if (opened != OPEN_MISSING) return LOOSE_UNREADABLE;
        if (!look_up) return LOOSE_MISSING;
        seen = find_in_listings(path, real, 1);
    }
    if (seen == CASE_AMBIGUOUS) return LOOSE_AMBIGUOUS;
    if (seen == CASE_UNREADABLE) {
        strcpy(path, real);
        return LOOSE_UNREADABLE;
    }
    // The listing shows the exact file the open did not find: it has just
    // been removed, or is not a regular file after all.
    if (seen != CASE_VARIANT) return LOOSE_MISSING;
    LooseResult claimed = check_claims(path, real);
    if (claimed != LOOSE_FOUND) return claimed;
    OpenResult opened = platform_open_read(real, file, size);
    if (opened == OPEN_MISSING) return LOOSE_MISSING;
    strcpy(path, real);
    return opened == OPEN_DONE ? LOOSE_FOUND : LOOSE_UNREADABLE;
}

// Whether the open loose file, `size` bytes long, is the open package. The
// package only grows during a run, so a shorter file is not it and costs no
// look at its identity.
static int is_the_package(PlatformFile file, uint64_t size) {
    const PackageState& state = package_state;
    if (size < state.package_size) return 0;
    FileIdentity loose, package;
    return platform_file_identity(file, &loose) && platform_file_identity(state.package_file, &package) &&
           loose.device == package.device && loose.index == package.index;
}

LooseResult open_loose_file(char* path, uint32_t index, PlatformFile* file, uint64_t* size) {
    LooseResult found = find_loose_file(path, file, size);
    if (found == LOOSE_FOUND && is_the_package(*file, *size)) {
        platform_close(*file);
        return LOOSE_PACKAGE;
    }
    if (found == LOOSE_FOUND && loose_file_shared(*file, index, package_state.folder_path, path)) {
        platform_close(*file);
        return LOOSE_SHARED;
    }
    return found;
}

void take_loose_file(const char* path) {
    package_state.loose_lookup.taken_keys.insert(path_key(below_folder(path), 0));
}

// A line of the untracked listing: the name it is sorted by (the path below
// the folder as an entry would name it), its mark, and the name it shows.
struct UntrackedLine {
    std::string name;
    char mark;
    std::string shown;
};

// The line for `relative`, a path below the folder (a folder's ends in a
// separator).
static UntrackedLine untracked_line(std::string relative, char mark) {
    if (!relative.empty() && relative.back() == PATH_SEPARATOR) relative.pop_back();
    std::string name = relative;
    std::replace(name.begin(), name.end(), PATH_SEPARATOR, '\\');
    return UntrackedLine{name, mark, listed_folder_path(relative)};
}

// The package, when the system can tell its identity: it may lie in the
// folder, under any name that leads to it.
struct PackageIdentity {
    int known;
    FileIdentity identity;
};

// Sorts one item of the folder `relative` into a folder still to visit or a
// line of the listing.
static void walk_item(const std::string& relative, const char* name, ItemKind kind, int is_link,
                      const PackageIdentity& package, std::vector<std::string>* pending,
                      std::vector<UntrackedLine>* lines) {
    const PackageState& state = package_state;
    std::string item_path = relative + name;
    // A name that no path leads back to is shown, never opened or entered.
    if (kind == ITEM_UNNAMED) {
        lines->push_back(untracked_line(item_path, '!'));
        return;
    }
    // A link to a folder may lead above the folder, or round in a circle.
    if (kind == ITEM_FOLDER && !is_link) pending->push_back(item_path + PATH_SEPARATOR);
    if (kind != ITEM_FILE) return;
    if (state.loose_lookup.taken_keys.count(path_key(item_path.c_str(), 0))) return;
    FileIdentity identity;
    if (package.known && platform_path_identity((state.folder_path + item_path).c_str(), &identity) &&
        identity.device == package.identity.device && identity.index == package.identity.index)
        return;
    lines->push_back(untracked_line(item_path, '?'));
}

// Adds to `lines` the untracked files of the folder `relative` (below the
// loose folder, ending in a separator, or empty) and to `pending` its
// sub-folders. 0 when the folder could not be read whole.
static int list_folder(const std::string& relative, const PackageIdentity& package,
                       std::vector<std::string>* pending, std::vector<UntrackedLine>* lines) {
    PackageState& state = package_state;
    // A folder that a lookup has listed already is not read again; the walk
    // passes each folder once, so its names are dropped afterwards.
    auto listed = state.loose_lookup.folders.find(relative);
    if (listed != state.loose_lookup.folders.end() && listed->second.readable) {
        for (const auto& variants : listed->second.by_folded_name)
            for (const CaseName& item : variants.second)
                walk_item(relative, item.name.c_str(), item.kind, item.is_link, package, pending, lines);
        state.loose_lookup.folders.erase(listed);
        return 1;
    }
    PlatformFolder* folder;
    OpenResult opened = platform_open_folder((state.folder_path + relative).c_str(), &folder);
    // No folder at all lists nothing; a sub-folder removed meanwhile neither.
    if (opened == OPEN_MISSING) return 1;
    if (opened != OPEN_DONE) return 0;
    FolderItem item;
    ReadItemResult read;
    while ((read = platform_read_folder(folder, &item)) == ITEM_READ)
        walk_item(relative, item.name, item.kind, item.is_link, package, pending, lines);
    platform_close_folder(folder);
    return read == ITEM_END;
}

int list_untracked_files() {
    // Depth first, one folder open at a time: what waits is the names of
    // folders still to visit, and of those that lookups listed.
    std::vector<std::string> pending{""};
    std::vector<UntrackedLine> lines;
    PackageIdentity package;
    package.known = platform_file_identity(package_state.package_file, &package.identity);
    int all_read = 1;
    while (!pending.empty()) {
        std::string relative = std::move(pending.back());
        pending.pop_back();
        if (list_folder(relative, package, &pending, &lines)) continue;
        all_read = 0;
        lines.push_back(relative.empty() ? UntrackedLine{".", '!', "."} : untracked_line(relative, '!'));
    }
    std::sort(lines.begin(), lines.end(),
              [](const UntrackedLine& a, const UntrackedLine& b) { return a.name < b.name; });
    // The blank columns hold an entry line's offset and size, so that the
    // names line up.
    for (const UntrackedLine& line : lines) {
        if (line.mark == '?')
            print_line("? %10s %10s %s\n", "", "", line.shown.c_str());
        else
            print_line("! %10s %10s %s\n", "", "", line.shown.c_str());
        if (line.mark == '!') all_read = 0;
    }
    return all_read;
}
