// What only Windows has: drive letters, both kinds of slash, CR LF line
// ends, the names the system keeps for devices, deep folders, and the
// command interpreter's program lookup and batch files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include <windows.h>

#include "test_files.h"
#include "util/file_routines.h"
#include "util/platform.h"

static std::string with_crlf(const std::string& text) {
    std::string result;
    for (char c : text) result += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return result;
}

TEST(WindowsCommandLine, DriveLettersSlashesAndOneTrailingBackslash) {
    ScratchFolder scratch;
    fs::create_directory(scratch / "dir");
    write_file(scratch / "dir/a", bytes_of("x"));
    const std::string folder = native(scratch / "dir");
    ASSERT_EQ(folder[1], ':');
    std::string slashed = folder;
    std::replace(slashed.begin(), slashed.end(), '\\', '/');
    std::string package = native(scratch / "pkg");
    std::replace(package.begin(), package.end(), '\\', '/');
    for (const std::string& argument : {folder, folder + "\\", slashed, slashed + "//", folder.substr(0, 2) + "dir",
                                        std::string(".\\dir\\"), std::string("dir/")}) {
        write_file(scratch / "pkg", build_package({{"a", {}}}));
        ToolRun run = run_tool({"/p", package, argument}, scratch.path);
        EXPECT_EQ(run.status, 0) << argument;
        EXPECT_EQ(run.output, folder + "\\a\n") << argument;
    }
    // A pattern is a name like any other: "pk?" does not expand to "pkg".
    ToolRun pattern = run_tool({"/p", "pk?", "dir"}, scratch.path);
    EXPECT_EQ(pattern.output, "Can't create data file " + native(scratch / "pk?") + "\n");
}

TEST(WindowsCommandLine, EveryLineEndsInCrLf) {
    ScratchFolder scratch;
    ToolRun usage = run_tool({}, scratch.path);
    EXPECT_EQ(usage.status, 255);
    EXPECT_EQ(usage.raw_output, with_crlf(usage.output));
    EXPECT_EQ(std::count(usage.raw_output.begin(), usage.raw_output.end(), '\n'), 7);
    write_file(scratch / "pkg", build_package({{"a", bytes_of("1")}, {"a", bytes_of("2")}, {"..", {}}}));
    ToolRun run = run_tool({"/E", "pkg", "out"}, scratch.path);
    EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 3);
    EXPECT_EQ(run.raw_output, with_crlf(run.output));
}

TEST(WindowsNames, DeviceNamesAndColonsAreRefusedByExpandAndGroup) {
    ScratchFolder scratch;
    const char* const refused[] = {"CON", "aux.txt", "sub\\nul", "a:b", "Lpt1 .log", "x\\. .", "..."};
    std::vector<FixtureEntry> entries;
    for (const char* name : refused) entries.push_back({name, bytes_of("device")});
    entries.push_back({"ok", bytes_of("fine")});
    const Bytes package = build_package(entries);
    write_file(scratch / "pkg", package);
    const std::string folder = native(scratch / "out") + "\\";
    std::string expected;
    for (const char* name : refused) expected += "Bad entry name " + folder + name + "\n";

    ToolRun run = run_tool({"/E", "pkg", "out"}, scratch.path);
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.output, expected + folder + "ok\n");
    EXPECT_EQ(std::distance(fs::recursive_directory_iterator(scratch / "out"), fs::recursive_directory_iterator()), 1);

    // The same names are never opened as loose files either.
    run = run_tool({"/P", "pkg", "out"}, scratch.path);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, expected + folder + "ok\n");
    Bytes now = read_file(scratch / "pkg");
    for (uint32_t i = 0; i < 7; i++) EXPECT_EQ(get_row(now, i).offset, get_row(package, i).offset) << refused[i];
    EXPECT_EQ(get_row(now, 7).offset, package.size());
}

// The probe exits with 10 for the one argument "x".
TEST(WindowsRunProgram, LookupTriesTheCurrentFolderThenPathWithEachExtension) {
    ScratchFolder scratch;
    const fs::path saved = fs::current_path();
    fs::current_path(scratch.path);
    fs::create_directories(scratch / "bin/sub");
    fs::create_directory(scratch / "elsewhere");
    fs::copy_file(ARGUMENT_PROBE_PATH, scratch / "here.exe");
    fs::copy_file(ARGUMENT_PROBE_PATH, scratch / "bin/sub/child.exe");
    fs::copy_file(ARGUMENT_PROBE_PATH, scratch / "bin/child.com");
    const std::string saved_search = std::getenv("PATH") ? std::getenv("PATH") : "";
    _putenv_s("PATH", (native(scratch / "elsewhere") + ";;" + native(scratch / "bin")).c_str());
    const struct {
        const char* program;
        int status;
    } cases[] = {
        {"here", 10},           // the current folder, with .exe added
        {"child", 10},          // a folder of PATH; .com comes before .exe
        {"sub\\child", 10},     // a relative folder part is tried below each folder of PATH
        {"sub/child", -1},      // but not when it holds a forward slash
        {"bin/child.com", 10},  // which names it from the current folder
        {"child.exe", -1},      // an extension given is not replaced
    };
    for (const auto& c : cases) EXPECT_EQ(run_program(c.program, "x"), c.status) << c.program;
    _putenv_s("PATH", saved_search.c_str());
    fs::current_path(saved);
}

