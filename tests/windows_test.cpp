// What only Windows has: drive letters, both kinds of slash, CR LF line
// ends, the names the system keeps for devices and the names it folds
// together, deep folders, code pages, sharing and mapping, and the command
// interpreter's program lookup and batch files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <thread>

#include <windows.h>

#include <aclapi.h>

#include "package/loose_sharing.h"
#include "package/package_state.h"
#include "test_files.h"
#include "util/file_routines.h"
#include "util/platform.h"
#include "util/platform_win32.h"

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
    EXPECT_EQ(std::count(usage.raw_output.begin(), usage.raw_output.end(), '\n'), 21);
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

    // The same names are never opened as loose files either; each one
    // passed over fails the run.
    run = run_tool({"/P", "pkg", "out"}, scratch.path);
    EXPECT_EQ(run.status, 255);
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

// The bytes of `wide` in code page `code_page`, as the tool prints them.
static std::string in_code_page(const std::wstring& wide, UINT code_page) {
    int size = WideCharToMultiByte(code_page, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(code_page, 0, wide.c_str(), -1, &text[0], size, nullptr, nullptr);
    text.resize(text.size() - 1);
    return text;
}

// The code-page tests run in runs of their own (tests/CMakeLists.txt), with
// LC_ALL set for wine, which gives the test and the tool it starts that ANSI
// code page; elsewhere they are skipped.
#define REQUIRE_CODE_PAGE(code_page) \
    if (GetACP() != (code_page)) GTEST_SKIP() << "for the run with ANSI code page " << (code_page)

// Names the system folds to one file share one loose file: the second would
// take the first one's bytes. The same name twice names one file on purpose.
TEST(WindowsNames, EntriesWhoseNamesFoldToOneLooseFileAreRefused) {
    ScratchFolder scratch;
    const Bytes original = build_package({{"a.txt", bytes_of("a")},
                                          {"A.TXT", bytes_of("B")},
                                          {"b.dat", bytes_of("c")},
                                          {"b.dat.", bytes_of("D")},
                                          {"twice", bytes_of("e")},
                                          {"twice", bytes_of("f")},
                                          {"Sub\\x", bytes_of("g")},
                                          {"sub/X", bytes_of("H")}});
    fs::create_directories(scratch / "loose/sub");
    for (const char* name : {"a.txt", "b.dat", "twice", "sub/x"}) write_file(scratch / "loose" / name, bytes_of("new"));
    const std::string folder = native(scratch / "loose") + "\\";
    const std::vector<size_t> refused = {1, 3, 7};
    const struct {
        const char* option;
        std::string output;
    } cases[] = {
        {"/L", ""},
        {"/U", "a.txt\nBad entry name A.TXT\nb.dat\nBad entry name b.dat.\ntwice\ntwice\nSub\\x\nBad entry name sub\\X\n"},
        {"/P", "a.txt\nBad entry name A.TXT\nb.dat\nBad entry name b.dat.\ntwice\ntwice\nSub\\x\nBad entry name sub\\X\n"},
    };
    for (const auto& c : cases) {
        write_file(scratch / "pkg", original);
        ToolRun run = run_tool({c.option, "pkg", "loose"}, scratch.path);
        EXPECT_EQ(run.status, 255) << c.option;
        const Bytes now = read_file(scratch / "pkg");
        if (c.option == std::string("/L")) {
            // Marks and names; offsets and sizes are the builder's.
            std::vector<std::string> marks;
            for (size_t start = 0; start < run.output.size();) {
                size_t end = run.output.find('\n', start);
                std::string line = run.output.substr(start, end - start);
                marks.push_back(line.substr(0, 1) + " " + line.substr(line.rfind(' ') + 1));
                start = end + 1;
            }
            EXPECT_EQ(marks.size(), 9u);
            for (size_t i : refused) EXPECT_EQ(marks[i][0], '!') << i;
            for (size_t i : {0, 2, 4, 5, 6}) EXPECT_EQ(marks[i][0], 'M') << i;
            EXPECT_TRUE(now == original);
            continue;
        }
        std::string expected;
        for (size_t start = 0; start < c.output.size();) {
            size_t end = c.output.find('\n', start);
            std::string line = c.output.substr(start, end - start);
            size_t name = line.rfind(' ') + 1;
            expected += line.substr(0, name) + folder + line.substr(name) + "\n";
            start = end + 1;
        }
        EXPECT_EQ(run.output, expected) << c.option;
        for (size_t i = 0; i < 8; i++) {
            const bool kept = std::find(refused.begin(), refused.end(), i) != refused.end();
            EXPECT_EQ(get_row(now, i).offset == get_row(original, i).offset, kept) << c.option << " row " << i;
        }
    }
    // Expand writes the first of each pair and refuses the second, which
    // would find the first one's file there.
    write_file(scratch / "pkg", original);
    ToolRun expanded = run_tool({"/E", "pkg", "out"}, scratch.path);
    EXPECT_EQ(expanded.status, 255);
    const std::string out = native(scratch / "out") + "\\";
    EXPECT_EQ(expanded.output, out + "a.txt\nBad entry name " + out + "A.TXT\n" + out + "b.dat\nBad entry name " + out +
                                   "b.dat.\n" + out + "twice\nFile " + out + "twice alredy exists\n" + out +
                                   "Sub\\x\nBad entry name " + out + "sub\\X\n");
    EXPECT_EQ(text_of(read_file(scratch / "out/a.txt")), "a");
    EXPECT_EQ(text_of(read_file(scratch / "out/b.dat")), "c");
}

// A short 8.3 name is another name of the same file.
TEST(WindowsNames, ShortNameOfAnEarlierEntrysLooseFileIsRefused) {
    ScratchFolder scratch;
    fs::create_directory(scratch / "loose");
    write_file(scratch / "loose/longfilename.txt", bytes_of("new"));
    char short_path[MAX_PATH];
    ASSERT_GT(GetShortPathNameA(native(scratch / "loose/longfilename.txt").c_str(), short_path, MAX_PATH), 0u);
    const std::string short_name = fs::path(short_path).filename().string();
    ASSERT_NE(short_name, "longfilename.txt");
    const Bytes original = build_package({{"longfilename.txt", bytes_of("a")}, {short_name, bytes_of("b")}});
    write_file(scratch / "pkg", original);
    ToolRun run = run_tool({"/P", "pkg", "loose"}, scratch.path);
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.output, native(scratch / "loose/longfilename.txt") + "\nBad entry name " +
                              native(scratch / "loose") + "\\" + short_name + "\n");
    EXPECT_EQ(get_row(read_file(scratch / "pkg"), 1).offset, get_row(original, 1).offset);
}

