// Console output: every line the tool prints goes through here, to standard
// output, so that messages and file lines keep their order.
#pragma once

// Prints `format` (holding one "%s") with `path`. Returns 0, so that a
// routine can fail with `return report("Can't ... %s\n", path);`.
int report(const char* format, const char* path);

// Prints a line made from `format` and the values after it, as printf does:
// for lines with numbers, which report's one path cannot carry.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void print_line(const char* format, ...);

// Pushes printed lines out now (before the tool waits for a key, and at the
// end). Returns 1 when every line printed so far has been written, 0 when
// any could not be (standard output is a closed pipe or a full disk): the
// operation itself goes on regardless, and only its status tells.
int flush_console();
