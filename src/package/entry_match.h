// Which entries a name given on the command line selects, for the options
// that take some entries only. A name matches an entry when it equals the
// entry's name, when it names a folder above the entry ("maps" matches
// "maps\a.map"), or, when it holds '*' or '?', as a pattern over the whole
// name: '*' is any run of bytes, separators included, '?' one byte. ASCII
// letters match whatever their case, and '/' matches '\', in both the name
// given and the entry's name.
#pragma once

// 1 when `given` (terminated) matches `entry_name` (terminated).
int name_matches_entry(const char* given, const char* entry_name);

// 1 when two entry names name the same entry: equal, '/' taken as '\'.
// Letter case counts: where it does not, the loose-file lookup tells.
int same_entry_name(const char* first, const char* second);
