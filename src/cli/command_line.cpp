#include "command_line.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "../package/compact.h"
#include "../package/entry_output.h"
#include "../package/expand.h"
#include "../package/group.h"
#include "../package/list.h"
#include "../package/package_state.h"
#include "../package/restore.h"
#include "../util/console.h"

const char USAGE_TEXT[] =
    "Usage: vantrel.exe [option] dpk_file extract_path\n"
    "Option:\n"
    "/e - expand files\n"
    "/p - group files\n"
    "/u - group changed files\n"
    "/l - list files\n"
    "/c - compact the package\n"
    "/r - restore files\n"
    "/o - write one file to standard output\n"
    "/h - show this text\n"
    "/v - show the version\n"
    "\n"
    "vantrel.exe /e dpk_file extract_path\n"
    "vantrel.exe /p dpk_file extract_path\n"
    "vantrel.exe /u dpk_file extract_path\n"
    "vantrel.exe /l dpk_file [extract_path]\n"
    "vantrel.exe /c dpk_file\n"
    "vantrel.exe /r dpk_file extract_path [name ...]\n"
    "vantrel.exe /o dpk_file name\n"
    "vantrel.exe --help | -h | /? | /h\n"
    "vantrel.exe --version | -V | /v\n";

enum Operation {
    OPERATION_NONE,
    OPERATION_EXPAND,
    OPERATION_GROUP,
    OPERATION_UPDATE,
    OPERATION_LIST,
    OPERATION_COMPACT,
    OPERATION_RESTORE,
    OPERATION_OUTPUT,
    OPERATION_HELP,
    OPERATION_VERSION
};

// Each option, and how many arguments (the option included) it takes.
struct OptionRule {
    const char* option;
    Operation operation;
    int fewest_arguments;
    int most_arguments;
};

static const OptionRule OPTION_RULES[] = {{"/E", OPERATION_EXPAND, 3, 3},
                                          {"/P", OPERATION_GROUP, 3, 3},
                                          {"/U", OPERATION_UPDATE, 3, 3},
                                          {"/L", OPERATION_LIST, 2, 3},
                                          {"/C", OPERATION_COMPACT, 2, 2},
                                          {"/R", OPERATION_RESTORE, 3, INT_MAX},
                                          {"/O", OPERATION_OUTPUT, 3, 3}};

// The spellings that ask for help or the version, each alone on the command
// line. The two-byte ones with a slash are options like the others and take
// either letter case; the others are taken as written, as other tools take
// them.
struct InformationRule {
    const char* spelling;
    Operation operation;
};

static const InformationRule INFORMATION_RULES[] = {{"--help", OPERATION_HELP},
                                                    {"-h", OPERATION_HELP},
                                                    {"/?", OPERATION_HELP},
                                                    {"/H", OPERATION_HELP},
                                                    {"/h", OPERATION_HELP},
                                                    {"--version", OPERATION_VERSION},
                                                    {"-V", OPERATION_VERSION},
                                                    {"/V", OPERATION_VERSION},
                                                    {"/v", OPERATION_VERSION}};

static Operation recognise_information(const char* argument) {
    for (const InformationRule& rule : INFORMATION_RULES)
        if (strcmp(argument, rule.spelling) == 0) return rule.operation;
    return OPERATION_NONE;
}

// Upper-cases a to z only, so that the result never depends on the locale.
// An option taken with the wrong number of arguments is no option.
static Operation recognise_option(const char* option, int argument_count) {
    char upper[3];
    size_t length = strlen(option);
    if (length != 2) return OPERATION_NONE;
    for (size_t i = 0; i < 2; i++) upper[i] = option[i] >= 'a' && option[i] <= 'z' ? option[i] - 'a' + 'A' : option[i];
    upper[2] = '\0';
    for (const OptionRule& rule : OPTION_RULES)
        if (strcmp(upper, rule.option) == 0)
            return argument_count >= rule.fewest_arguments && argument_count <= rule.most_arguments ? rule.operation
                                                                                                    : OPERATION_NONE;
    return OPERATION_NONE;
}

