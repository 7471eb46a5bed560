// File and stream routines that stand beside the package operations (none of
// them calls these): a read-only mapped-file record, 2048-byte alignment of
// sizes and streams, a bounded-buffer stream copy, the length of an open
// stream, and running another program to completion. Streams are C `FILE*`
// streams that the caller opened and still owns; no routine here closes one.
#pragma once

#include <cstdint>
#include <cstdio>

#include "platform.h"

// Sizes and stream positions are aligned to this many bytes.
constexpr uint32_t SECTOR_SIZE = 2048;
// copy_stream_bytes moves at most this many bytes per read and write.
constexpr uint32_t COPY_CHUNK = 65536;

// One file mapped whole and read-only. Made by map_file; emptied by
// unmap_file. A record with every field zero holds nothing.
struct MappedFile {
    uint32_t size;              // the file's size in bytes
    const unsigned char* view;  // first of `size` read-only bytes; null for an empty file
    intptr_t file_handle;       // the open file as its PlatformFile plus one; 0: no file
    intptr_t mapping_handle;    // the mapping object where the system has one (Windows); 0 on POSIX
};
// Why "plus one": unmap_file clears every field to zero, and a second call
// must release nothing. On POSIX a descriptor of 0 is a real one (standard
// input), so a zeroed field cannot hold the file itself; stored plus one, 0
// means "no file" on every platform (-1, no file, is never stored).

// Opens the regular file at `path` read-only (other readers may share it)
// and maps all of it. Returns a new record that the caller owns: empty it
// with unmap_file, then release it with `delete`. Returns null, having left
// nothing open, when the file is missing, is not a regular file, cannot be
// opened or mapped, is 4 GiB or larger (its size would not fit in `size`),
// or the record cannot be allocated. An empty file gives a record with
// `size` 0, a null `view` and the file open (no view of 0 bytes can be made).
MappedFile* map_file(const char* path);

// Unmaps the view, closes the mapping object and the file of `record`, and
// sets all four fields to zero; the record itself is not released. A record
// already emptied releases nothing. Returns true when a record was given,
// false for null.
bool unmap_file(MappedFile* record);

// The length in bytes of the file open under `stream`, measured on the file
// itself (its descriptor is seeked to the end and put back): bytes written
// through the stream but still in its buffer are not counted. The stream's
// position is unchanged. -1 when `stream` is null, has no file descriptor
// (a memory stream), cannot be positioned (a pipe), or the length passes
// 2^31 - 1 (stream positions are signed 32-bit).
int32_t stream_length(FILE* stream);

// `count` rounded up to a multiple of SECTOR_SIZE, in unsigned 32-bit
// arithmetic: a count within 2047 of 2^32 that is not a multiple wraps to 0.
uint32_t round_up_to_sector(uint32_t count);

// Writes zero bytes to `stream` (open for writing) until its position is a
// multiple of SECTOR_SIZE, and returns how many it meant to write (0 to
// 2047); the write's own result is not examined. The position is taken in
// 64 bits, past 2 GiB and 4 GiB too, and only its low 11 bits count; when it
// cannot be told (a pipe) the pad is 1 and one zero byte is written.
int32_t pad_to_sector(FILE* stream);

// Reads `count` bytes from `source` and writes them to `destination`, at
// most COPY_CHUNK bytes at a time through one buffer, from each stream's
// current position. Only bytes that were read are written: when the source
// ends (or a read fails) early, the copy stops there. Write results are not
// examined.
void copy_stream_bytes(FILE* source, FILE* destination, uint32_t count);

// Runs `program` with the one argument `argument` and waits for it to end;
// `program` is looked up on the search path when its name holds no folder
// part. The argument reaches the program whole, as a single argument, even
// when it holds blanks (unlike a command line joined without quoting). Every
// output stream is flushed first, so that what the caller printed or wrote
// comes before anything the program does. Returns the program's exit status
// (on POSIX 0-255, and 128 + N for a program ended by signal N), or -1 when
// it cannot be started (not found, not executable). On Windows a batch file
// (.bat, .cmd) is never started and gives -1: cmd.exe, which runs it, parses
// the argument again, and an "&", "|" or "%NAME%" in it would take effect.
int run_program(const char* program, const char* argument);