// The console handler cuts back by length while the main thread may be
// reading: a read at an offset moves the file pointer, which a cut at the
// pointer would take for the length. The hook holds the main thread just
// after its read, the pointer moved, while the handler's thread cuts back.
static PlatformFile cut_file;
static LONGLONG pointer_at_cut, length_after_cut;

TEST(WindowsInterrupt, CutBackTakesTheLengthWhateverTheFilePointer) {
    ScratchFolder scratch;
    write_file(scratch / "pkg", pattern_bytes(1 << 20, 3));
    uint64_t size;
    ASSERT_EQ(platform_open_package(native(scratch / "pkg").c_str(), PACKAGE_UPDATE, &cut_file, &size), OPEN_DONE);
    pointer_at_cut = length_after_cut = -1;
    platform_read_done_hook = [] {
        std::thread handler([] {
            const HANDLE handle = reinterpret_cast<HANDLE>(cut_file);
            LARGE_INTEGER pointer, length;
            SetFilePointerEx(handle, LARGE_INTEGER{}, &pointer, FILE_CURRENT);
            pointer_at_cut = pointer.QuadPart;
            if (platform_truncate(cut_file, 1000) && GetFileSizeEx(handle, &length)) length_after_cut = length.QuadPart;
        });
        handler.join();
    };
    char byte;
    EXPECT_TRUE(platform_read_at(cut_file, 900000, &byte, 1));
    platform_read_done_hook = nullptr;
    EXPECT_EQ(pointer_at_cut, 900001) << "the read did not move the pointer: the test proves nothing";
    EXPECT_EQ(length_after_cut, 1000);
    platform_close(cut_file);
}

