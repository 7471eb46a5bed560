// The vantrel entry point.
#include <string>
#include <vector>

#include "../package/package_state.h"
#include "../util/console.h"
#include "../util/platform.h"
#include "command_line.h"

int main(int argc, char** argv) {
    platform_start_console();
    reset_package_state();
    std::vector<std::string> arguments;
    std::vector<char> exact;
    platform_arguments(argc, argv, &arguments, &exact);
    std::vector<const char*> texts;
    for (const std::string& argument : arguments) texts.push_back(argument.c_str());
    int status = run_command_line(static_cast<int>(texts.size()), texts.data(), exact.data());
    if (!flush_console()) status = -1;
    return status;
}
