// Test helper for run_program: exits with ten times the number of arguments
// it received, plus one when the first is exactly PROBE_ARGUMENT. So the
// argument arrived whole exactly when the status is 11.
#include <cstring>

#include "argument_probe.h"

int main(int argc, char** argv) {
    return (argc - 1) * 10 + (argc > 1 && strcmp(argv[1], PROBE_ARGUMENT) == 0);
}