// A failed group cuts the package back; when another program maps it, the
// system refuses, and the run says so. The old directory block stays. The
// first file is too large to be gathered in memory, so that its copy has
// reached the package when the second one fails.
TEST(WindowsSharing, MappedPackageThatCannotBeCutBackIsReported) {
    ScratchFolder scratch;
    const fs::path package = scratch / "pkg", folder = scratch / "loose";
    const Bytes original = build_package({{"free", bytes_of("old")}, {"held", bytes_of("old")}});
    write_file(package, original);
    fs::create_directory(folder);
    const Bytes fresh = pattern_bytes(100 << 10, 7);
    write_file(folder / "free", fresh);
    write_file(folder / "held", bytes_of("new"));
    HANDLE held = CreateFileA(native(folder / "held").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE game = CreateFileA(native(package).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    HANDLE mapping = CreateFileMappingA(game, nullptr, PAGE_READONLY, 0, 0, nullptr);
    const void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    ASSERT_NE(view, nullptr);
    ToolRun run = run_tool({"/p", "pkg", "loose"}, scratch.path);
    UnmapViewOfFile(view);
    CloseHandle(mapping);
    CloseHandle(game);
    CloseHandle(held);
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.output, native(folder / "free") + "\nCan't read file " + native(folder / "held") +
                              "\nCan't cut back data file " + native(package) + "\n");
    const Bytes now = read_file(package);
    EXPECT_EQ(now.size(), original.size() + fresh.size());
    EXPECT_TRUE(std::equal(original.begin(), original.end(), now.begin()));
}

// Arguments are read as typed, in UTF-16: one that the ANSI code page cannot
// hold is refused, not taken for the look-alike name best-fit mapping makes.
// Entry names are bytes of the ANSI code page.
TEST(WindowsCodePage1252, ArgumentsOutsideTheCodePageAreRefusedAndNamesAreAnsi) {
    REQUIRE_CODE_PAGE(1252);
    ScratchFolder scratch;
    write_file(scratch / "pkg", build_package({{"caf\xE9.txt", bytes_of("cafe")}}));
    const struct {
        std::vector<std::wstring> arguments;
        std::string output;
    } cases[] = {
        {{L"/E", L"pkg", L"\u0141\u00F3d\u017A"}, "Path ?\xF3" "d? has characters outside code page 1252\n"},
        {{L"/P", L"\u65E5\u672C.pkg", L"out"}, "Path ??.pkg has characters outside code page 1252\n"},
        {{L"/L", L"pkg", L"\u00C5\u2126"}, "Path \xC5? has characters outside code page 1252\n"},
    };
    for (const auto& c : cases) {
        ToolRun run = run_tool_wide(c.arguments, scratch.path);
        EXPECT_EQ(run.status, 255) << c.output;
        EXPECT_EQ(run.output, c.output);
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(scratch.path), fs::directory_iterator()), 1);

    ToolRun run = run_tool_wide({L"/E", L"pkg", L"caf\u00E9"}, scratch.path);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, native(scratch.path) + "\\caf\xE9\\caf\xE9.txt\n");
    EXPECT_EQ(text_of(read_file(scratch.path / fs::path(L"caf\u00E9/caf\u00E9.txt"))), "cafe");
}

// In code page 932 the second byte of "\u30BD" is 0x5C, the backslash: it
// must neither end a folder argument nor split a folder in two.
TEST(WindowsCodePage932, DoubleByteCharactersEndingIn0x5CStayWhole) {
    REQUIRE_CODE_PAGE(932);
    ScratchFolder scratch;
    const std::string so = in_code_page(L"\u30BD", 932);
    ASSERT_EQ(so, "\x83\x5C");
    write_file(scratch / "pkg", build_package({{"a.txt", bytes_of("top")}, {so + "\\b.txt", bytes_of("below")}}));
    fs::create_directory(scratch / "ja");
    ToolRun run = run_tool_wide({L"/E", L"pkg", L"ja\\\u30BD"}, scratch.path);
    EXPECT_EQ(run.status, 0) << run.output;
    const std::string folder = in_code_page((scratch / "ja").wstring(), 932) + "\\" + so;
    EXPECT_EQ(run.output, folder + "\\a.txt\n" + folder + "\\" + so + "\\b.txt\n");
    const fs::path written = scratch.path / fs::path(L"ja/\u30BD");
    EXPECT_EQ(text_of(read_file(written / "a.txt")), "top");
    EXPECT_EQ(text_of(read_file(written / fs::path(L"\u30BD/b.txt"))), "below");
    // Nothing else: no folder of the first byte alone, no "\u30BDa.txt".
    EXPECT_EQ(std::distance(fs::recursive_directory_iterator(scratch / "ja"), fs::recursive_directory_iterator()), 4);

    write_file(written / "a.txt", bytes_of("edited"));
    run = run_tool_wide({L"/U", L"pkg", L"ja\\\u30BD\\"}, scratch.path);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, folder + "\\a.txt\n");
}

