#include "file_routines.h"

#include <new>

MappedFile* map_file(const char* path) {
    PlatformFile file;
    uint64_t size;
    if (platform_open_read(path, &file, &size) != OPEN_DONE) return nullptr;
    PlatformMapping mapping{nullptr, 0, 0};
    if (size > UINT32_MAX || (size > 0 && !platform_map(file, size, &mapping))) {
        platform_close(file);
        return nullptr;
    }
    MappedFile* record =
        new (std::nothrow) MappedFile{static_cast<uint32_t>(size), mapping.view, file + 1, mapping.mapping_handle};
    if (!record) {
        platform_unmap(&mapping);
        platform_close(file);
    }
    return record;
}

bool unmap_file(MappedFile* record) {
    if (!record) return false;
    PlatformMapping mapping{record->view, record->size, record->mapping_handle};
    platform_unmap(&mapping);
    if (record->file_handle != 0) platform_close(record->file_handle - 1);
    *record = MappedFile{0, nullptr, 0, 0};
    return true;
}

int32_t stream_length(FILE* stream) {
    uint64_t length;
    if (!stream || !platform_stream_length(stream, &length) || length > INT32_MAX) return -1;
    return static_cast<int32_t>(length);
}

uint32_t round_up_to_sector(uint32_t count) {
    uint32_t rest = count & (SECTOR_SIZE - 1);
    return rest == 0 ? count : count + (SECTOR_SIZE - rest);
}

int32_t pad_to_sector(FILE* stream) {
    // A position that cannot be told counts as -1, whose low bits ask for a
    // pad of one byte.
    uint64_t position;
    if (!platform_stream_position(stream, &position)) position = UINT64_MAX;
    uint32_t rest = static_cast<uint32_t>(position & (SECTOR_SIZE - 1));
    if (rest == 0) return 0;
    static const unsigned char zeros[SECTOR_SIZE] = {};
    uint32_t pad = SECTOR_SIZE - rest;
    fwrite(zeros, 1, pad, stream);
    return static_cast<int32_t>(pad);
}

void copy_stream_bytes(FILE* source, FILE* destination, uint32_t count) {
    unsigned char buffer[COPY_CHUNK];
    while (count > 0) {
        size_t step = count < COPY_CHUNK ? count : COPY_CHUNK;
        size_t got = fread(buffer, 1, step, source);
        fwrite(buffer, 1, got, destination);
        if (got < step) return;
        count -= static_cast<uint32_t>(step);
    }
}

int run_program(const char* program, const char* argument) {
    fflush(nullptr);
    return platform_run_program(program, argument);
}
