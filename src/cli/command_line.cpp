#include "command_line.h"

#include <cstdio>
#include <cstring>

#include "../package/expand.h"
#include "../package/group.h"
#include "../package/package_state.h"
#include "../util/console.h"

const char USAGE_TEXT[] =
    "Usage: vantrel.exe [option] dpk_file extract_path\n"
    "Option:\n"
    "/e - expand files\n"
    "/p - group files\n";

enum Operation { OPERATION_NONE, OPERATION_EXPAND, OPERATION_GROUP };

// Upper-cases a to z only, so that the result never depends on the locale.
static Operation recognise_option(const char* option) {
    char upper[3];
    size_t length = strlen(option);
    if (length != 2) return OPERATION_NONE;
    for (size_t i = 0; i < 2; i++) upper[i] = option[i] >= 'a' && option[i] <= 'z' ? option[i] - 'a' + 'A' : option[i];
    upper[2] = '\0';
    if (strcmp(upper, "/E") == 0) return OPERATION_EXPAND;
    if (strcmp(upper, "/P") == 0) return OPERATION_GROUP;
    return OPERATION_NONE;
}

// Makes the folder path end in a separator. A path that fills the limit has
// no room left for one and is refused rather than cut.
static int end_with_separator(char* folder_path) {
    size_t length = strlen(folder_path);
    if (length > 0 && folder_path[length - 1] == PATH_SEPARATOR) return 1;
    if (length + 2 > PATH_LIMIT) return 0;
    folder_path[length] = PATH_SEPARATOR;
    folder_path[length + 1] = '\0';
    return 1;
}

int run_command_line(int argument_count, const char* const* arguments) {
    if (argument_count != 4) {
        fputs(USAGE_TEXT, stdout);
        return -1;
    }
    Operation operation = recognise_option(arguments[1]);
    PackageState& state = package_state;
    int folder_too_long = 0;
    int package_too_long = 0;
    int folder_resolved = platform_full_path(arguments[3], state.folder_path, PATH_LIMIT, &folder_too_long);
    if (folder_resolved && !end_with_separator(state.folder_path)) {
        folder_resolved = 0;
        folder_too_long = 1;
    }
    int package_resolved = platform_full_path(arguments[2], state.package_path, PATH_LIMIT, &package_too_long);

    if (operation == OPERATION_NONE) {
        fputs(USAGE_TEXT, stdout);
        return -1;
    }
    if (!folder_resolved || !package_resolved) {
        int too_long = folder_resolved ? package_too_long : folder_too_long;
        report(too_long ? "Path too long %s\n" : "Can't resolve path %s\n", arguments[folder_resolved ? 2 : 3]);
        return -1;
    }
    if (operation == OPERATION_GROUP) return group_package() ? 0 : -1;
    return open_package_mapped() && expand_package(state.folder_path) ? 0 : -1;
}