// "/" in an entry name leads to a sub-folder as "\" does; a folder piece that
// ends in a dot or a blank would be made without it, and is refused.
TEST(WindowsNames, SlashesLeadToSubFoldersAndFolderPiecesMayNotEndInDotsOrBlanks) {
    ScratchFolder scratch;
    write_file(scratch / "pkg", build_package({{"a/b.txt", bytes_of("ab")},
                                               {"c\\d/e", bytes_of("cde")},
                                               {"f \\x", bytes_of("f")},
                                               {"g.\\y", bytes_of("g")},
                                               {"h/i.", bytes_of("hi")}}));
    const std::string folder = native(scratch / "out") + "\\";
    ToolRun run = run_tool({"/E", "pkg", "out"}, scratch.path);
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.output, folder + "a\\b.txt\n" + folder + "c\\d\\e\n" + "Bad entry name " + folder + "f \\x\n" +
                              "Bad entry name " + folder + "g.\\y\n" + folder + "h\\i.\n");
    EXPECT_EQ(read_tree(scratch / "out"),
              (std::map<std::string, Bytes>{{"a/b.txt", bytes_of("ab")}, {"c/d/e", bytes_of("cde")}, {"h/i", bytes_of("hi")}}));
    run = run_tool({"/U", "pkg", "out"}, scratch.path);
    EXPECT_EQ(run.output, "Bad entry name " + folder + "f \\x\n" + "Bad entry name " + folder + "g.\\y\n");
}

