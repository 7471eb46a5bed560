#include "entry_match.h"

#include <cstring>

// A byte as matching compares it: a separator as '\', A-Z as a-z, never
// depending on the locale.
static char folded(char c) {
    if (c == '/') return '\\';
    if (c >= 'A' && c <= 'Z') return static_cast<char>(c - 'A' + 'a');
    return c;
}

static int is_pattern(const char* given) {
    return strpbrk(given, "*?") != nullptr;
}

// Matches the whole of `name` against `pattern`. On a mismatch after a '*'
// the star takes one byte more and the rest is tried again from there: the
// work stays within the product of the two lengths, however many stars.
static int pattern_matches(const char* pattern, const char* name) {
    const char* star = nullptr;
    const char* star_name = nullptr;
    while (*name) {
        if (*pattern == '*') {
            star = pattern++;
            star_name = name;
        } else if (*pattern == '?' || (*pattern && folded(*pattern) == folded(*name))) {
            pattern++;
            name++;
        } else if (star) {
            pattern = star + 1;
            name = ++star_name;
        } else {
            return 0;
        }
    }
    while (*pattern == '*') pattern++;
    return *pattern == '\0';
}

int name_matches_entry(const char* given, const char* entry_name) {
    if (is_pattern(given)) return pattern_matches(given, entry_name);
    size_t length = 0;
    while (given[length] && entry_name[length] && folded(given[length]) == folded(entry_name[length])) length++;
    if (given[length] == '\0' && entry_name[length] == '\0') return 1;
    // A folder above the entry: the name given ends where a piece of the
    // entry's name does, or itself ends in a separator.
    if (given[length] != '\0' || length == 0) return 0;
    return folded(entry_name[length]) == '\\' || folded(given[length - 1]) == '\\';
}

int same_entry_name(const char* first, const char* second) {
    for (;; first++, second++) {
        char a = *first == '/' ? '\\' : *first;
        char b = *second == '/' ? '\\' : *second;
        if (a != b) return 0;
        if (a == '\0') return 1;
    }
}
