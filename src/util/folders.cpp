#include "folders.h"

#include "platform.h"

int make_parent_folders(const char* path, FolderWalk* walk) {
    size_t drive_length = platform_drive_length(path);
    const char* directory_start = path + drive_length;
    const char* last_separator = nullptr;
    for (const char* c = platform_next_separator(directory_start); c; c = platform_next_separator(c + 1))
        last_separator = c;
    if (!last_separator) return 1;
    std::string drive(path, drive_length);
    std::string directory_part(directory_start, static_cast<size_t>(last_separator + 1 - directory_start));
    return make_folders_along(drive.c_str(), directory_part.c_str(), walk);
}

// Creates `folder` unless this run already made or found it.
static int make_folder_once(const std::string& folder, FolderWalk* walk) {
    if (walk && walk->known_folders.count(folder)) return 1;
    if (platform_make_folder(folder.c_str()) == FOLDER_FAILED) return 0;
    if (walk) walk->known_folders.insert(folder);
    return 1;
}

int make_folders_along(const char* drive, const char* directory_part, FolderWalk* walk) {
    if (directory_part[0] == '\0') return 1;
    if (directory_part[0] != PATH_SEPARATOR) return 0;
    std::string running = drive;
    std::string parent;  // where the walk stands when it creates a folder
    int all_made = 1;
    const char* scan = directory_part + 1;
    while (const char* separator = platform_next_separator(scan)) {
        std::string piece(scan, static_cast<size_t>(separator - scan));
        scan = separator + 1;
        if (piece.empty()) continue;
        parent = running + PATH_SEPARATOR;
        running = parent + piece;
        if (!make_folder_once(running, walk)) {
            all_made = 0;
            break;
        }
    }
    // The folders were made by absolute path; only the walk's end point is
    // visible, so step there once instead of into every folder on the way.
    if (!parent.empty() && !(walk && walk->working_folder == parent)) {
        platform_change_folder(parent.c_str());
        if (walk) walk->working_folder = parent;
    }
    return all_made;
}