// Makes the folder path end in a separator. A path that fills the limit has
// no room left for one and is refused rather than cut.
static int end_with_separator(char* folder_path) {
    size_t length = strlen(folder_path);
    // The last byte may be the second of a double-byte character.
    const char* last_separator = nullptr;
    for (const char* c = platform_next_separator(folder_path); c; c = platform_next_separator(c + 1))
        last_separator = c;
    if (length > 0 && last_separator == folder_path + length - 1) return 1;
    if (length + 2 > PATH_LIMIT) return 0;
    folder_path[length] = PATH_SEPARATOR;
    folder_path[length + 1] = '\0';
    return 1;
}

// Makes `argument` absolute into `out`, after a message when it cannot be.
// An argument that did not come through `exact` names no file the user
// typed, and is refused.
static int resolve_argument(const char* argument, int exact, char* out, int is_folder) {
    if (!exact) {
        print_line("Path %s has characters outside code page %u\n", argument, platform_code_page());
        return 0;
    }
    int too_long = 0;
    int resolved = platform_full_path(argument, out, PATH_LIMIT, &too_long);
    if (resolved && is_folder && !end_with_separator(out)) {
        resolved = 0;
        too_long = 1;
    }
    if (!resolved) report(too_long ? "Path too long %s\n" : "Can't resolve path %s\n", argument);
    return resolved;
}

// `names` are the arguments after the paths: /O's name, /R's names.
static int run_operation(Operation operation, int has_folder, const char* const* names, int name_count) {
    PackageState& state = package_state;
    switch (operation) {
        case OPERATION_GROUP:
            return group_package();
        case OPERATION_UPDATE:
            return update_package();
        case OPERATION_LIST:
            return list_package(has_folder ? state.folder_path : nullptr);
        case OPERATION_COMPACT:
            return compact_package();
        case OPERATION_EXPAND:
            return open_package_mapped() && expand_package(state.folder_path);
        case OPERATION_RESTORE:
            return restore_package(names, name_count);
        case OPERATION_OUTPUT:
            return output_entry(names[0]);
        case OPERATION_HELP:
        case OPERATION_VERSION:
        case OPERATION_NONE:
            break;
    }
    return 0;
}

int run_command_line(int argument_count, const char* const* arguments, const char* exact) {
    // Counted without the program's own name.
    const int given = argument_count - 1;
    if (given == 1 && recognise_information(arguments[1]) == OPERATION_HELP) {
        fputs(USAGE_TEXT, stdout);
        return 0;
    }
    if (given == 1 && recognise_information(arguments[1]) == OPERATION_VERSION) {
        print_line("vantrel %s\n", VANTREL_VERSION);
        return 0;
    }
    Operation operation = given >= 2 ? recognise_option(arguments[1], given) : OPERATION_NONE;
    if (operation == OPERATION_NONE) {
        fputs(USAGE_TEXT, stdout);
        return -1;
    }
    PackageState& state = package_state;
    // /O's third argument is an entry's name, not a folder.
    const int has_folder = given >= 3 && operation != OPERATION_OUTPUT;
    const int first_name = operation == OPERATION_OUTPUT ? 3 : 4;
    if (has_folder && !resolve_argument(arguments[3], !exact || exact[3], state.folder_path, 1)) return -1;
    if (!resolve_argument(arguments[2], !exact || exact[2], state.package_path, 0)) return -1;
    // A name that did not come through whole would select entries nobody
    // named.
    for (int i = first_name; i < argument_count; i++)
        if (exact && !exact[i]) {
            if (operation == OPERATION_OUTPUT) send_lines_to_standard_error();
            print_line("Path %s has characters outside code page %u\n", arguments[i], platform_code_page());
            return -1;
        }
    const int name_count = argument_count > first_name ? argument_count - first_name : 0;
    return run_operation(operation, has_folder, arguments + first_name, name_count) ? 0 : -1;
}