// A loose file that another program holds without sharing it (an editor, a
// scanner) is not missing: its edit would be lost in silence.
TEST(WindowsSharing, LooseFileHeldByAnotherProgramStopsTheGroup) {
    ScratchFolder scratch;
    const fs::path package = scratch / "pkg", folder = scratch / "loose";
    const Bytes original = build_package({{"held", bytes_of("old")}, {"free", bytes_of("old")}});
    write_file(package, original);
    fs::create_directory(folder);
    write_file(folder / "held", bytes_of("new"));
    write_file(folder / "free", bytes_of("new"));
    HANDLE held = CreateFileA(native(folder / "held").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    ToolRun run = run_tool({"/p", package.string(), folder.string()}, scratch.path);
    CloseHandle(held);
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.output, "Can't read file " + native(folder / "held") + "\n");
    EXPECT_TRUE(read_file(package) == original);
}

// The ANSI call refuses to create a folder of 248 characters or more, even
// one that exists; a path may have 259. Each run writes one entry into the
// folder given and one into a sub-folder two characters deeper.
TEST(WindowsDeepFolders, EntriesBelowFoldersOf248To257CharactersAreWritten) {
    ScratchFolder scratch;
    write_file(scratch / "pkg", build_package({{"x", bytes_of("top")}, {"s\\y", bytes_of("below")}}));
    for (size_t length : {246u, 250u, 255u}) {
        std::string folder = native(scratch / std::to_string(length));
        // Pieces of 50, the last of 50 to 100 characters.
        while (length - folder.size() > 101) folder += "\\" + std::string(50, 'd');
        folder += "\\" + std::string(length - folder.size() - 1, 'e');
        ASSERT_EQ(folder.size(), length);
        ToolRun run = run_tool({"/E", "pkg", folder}, scratch.path);
        EXPECT_EQ(run.status, 0) << length;
        EXPECT_EQ(run.output, folder + "\\x\n" + folder + "\\s\\y\n") << length;
        EXPECT_EQ(text_of(read_file(folder + "\\s\\y")), "below") << length;
        // Every folder exists now, and is taken as it stands.
        run = run_tool({"/E", "pkg", folder}, scratch.path);
        EXPECT_EQ(run.output, "File " + folder + "\\x alredy exists\nFile " + folder + "\\s\\y alredy exists\n")
            << length;
    }
}

// Past MAX_PATH, where the ANSI call fails even under wine, only the long
// form reaches the folder.
TEST(WindowsDeepFolders, MakeFolderTakesTheLongForm) {
    ScratchFolder scratch;
    std::vector<std::string> levels{native(scratch / "deep")};
    while (levels.back().size() < 300) levels.push_back(levels.back() + "\\" + std::string(60, 'f'));
    for (const std::string& level : levels) EXPECT_EQ(platform_make_folder(level.c_str()), FOLDER_MADE) << level;
    EXPECT_EQ(platform_make_folder(levels.back().c_str()), FOLDER_EXISTS);
    EXPECT_EQ(platform_path_kind(levels.back().c_str()), PATH_FOLDER);
    // The path is folded first, as the plain call folds it: no folder "dot.".
    EXPECT_EQ(platform_make_folder((levels[0] + "\\dot.").c_str()), FOLDER_MADE);
    EXPECT_TRUE(fs::is_directory(scratch / "deep/dot"));
    // The scratch folder's own removal does not reach this deep.
    for (auto level = levels.rbegin(); level != levels.rend(); ++level)
        RemoveDirectoryW((L"\\\\?\\" + fs::path(*level).wstring()).c_str());
}

// cmd.exe runs a batch file and parses its command line by rules of its
// own, by which no quoting keeps an argument from running a command.
TEST(WindowsRunProgram, BatchFilesAreRefusedWhateverTheArgument) {
    ScratchFolder scratch;
    const fs::path saved = fs::current_path();
    fs::current_path(scratch.path);
    for (const char* name : {"script.bat", "other.CMD"}) write_file(scratch / name, bytes_of("@exit /b 7\r\n"));
    const char* const arguments[] = {"plain", "a & echo smuggled> marker", "x\" & echo smuggled> marker & \"",
                                     "%PATH%", "^& echo smuggled> marker", "two words \"quoted\" | echo smuggled> marker",
                                     nullptr};
    for (const char* argument : arguments) {
        const char* shown = argument ? argument : "(none)";
        // Named with its extension, found with one added, in any letter case.
        for (const char* program : {"script.bat", "script", "OTHER.cmd"})
            EXPECT_EQ(run_program(program, argument), -1) << program << ' ' << shown;
        EXPECT_FALSE(fs::remove(scratch / "marker")) << "a command ran through " << shown;
    }
    fs::current_path(saved);
}
