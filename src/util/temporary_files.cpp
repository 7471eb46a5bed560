#include "temporary_files.h"

#include <chrono>
#include <cstdint>
#include <cstdio>

static const int TEMPORARY_NAME_TRIES = 64;

CreateResult create_temporary_beside(const char* beside_path, PlatformFile folder, size_t relative_offset,
                                     char* temporary_path, PlatformFile* file) {
    const char* name = beside_path;
    for (const char* c = beside_path; *c; c = platform_next_character(c))
        if (platform_is_separator(*c)) name = c + 1;
    const int folder_length = static_cast<int>(name - beside_path);
    uint64_t seed = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    CreateResult created = CREATE_FAILED;
    for (int attempt = 0; attempt < TEMPORARY_NAME_TRIES; attempt++) {
        seed = seed * 6364136223846793005u + 1442695040888963407u;
        snprintf(temporary_path, TEMPORARY_PATH_BUFFER, "%.*s.%08x.vtmp", folder_length, beside_path,
                 static_cast<unsigned>(seed >> 32));
        created = platform_create_private_removed_on_interrupt(temporary_path, folder, relative_offset, file);
        if (created != CREATE_EXISTS) break;
    }
    return created;
}
