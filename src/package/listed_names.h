// How the listing writes names, so that every line it prints parses back to
// exactly one name and no name can make a line pass for another kind.
//
// A name is written as it is unless it would be misread: when it holds a
// control byte (below 0x20, or 0x7F), when it starts with a double quote,
// or, for a path below the folder, when a piece of it holds a backslash,
// which the listing's unquoted paths put between folders. Such a name is
// written in double quotes with C escapes: \" for a double quote, \\ for a
// backslash byte, \a \b \t \n \v \f \r, and three octal digits (\ooo) for
// any other control byte; every other byte stands for itself. Inside the
// quotes a path's folders are separated by '/', which no piece can hold, so
// that \\ is always a backslash of a name.
#pragma once

#include <string>

// An entry's name as the listing shows it: as stored, with its backslashes,
// or quoted.
std::string listed_entry_name(const char* name);

// A path below the loose folder (pieces joined by PATH_SEPARATOR) as the
// listing shows it: pieces joined by backslashes, as an entry names them,
// or quoted, with '/' between them.
std::string listed_folder_path(const std::string& relative);
