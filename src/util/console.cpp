#include "console.h"

#include <cstdio>

int report(const char* format, const char* path) {
    printf(format, path);
    return 0;
}

int flush_console() {
    // The error flag stays set once a write has failed, whichever line it was.
    return fflush(stdout) == 0 && !ferror(stdout);
}
