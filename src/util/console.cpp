#include "console.h"

#include <cstdarg>
#include <cstdio>

// Null until messages are sent to standard error: standard output then.
static FILE* message_stream = nullptr;

static FILE* lines() {
    return message_stream ? message_stream : stdout;
}

int report(const char* format, const char* path) {
    fprintf(lines(), format, path);
    return 0;
}

void print_line(const char* format, ...) {
    va_list values;
    va_start(values, format);
    vfprintf(lines(), format, values);
    va_end(values);
}

void send_lines_to_standard_error() {
    message_stream = stderr;
}

int write_output(const void* bytes, size_t size) {
    return fwrite(bytes, 1, size, stdout) == size;
}

int flush_console() {
    // The error flag stays set once a write has failed, whichever line it was.
    int written = fflush(stdout) == 0 && !ferror(stdout);
    if (message_stream && (fflush(message_stream) != 0 || ferror(message_stream))) written = 0;
    return written;
}
