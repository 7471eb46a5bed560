// The vantrel entry point.
#include "../package/package_state.h"
#include "../util/console.h"
#include "../util/platform.h"
#include "command_line.h"

int main(int argc, char** argv) {
    platform_start_console();
    reset_package_state();
    int status = run_command_line(argc, argv);
    if (!flush_console()) status = -1;
    return status;
}