// /C keeps what the package's owner set on it, and waits for a program that
// holds the package for a moment; one that holds it throughout makes /C say
// it is in use, with nothing changed and no temporary file left.
// /C's and /R's temporary file is created with its interrupt cleanup set,
// and with the rights that giving it the package's or the old file's access
// rules (WRITE_DAC) and compression (reading and writing its data) need.
TEST(WindowsCompact, TemporaryFileMayTakeAnotherFilesAccessRules) {
    ScratchFolder scratch;
    const std::string path = native(scratch / "t.vtmp");
    PlatformFile file;
    ASSERT_EQ(platform_create_private_removed_on_interrupt(path.c_str(), NO_FILE, 0, &file), CREATE_DONE);
    HANDLE handle = reinterpret_cast<HANDLE>(file);
    PACL rules = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(GetSecurityInfo(handle, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &rules, nullptr,
                              &descriptor),
              static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(SetSecurityInfo(handle, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, rules, nullptr),
              static_cast<DWORD>(ERROR_SUCCESS));
    LocalFree(descriptor);
    char byte;
    DWORD got = 1;
    EXPECT_TRUE(ReadFile(handle, &byte, 1, &got, nullptr));
    EXPECT_EQ(got, 0u);
    platform_interrupt_cleanup(NO_FILE, 0, nullptr);
    platform_close(file);
}

TEST(WindowsCompact, KeepsAttributesAndWaitsForAProgramHoldingThePackage) {
    ScratchFolder scratch;
    const fs::path package = scratch / "pkg";
    Bytes grown = build_package({{"a", pattern_bytes(3000, 1)}});
    set_row(grown, 0, {static_cast<uint32_t>(grown.size()), 3000});
    const Bytes again = pattern_bytes(3000, 1);
    grown.insert(grown.end(), again.begin(), again.end());
    const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    for (DWORD hold_ms : {0u, 500u, 5000u}) {
        SCOPED_TRACE(hold_ms);
        SetFileAttributesA(native(package).c_str(), FILE_ATTRIBUTE_NORMAL);
        write_file(package, grown);
        ASSERT_TRUE(SetFileAttributesA(native(package).c_str(), kept | FILE_ATTRIBUTE_ARCHIVE));
        // A reader that shares writing, as a game might, but not deletion.
        HANDLE game = hold_ms ? CreateFileA(native(package).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                            nullptr, OPEN_EXISTING, 0, nullptr)
                              : INVALID_HANDLE_VALUE;
        std::thread release([&] {
            if (game == INVALID_HANDLE_VALUE) return;
            Sleep(hold_ms);
            CloseHandle(game);
        });
        ToolRun run = run_tool({"/C", "pkg"}, scratch.path);
        release.join();
        if (hold_ms > 2000) {
            EXPECT_EQ(run.status, 255);
            EXPECT_EQ(run.output, "Data file " + native(package) + " is in use\n");
            EXPECT_TRUE(read_file(package) == grown);
        } else {
            EXPECT_EQ(run.status, 0);
            EXPECT_EQ(run.output, native(package) + ": 3000 bytes reclaimed\n");
            EXPECT_EQ(read_file(package).size(), grown.size() - 3000);
        }
        EXPECT_EQ(GetFileAttributesA(native(package).c_str()) & kept, kept);
        EXPECT_EQ(std::distance(fs::directory_iterator(scratch.path), fs::directory_iterator()), 1);
    }
    SetFileAttributesA(native(package).c_str(), FILE_ATTRIBUTE_NORMAL);
}

// Names read from a folder that the ANSI code page holds only as look-alikes
// ("\uFF3C" as "\\", "\u0101" as "a"), or whose path would drop a trailing
// dot, are shown with "!" and never followed: no walk out of the loose
// folder or round in a circle, no file listed under another file's name.
TEST(WindowsListing, NamesThatDoNotConvertExactlyAreShownNotFollowed) {
    ScratchFolder scratch;
    std::string unused;
    if (folder_item_name(L"\uFF3C\u0101\uFF42", &unused)) GTEST_SKIP() << "the code page holds these characters";
    const fs::path loose = scratch / "loose";
    fs::create_directories(loose / "sub");
    fs::create_directories(scratch / "other");
    write_file(scratch / "other/secret.txt", bytes_of("outside"));
    // The long form keeps the trailing dots that the plain calls drop; the
    // scratch folder's removal, which uses those, would never end in them.
    const std::vector<std::wstring> verbatim = {L"\\\\?\\" + (loose / L"\uFF3C..\uFF3Cother").wstring(),
                                                L"\\\\?\\" + (loose / L"\uFF3C..").wstring()};
    for (const std::wstring& folder : verbatim) ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    struct RemoveVerbatim {
        const std::vector<std::wstring>& folders;
        ~RemoveVerbatim() {
            for (const std::wstring& folder : folders) RemoveDirectoryW(folder.c_str());
        }
    } remove_verbatim{verbatim};
    for (const wchar_t* folder : {L"\uFF53ub", L"\uFF51dir"}) fs::create_directory(loose / fs::path(folder));
    write_file(loose / fs::path(L"\uFF53ub/two.txt"), bytes_of("two"));
    write_file(loose / fs::path(L"\uFF51dir/q.txt"), bytes_of("q"));
    for (const wchar_t* file : {L"a.txt", L"\u0101.txt", L"\uFF42.txt", L"sub/one.txt"})
        write_file(loose / fs::path(file), bytes_of("x"));
    write_file(scratch / "pkg", build_package({{"a.txt", bytes_of("x")}, {"b.txt", bytes_of("x")},
                                               {"sub\\one.txt", bytes_of("x")}}));
    ToolRun run = run_tool({"/L", "pkg", "loose"}, scratch.path);
    EXPECT_EQ(run.status, 255);
    std::string expected;
    for (const char* mark : {"=", "-", "="}) expected += mark;
    std::string marks, untracked;
    for (size_t start = 0; start < run.output.size();) {
        const size_t end = run.output.find('\n', start);
        const std::string line = run.output.substr(start, end - start);
        start = end + 1;
        if (line.find(" entries, ") != std::string::npos) continue;
        const std::string name = line.substr(line.rfind(' ') + 1);
        if (line[0] == '=' || line[0] == '-')
            marks += line[0];
        else
            untracked += line.substr(0, 1) + " " + name + "\n";
    }
    EXPECT_EQ(marks, expected);
    EXPECT_EQ(untracked, "! ?..\n! ?..?other\n! ?.txt\n! ?.txt\n! ?dir\n! ?ub\n");
    EXPECT_EQ(run.output.find("secret"), std::string::npos);
}

// A name whose path would lead elsewhere is refused by its own form too.
TEST(WindowsListing, FolderItemNamesThatLeadElsewhere) {
    const struct {
        const wchar_t* wide;
        int named;
    } cases[] = {{L"plain.txt", 1}, {L"x.y z", 1}, {L".hidden", 1}, {L"..", 0},       {L".", 0},
                 {L"dot.", 0},      {L"blank ", 0}, {L"a\\b", 0},     {L"a/b", 0}, {L"a:b", 0}};
    for (const auto& c : cases) {
        std::string name;
        EXPECT_EQ(folder_item_name(c.wide, &name), c.named) << fs::path(c.wide).string();
    }
}

// The exe imports neither user32 nor shell32 (tests/CMakeLists.txt checks its
// import table); the handler's choice is made apart from the system.
TEST(WindowsInterrupt, ConsoleEventsInterruptButLogOffOutsideAnInteractiveSession) {
    const struct {
        unsigned long event;
        ConsoleEventAction interactive, service;
    } cases[] = {
        {CTRL_C_EVENT, EVENT_INTERRUPTS, EVENT_INTERRUPTS},
        {CTRL_BREAK_EVENT, EVENT_INTERRUPTS, EVENT_INTERRUPTS},
        {CTRL_CLOSE_EVENT, EVENT_INTERRUPTS, EVENT_INTERRUPTS},
        {CTRL_LOGOFF_EVENT, EVENT_INTERRUPTS, EVENT_IGNORED},
        {CTRL_SHUTDOWN_EVENT, EVENT_INTERRUPTS, EVENT_INTERRUPTS},
        {3, EVENT_PASSED_ON, EVENT_PASSED_ON},
        {7, EVENT_PASSED_ON, EVENT_PASSED_ON},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(console_event_action(c.event, 1), c.interactive) << c.event;
        EXPECT_EQ(console_event_action(c.event, 0), c.service) << c.event;
    }
}

// The command line is split by the C runtime's rules: blanks separate, quotes
// group, backslashes are literal but before a quote, where each pair gives
// one and an odd one makes the quote literal. The package's path in the
// message shows how the tool took its argument.
TEST(WindowsCommandLine, QuotingRulesOfTheCommandLine) {
    ScratchFolder scratch;
    const std::string here = native(scratch.path) + "\\";
    const struct {
        const wchar_t* arguments;
        std::string package;
    } cases[] = {
        {L"/L plain", "plain"},
        {L"/L \"two words\"", "two words"},
        {L"/L\t\"tab\"bed", "tabbed"},
        {L"/L half\" quoted\"", "half quoted"},
        {L"/L a\\b", "a\\b"},
        {L"/L \"a\\\\\"", "a\\"},
        {L"/L a\\\"b", "a\"b"},
        {L"/L a\\\\\\\"b", "a\\\"b"},
        {L"/L \"\u00E9t\u00E9\"", "\xE9t\xE9"},
    };
    for (const auto& c : cases) {
        if (GetACP() != 1252 && c.package.find('\xE9') != std::string::npos) continue;
        ToolRun run = run_tool_command_line(c.arguments, scratch.path);
        EXPECT_EQ(run.status, 255) << c.package;
        EXPECT_EQ(run.output, "Can't open dir file " + here + c.package + "\n") << c.package;
    }
    // Four arguments after the program name are one too many for /L.
    ToolRun run = run_tool_command_line(L"/L \"a b\" c d", scratch.path);
    EXPECT_EQ(run.output.substr(0, 6), "Usage:");
}

// Names are compared upper-cased by kernel32's mapping, without their
// trailing dots and blanks; a character whose upper case the code page
// lacks stays as it is.
TEST(WindowsNames, NameKeysUpperCaseWithoutUser32) {
    const struct {
        std::string piece, key;
    } cases[] = {{"abc.TXT", "ABC.TXT"}, {"x. . ", "X"}, {"a1_~b", "A1_~B"}, {"", ""}};
    for (const auto& c : cases) {
        std::string key(c.piece.size(), '\0');
        key.resize(platform_name_key(c.piece.data(), c.piece.size(), &key[0]));
        EXPECT_EQ(key, c.key) << c.piece;
    }
    if (GetACP() != 1252) return;
    // e acute and y diaeresis have capitals in 1252; the micro sign's
    // capital, Greek Mu, is not there.
    for (const auto& c : std::vector<std::pair<std::string, std::string>>{
             {"caf\xE9", "CAF\xC9"}, {"\xFF", "\x9F"}, {"\xB5m", "\xB5M"}}) {
        std::string key(c.first.size(), '\0');
        key.resize(platform_name_key(c.first.data(), c.first.size(), &key[0]));
        EXPECT_EQ(key, c.second) << c.first;
    }
}

// Makes `link` a symbolic link to `target`: through the system where it
// makes one, and under wine, whose call makes none, through the host's ln,
// on the drive that wine maps to the host's root.
static bool make_file_link(const std::string& target, const fs::path& link) {
    if (CreateSymbolicLinkW(link.wstring().c_str(), fs::path(target).wstring().c_str(),
                            SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) &&
        fs::exists(link))
        return true;
    const std::wstring ln = L"Z:\\bin\\ln";
    std::wstring command = L"ln -s " + fs::path(target).wstring() + L" " + link.filename().wstring();
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child;
    if (!fs::exists(ln) || !CreateProcessW(ln.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                                           link.parent_path().wstring().c_str(), &startup, &child))
        return false;
    WaitForSingleObject(child.hProcess, 10000);
    CloseHandle(child.hProcess);
    CloseHandle(child.hThread);
    return fs::exists(link);
}

// /C through a link compacts the file the link names, beside that file; the
// link stays, and goes on naming the compacted package.
TEST(WindowsCompact, ThroughALinkCompactsTheFileItNames) {
    ScratchFolder scratch;
    Bytes grown = build_package({{"a", pattern_bytes(3000, 1)}});
    set_row(grown, 0, {static_cast<uint32_t>(grown.size()), 3000});
    const Bytes again = pattern_bytes(3000, 1);
    grown.insert(grown.end(), again.begin(), again.end());
    fs::create_directories(scratch / "real");
    fs::create_directories(scratch / "links");
    write_file(scratch / "real/p.dpk", grown);
    if (!make_file_link("../real/p.dpk", scratch / "links/p.dpk")) GTEST_SKIP() << "no symbolic link can be made here";
    ToolRun run = run_tool({"/C", "links\\p.dpk"}, scratch.path);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, native(scratch / "links/p.dpk") + ": 3000 bytes reclaimed\n");
    EXPECT_EQ(read_file(scratch / "real/p.dpk").size(), grown.size() - 3000);
    EXPECT_TRUE(read_file(scratch / "links/p.dpk") == read_file(scratch / "real/p.dpk"));
    EXPECT_EQ(std::distance(fs::directory_iterator(scratch / "real"), fs::directory_iterator()), 1);
    EXPECT_EQ(std::distance(fs::directory_iterator(scratch / "links"), fs::directory_iterator()), 1);
    // Another run through the link edits the one package, not a copy.
    fs::create_directory(scratch / "loose");
    write_file(scratch / "loose/a", bytes_of("new"));
    run = run_tool({"/P", "links\\p.dpk", "loose"}, scratch.path);
    EXPECT_EQ(run.output, native(scratch / "loose/a") + "\n");
    EXPECT_EQ(read_file(scratch / "real/p.dpk").size(), grown.size() - 3000 + 3);
}

