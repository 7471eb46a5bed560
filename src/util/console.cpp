#include "console.h"

#include <cstdarg>
#include <cstdio>

int report(const char* format, const char* path) {
    printf(format, path);
    return 0;
}

void print_line(const char* format, ...) {
    va_list values;
    va_start(values, format);
    vprintf(format, values);
    va_end(values);
}

int flush_console() {
    // The error flag stays set once a write has failed, whichever line it was.
    return fflush(stdout) == 0 && !ferror(stdout);
}
