// The command line: checks the arguments, resolves both paths into
// package_state and runs the chosen operation.
#pragma once

// The usage text, printed for any malformed command line.
extern const char USAGE_TEXT[];

// Runs the tool for `argument_count` arguments (the program's name first, as
// main receives them). Returns the process exit status: 0, or -1 on failure.
int run_command_line(int argument_count, const char* const* arguments);