// Before an entry is refused as sharing an earlier entry's loose file, both
// files are open at once: an identity that matches a file no longer open
// (a share that reuses indexes) refuses nothing.
TEST(WindowsNames, SharingIsConfirmedWithBothFilesOpen) {
    ScratchFolder scratch;
    fs::create_directory(scratch / "loose");
    for (const char* name : {"one", "three"}) write_file(scratch / "loose" / name, bytes_of(name));
    write_file(scratch / "pkg", build_package({{"one", {}}, {"ONE", {}}, {"three", {}}}));
    reset_package_state();
    PackageState& state = package_state;
    const std::string folder = native(scratch / "loose") + "\\";
    snprintf(state.package_path, PATH_LIMIT, "%s", native(scratch / "pkg").c_str());
    snprintf(state.folder_path, PATH_LIMIT, "%s", folder.c_str());
    ASSERT_TRUE(open_package(PACKAGE_READ, "Can't open dir file %s\n"));
    ASSERT_TRUE(read_directory_block());
    const struct {
        const char* name;
        uint32_t index;
        bool forge;  // note this file's identity as entry 0's first
        int shared;
    } cases[] = {{"one", 0, false, 0}, {"ONE", 1, false, 1}, {"three", 2, true, 0}};
    for (const auto& c : cases) {
        const std::string path = folder + c.name;
        PlatformFile file;
        uint64_t size;
        ASSERT_EQ(platform_open_read(path.c_str(), &file, &size), OPEN_DONE) << c.name;
        FileIdentity identity;
        ASSERT_TRUE(platform_file_identity(file, &identity));
        if (c.forge) state.loose_owners[{identity.device, identity.index}] = 0;
        EXPECT_EQ(loose_file_shared(file, c.index, folder.c_str(), path.c_str()), c.shared) << c.name;
        EXPECT_EQ(platform_same_file(file, (folder + "one").c_str()), c.index < 2) << c.name;
        platform_close(file);
    }
    close_package();
    reset_package_state();
}

