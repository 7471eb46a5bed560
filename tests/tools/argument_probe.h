// The argument that run_program's test hands to argument_probe: blanks
// (doubled too), quotes and backslashes, one before a quote and one at the
// end, everything a command line joined or quoted carelessly would split or
// change.
#pragma once

constexpr const char PROBE_ARGUMENT[] = "two  words, \"a quote\\\" inside\" and a\\b backslash\\";
