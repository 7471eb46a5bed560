// Console output: every line the tool prints goes through here, to standard
// output, so that messages and file lines keep their order; for a run whose
// standard output carries a file's bytes, to standard error.
#pragma once

#include <cstddef>

// Prints `format` (holding one "%s") with `path`. Returns 0, so that a
// routine can fail with `return report("Can't ... %s\n", path);`.
int report(const char* format, const char* path);

// Prints a line made from `format` and the values after it, as printf does:
// for lines with numbers, which report's one path cannot carry.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void print_line(const char* format, ...);

// From now on, lines (report, print_line) go to standard error, so that
// standard output carries nothing but what write_output writes.
void send_lines_to_standard_error();

// Writes `size` bytes as they are to standard output (see
// platform_binary_output). 0 when they could not all be written.
int write_output(const void* bytes, size_t size);

// Pushes printed lines out now (before the tool waits for a key, and at the
// end). Returns 1 when every line printed so far has been written, 0 when
// any could not be (standard output is a closed pipe or a full disk): the
// operation itself goes on regardless, and only its status tells.
int flush_console();
