// The command line: checks the arguments, resolves both paths into
// package_state and runs the chosen operation.
#pragma once

// The usage text, printed for any malformed command line.
extern const char USAGE_TEXT[];

// Runs the tool for `argument_count` arguments (the program's name first, as
// main receives them). `exact`, when not null, has one flag per argument,
// 0 for one that could not be taken as typed (platform_arguments): a path
// so flagged is refused. Returns the process exit status: 0, or -1 on
// failure.
int run_command_line(int argument_count, const char* const* arguments, const char* exact);
