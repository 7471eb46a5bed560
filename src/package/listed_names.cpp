#include "listed_names.h"

#include "../util/platform.h"

static int is_control(unsigned char c) {
    return c < 0x20 || c == 0x7F;
}

// Appends `c` as it is written between the quotes.
static void append_escaped(unsigned char c, std::string* out) {
    static const char LETTERS[] = "abtnvfr";
    if (c == '"' || c == '\\') {
        *out += '\\';
        *out += static_cast<char>(c);
    } else if (c >= '\a' && c <= '\r') {
        *out += '\\';
        *out += LETTERS[c - '\a'];
    } else if (is_control(c)) {
        *out += '\\';
        *out += static_cast<char>('0' + (c >> 6));
        *out += static_cast<char>('0' + ((c >> 3) & 7));
        *out += static_cast<char>('0' + (c & 7));
    } else {
        *out += static_cast<char>(c);
    }
}

// Whether `text` must be quoted; `backslash_misleads` for a path, in which
// an unquoted backslash separates folders.
static int needs_quotes(const std::string& text, int backslash_misleads) {
    if (!text.empty() && text[0] == '"') return 1;
    for (char c : text)
        if (is_control(static_cast<unsigned char>(c)) || (backslash_misleads && c == '\\')) return 1;
    return 0;
}

std::string listed_entry_name(const char* name) {
    const std::string text = name;
    if (!needs_quotes(text, 0)) return text;
    std::string quoted = "\"";
    for (char c : text) append_escaped(static_cast<unsigned char>(c), &quoted);
    return quoted + "\"";
}

std::string listed_folder_path(const std::string& relative) {
    // Where the separator is the backslash, no piece can hold one.
    const int backslash_misleads = PATH_SEPARATOR != '\\';
    const int quoted = needs_quotes(relative, backslash_misleads);
    std::string shown = quoted ? "\"" : "";
    // By characters: the second byte of a double-byte character may be a
    // backslash that separates nothing (it is escaped, between quotes).
    const char* end = relative.c_str() + relative.size();
    for (const char* c = relative.c_str(); c < end;) {
        const char* next = platform_next_character(c);
        if (next == c + 1 && *c == PATH_SEPARATOR) {
            shown += quoted ? '/' : '\\';
        } else {
            for (const char* byte = c; byte < next; byte++) {
                if (quoted)
                    append_escaped(static_cast<unsigned char>(*byte), &shown);
                else
                    shown += *byte;
            }
        }
        c = next;
    }
    return quoted ? shown + "\"" : shown;
}
