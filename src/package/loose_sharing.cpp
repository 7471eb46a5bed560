#include "loose_sharing.h"

#include <cstring>

#include "package_state.h"

int loose_file_shared(PlatformFile loose, uint32_t index, const char* folder, const char* path) {
    PackageState& state = package_state;
    FileIdentity identity;
    if (!platform_names_fold() || !platform_file_identity(loose, &identity)) return 0;
    // One entry index per file, not a path: memory grows by a few words per
    // entry, like the directory block itself.
    auto noted = state.loose_owners.emplace(std::make_pair(identity.device, identity.index), index);
    if (noted.second) return 0;
    const uint32_t owner = noted.first->second;
    if (owner == index) return 0;
    NameEntry owner_name;
    read_entry_name(state.name_table_view, owner, &owner_name);
    char owner_path[LOOSE_PATH_BUFFER];
    make_loose_path(folder, &owner_name, owner_path);
    // A volume that gives a closed file's id to the next file opened (some
    // network shares) makes a distinct file look like the earlier one: the
    // match stands only with both open at once.
    return strcmp(owner_path, path) != 0 && platform_same_file(loose, owner_path);
}
