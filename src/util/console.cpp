#include "console.h"

#include <cstdio>

int report(const char* format, const char* path) {
    printf(format, path);
    return 0;
}

void flush_console() {
    fflush(stdout);
}