static bool piece_allowed(const std::string& piece) {
    return platform_name_piece_allowed(piece.data(), piece.size(), 0) != 0;
}

// The system keeps COM0 to COM9, LPT0 to LPT9 and the superscripts one to
// three after either (code page 1252: 0xB9, 0xB2, 0xB3) for devices.
TEST(WindowsNames, ZeroAndSuperscriptDeviceNamesAreRefused) {
    for (const char* name : {"COM0", "lpt0.txt", "Com9 .x", "LPT5"}) EXPECT_FALSE(piece_allowed(name)) << name;
    for (const char* name : {"COM10", "COMx", "LPT", "CO", "LPTT1"}) EXPECT_TRUE(piece_allowed(name)) << name;
    if (GetACP() != 1252) return;
    for (const char* name : {"COM\xB9", "lpt\xB2.log", "COM\xB3"}) EXPECT_FALSE(piece_allowed(name)) << name;
    // One quarter is no digit of a device.
    EXPECT_TRUE(piece_allowed("COM\xBC"));
}

// A name that ends in the first byte of a double-byte character would take
// what follows it as its second byte.
TEST(WindowsCodePage932, NamesEndingInALoneLeadByteAreRefused) {
    REQUIRE_CODE_PAGE(932);
    for (const char* name : {"\x83", "a\x83", "\x83\x5C\x83"}) EXPECT_FALSE(piece_allowed(name));
    for (const char* name : {"\x83\x5C", "a\x83\x40", "COM\xB9"}) EXPECT_TRUE(piece_allowed(name));
    // The second byte of "\u30C2" is "a", which upper-casing leaves alone;
    // the full-width "\uFF41" has a capital of the same length.
    for (const auto& c : std::vector<std::pair<std::string, std::string>>{{"\x83\x61x", "\x83\x61X"},
                                                                          {"\x82\x81", "\x82\x60"}}) {
        std::string key(c.first.size(), '\0');
        key.resize(platform_name_key(c.first.data(), c.first.size(), &key[0]));
        EXPECT_EQ(key, c.second) << c.first;
    }
    ScratchFolder scratch;
    write_file(scratch / "pkg", build_package({{"a\x83", bytes_of("x")}}));
    ToolRun run = run_tool({"/E", "pkg", "out"}, scratch.path);
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.output, "Bad entry name " + in_code_page((scratch / "out").wstring(), 932) + "\\a\x83\n");
}

