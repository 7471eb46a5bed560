// What only Windows has: drive letters, both kinds of slash, CR LF line
// ends, the names the system keeps for devices and the names it folds
// together, deep folders, code pages, sharing and mapping, and the command
// interpreter's program lookup and batch files.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <thread>

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
// pointer would have taken for the length.
TEST(WindowsInterrupt, CutBackTakesTheLengthWhateverTheFilePointer) {
    ScratchFolder scratch;
    write_file(scratch / "pkg", pattern_bytes(1 << 20, 3));
    PlatformFile file;
    uint64_t size;
    ASSERT_EQ(platform_open_package(native(scratch / "pkg").c_str(), PACKAGE_UPDATE, &file, &size), OPEN_DONE);
    std::atomic<bool> stop{false};
    // Reads of one byte move the pointer most often: a cut at the pointer
    // then misses the length a few times in a thousand rounds under wine.
    std::thread reader([&] {
        char byte;
        while (!stop) platform_read_at(file, 900000, &byte, 1);
    });
    for (int round = 0; round < 5000; round++) {
        ASSERT_TRUE(platform_truncate(file, 1 << 20));
        ASSERT_TRUE(platform_truncate(file, 1000));
        LARGE_INTEGER now;
        GetFileSizeEx(reinterpret_cast<HANDLE>(file), &now);
        ASSERT_EQ(now.QuadPart, 1000) << "round " << round;
    }
    stop = true;
    reader.join();
    platform_close(file);
}

// A failed group cuts the package back; when another program maps it, the
// system refuses, and the run says so. The old directory block stays.
TEST(WindowsSharing, MappedPackageThatCannotBeCutBackIsReported) {
    ScratchFolder scratch;
    const fs::path package = scratch / "pkg", folder = scratch / "loose";
    const Bytes original = build_package({{"free", bytes_of("old")}, {"held", bytes_of("old")}});
    write_file(package, original);
    fs::create_directory(folder);
    write_file(folder / "free", bytes_of("fresh"));
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
    EXPECT_EQ(now.size(), original.size() + 5);
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