// Under a folder given in the verbatim form the system keeps a trailing dot
// or blank, which most programs could then neither open nor remove.
TEST(WindowsNames, VerbatimFolderGetsNoNamesEndingInDotsOrBlanks) {
    ScratchFolder scratch;
    fs::create_directory(scratch / "out");
    write_file(scratch / "pkg", build_package({{"i.", bytes_of("i")}, {"ok", bytes_of("ok")}, {"e ", bytes_of("e")}}));
    const std::string folder = "\\\\?\\" + native(scratch / "out") + "\\";
    ToolRun run = run_tool({"/E", "pkg", folder}, scratch.path);
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.output, "Can't create file " + folder + "i.\n" + folder + "ok\nCan't create file " + folder + "e \n");
    EXPECT_EQ(read_tree(scratch / "out"), (std::map<std::string, Bytes>{{"ok", bytes_of("ok")}}));
}

// In a folder set to tell letter case apart (as for WSL), the exact open
// does not find a loose file named in other case: the lookup does, as on
// systems whose names never fold. Elsewhere every folder folds.
TEST(WindowsNames, CaseSensitiveFolderIsAskedBeforeRelyingOnFolding) {
    ScratchFolder scratch;
    fs::create_directory(scratch / "loose");
    const std::string folder = native(scratch / "loose") + "\\";
    HANDLE opened = CreateFileW((scratch / "loose").wstring().c_str(), FILE_WRITE_ATTRIBUTES | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                nullptr);
    ASSERT_NE(opened, INVALID_HANDLE_VALUE);
    ULONG case_sensitive = 1;
    const bool set = SetFileInformationByHandle(opened, static_cast<FILE_INFO_BY_HANDLE_CLASS>(23), &case_sensitive,
                                                sizeof case_sensitive);
    CloseHandle(opened);
    EXPECT_EQ(platform_folder_folds_case(folder.c_str()), set ? 0 : 1);
    if (!set) GTEST_SKIP() << "this system sets no folder case-sensitive";
    write_file(scratch / "loose/DATA.BIN", bytes_of("new"));
    write_file(scratch / "pkg", build_package({{"data.bin", bytes_of("old")}}));
    ToolRun run = run_tool({"/P", "pkg", "loose"}, scratch.path);
    EXPECT_EQ(run.output, folder + "DATA.BIN\n");
}
