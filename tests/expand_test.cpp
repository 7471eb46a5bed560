// The expand operation, run through the built tool on packages made here.
#include <gtest/gtest.h>

#include <cstdlib>

#include "test_files.h"

struct ExpandTest : ::testing::Test {
    ScratchFolder scratch;
    fs::path package = scratch / "pkg.dat";
    fs::path folder = scratch / "out";
    ToolRun expand() { return run_tool({"/E", package.string(), folder.string()}, scratch.path); }
    std::string line(const std::string& name) const { return native(folder / name) + "\n"; }
    size_t files_below(const fs::path& root) const {
        return static_cast<size_t>(std::distance(fs::recursive_directory_iterator(root), fs::recursive_directory_iterator()));
    }
};

TEST_F(ExpandTest, WritesEveryEntryCreatingFoldersAsNamesNeed) {
    const std::vector<FixtureEntry> entries = {{"top.bin", pattern_bytes(3000, 1)},
                                               {"empty", {}},
                                               {"a\\b\\deep", pattern_bytes(70000, 2)},
                                               {"0123456789abcdef", bytes_of("sixteen")},
                                               {"big", pattern_bytes(3 << 20, 3)}};
    write_file(package, build_package(entries));
    folder = scratch / "not/yet/there";
    ToolRun run = expand();
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, line("top.bin") + line("empty") + line("a/b/deep") + line("0123456789abcdef") + line("big"));
    EXPECT_EQ(read_file(folder / "top.bin"), entries[0].data);
    EXPECT_TRUE(fs::is_regular_file(folder / "empty"));
    EXPECT_EQ(fs::file_size(folder / "empty"), 0u);
    EXPECT_EQ(read_file(folder / "a/b/deep"), entries[2].data);
    EXPECT_EQ(read_file(folder / "0123456789abcdef"), entries[3].data);
    EXPECT_EQ(read_file(folder / "big"), entries[4].data);
}

TEST_F(ExpandTest, ExistingFilesAreNeverOverwritten) {
    write_file(package, build_package({{"same", bytes_of("first")}, {"same", bytes_of("second")}}));
    ToolRun run = expand();
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, line("same") + "File " + (folder / "same").string() + " alredy exists\n");
    EXPECT_EQ(text_of(read_file(folder / "same")), "first");
    run = expand();
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, "File " + (folder / "same").string() + " alredy exists\nFile " + (folder / "same").string() +
                              " alredy exists\n");
    EXPECT_EQ(text_of(read_file(folder / "same")), "first");
}

TEST_F(ExpandTest, EntriesNamingFoldersCannotBeCreated) {
    fs::create_directories(folder / "sub");
    write_file(package, build_package({{"", bytes_of("x")}, {"sub", bytes_of("y")}, {"ok", bytes_of("z")}}));
    ToolRun run = expand();
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.output, "Can't create file " + line("") + "Can't create file " + line("sub") + line("ok"));
}

TEST_F(ExpandTest, PackageThatCannotBeOpenedOrIsMalformed) {
    ToolRun run = expand();
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.output, "Can't open dir file " + package.string() + "\n");
    Bytes sound = build_package({{"a", bytes_of("x")}});
    Bytes block_past_end = sound;
    put_u32(block_past_end, 16, 1000);
    Bytes names_outside = sound;
    put_u32(names_outside, 20, static_cast<uint32_t>(sound.size()));
    for (const Bytes& bad : {Bytes(), Bytes(31, 0), block_past_end, names_outside}) {
        write_file(package, bad);
        run = expand();
        EXPECT_EQ(run.status, 255) << bad.size();
        EXPECT_EQ(run.output, "Bad package file " + package.string() + "\n");
    }
    EXPECT_FALSE(fs::exists(folder));
}

// A row is checked after the output file's existence, and an empty entry
// needs no bytes of the package.
TEST_F(ExpandTest, EntryPastTheEndIsNotWrittenButOthersAre) {
    Bytes bytes = build_package({{"cut", bytes_of("abcdef")},
                                 {"wraps", bytes_of("g")},
                                 {"fine", bytes_of("h")},
                                 {"kept", bytes_of("i")},
                                 {"far empty", {}}});
    const uint32_t table = get_u32(bytes, 28);
    put_u32(bytes, table + 4, 100);
    put_u32(bytes, table + 8, 0xFFFFFFFF);
    put_u32(bytes, table + 24, 0xFFFFFFF0);
    put_u32(bytes, table + 32, 0xFFFFFFF0);
    write_file(package, bytes);
    fs::create_directories(folder);
    write_file(folder / "kept", bytes_of("mine"));
    ToolRun run = expand();
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.output, "Bad entry data " + (folder / "cut").string() + "\nBad entry data " +
                              (folder / "wraps").string() + "\n" + line("fine") + "File " + (folder / "kept").string() +
                              " alredy exists\n" + line("far empty"));
    EXPECT_FALSE(fs::exists(folder / "cut"));
    EXPECT_FALSE(fs::exists(folder / "wraps"));
    EXPECT_EQ(text_of(read_file(folder / "kept")), "mine");
    EXPECT_TRUE(fs::is_regular_file(folder / "far empty"));
    EXPECT_EQ(fs::file_size(folder / "far empty"), 0u);

    Bytes no_entries = build_package({});
    put_u32(no_entries, 20, 0xFFFFFFF0u);
    write_file(package, no_entries);
    fs::remove_all(folder);
    run = expand();
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, "");
    EXPECT_FALSE(fs::exists(folder));
}

TEST_F(ExpandTest, NamesThatLeaveTheFolderCreateNothingOutsideIt) {
    folder = scratch / "deep/out";
    fs::create_directories(folder);
    write_file(package, build_package({{"..\\evil", bytes_of("1")},
                                       {"a\\..\\..\\evil", bytes_of("2")},
                                       {"new\\..\\..\\x\\y", bytes_of("3")},
                                       {"..", bytes_of("4")},
                                       {"fine", bytes_of("5")}}));
    ToolRun run = expand();
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.output, "Bad entry name " + line("../evil") + "Bad entry name " + line("a/../../evil") +
                              "Bad entry name " + line("new/../../x/y") + "Bad entry name " + line("..") + line("fine"));
    EXPECT_EQ(files_below(scratch / "deep"), 2u);
}

TEST_F(ExpandTest, LinksAtOutputPathsAreNeverFollowed) {
    SKIP_ON_WINDOWS("the Windows C++ runtime makes no symbolic links");
    fs::create_directories(folder);
    fs::create_symlink(scratch / "target", folder / "dangling");
    write_file(package, build_package({{"dangling", bytes_of("payload")}}));
    ToolRun run = expand();
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.output, "Can't create file " + (folder / "dangling").string() + "\n");
    EXPECT_FALSE(fs::exists(scratch / "target"));
}

TEST_F(ExpandTest, ExpandThenGroupGivesEveryEntryACopyOfTheSameBytes) {
    const std::vector<FixtureEntry> entries = {
        {"one", pattern_bytes(100, 1)}, {"sub\\two", pattern_bytes(5000, 2)}, {"three", {}}};
    Bytes original = build_package(entries);
    write_file(package, original);
    ASSERT_EQ(expand().status, 0);
    ToolRun run = run_tool({"/P", package.string(), folder.string()}, scratch.path);
    EXPECT_EQ(run.status, 0);
    Bytes now = read_file(package);
    for (uint32_t i = 0; i < entries.size(); i++) {
        FixtureRow row = get_row(now, i);
        EXPECT_GE(row.offset, original.size());
        EXPECT_EQ(Bytes(now.begin() + row.offset, now.begin() + row.offset + row.size), entries[i].data) << i;
    }
}

TEST_F(ExpandTest, FailedWriteRemovesThePartialFile) {
    SKIP_ON_WINDOWS("needs a small Linux tmpfs mount");
    fs::create_directories(folder);
    if (std::system(("mount -t tmpfs -o size=256k tmpfs '" + folder.string() + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "mounting a small tmpfs is not permitted here";
    write_file(package, build_package({{"small", pattern_bytes(1000, 1)},
                                       {"huge", pattern_bytes(2 << 20, 2)},
                                       {"medium", pattern_bytes(400 << 10, 3)}}));
    ToolRun run = expand();
    bool huge_left = fs::exists(folder / "huge"), medium_left = fs::exists(folder / "medium");
    Bytes small = read_file(folder / "small");
    std::system(("umount '" + folder.string() + "'").c_str());
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.output, line("small") + "Can't write file " + (folder / "huge").string() + "\nCan't write file " +
                              (folder / "medium").string() + "\n");
    EXPECT_FALSE(huge_left);
    EXPECT_FALSE(medium_left);
    EXPECT_EQ(small, pattern_bytes(1000, 1));
}

// The run holds the loose folder open and creates each file by its path
// below it, so the descriptors it needs do not grow with the folders; links
// to sub-folders are still followed.
TEST_F(ExpandTest, ManyFoldersUnderATightDescriptorLimitAreAllWritten) {
    SKIP_ON_WINDOWS("ulimit is a POSIX shell's");
    std::vector<FixtureEntry> entries;
    for (int i = 0; i < 600; i++)
        entries.push_back({"d" + std::to_string(i % 300) + "\\f" + std::to_string(i), bytes_of(std::to_string(i))});
    entries.push_back({"linked\\inside", bytes_of("through the link")});
    write_file(package, build_package(entries));
    fs::create_directories(folder);
    fs::create_directory(scratch / "elsewhere");
    fs::create_directory_symlink(scratch / "elsewhere", folder / "linked");
    ToolRun run = run_binary("/bin/sh", {"-c", "ulimit -n 16 && exec \"$0\" /E \"$1\" \"$2\"", tool_path(),
                                         package.string(), folder.string()},
                             scratch.path);
    EXPECT_EQ(run.status, 0) << run.output.substr(0, 500);
    std::string expected;
    size_t written = 0;
    for (const FixtureEntry& entry : entries) {
        std::string name = entry.name;
        name[name.find('\\')] = '/';
        expected += line(name);
        written += fs::exists(folder / name) && read_file(folder / name) == entry.data;
    }
    EXPECT_EQ(run.output, expected);
    EXPECT_EQ(written, entries.size());
    EXPECT_EQ(text_of(read_file(scratch / "elsewhere/inside")), "through the link");
}

// Entries side by side are read a block of 256 KiB at a time: bytes on
// either side of a block's end must come from the package, whatever the
// entry that straddles it. Each layout is expanded, then updated from the
// files written (nothing differs), then updated with the last byte of the
// last entry changed (that one entry differs).
TEST_F(ExpandTest, EntriesAcrossBlockEndsAreWrittenAndComparedWhole) {
    const size_t block = 256 << 10, step = 64 << 10;
    std::vector<size_t> run_of_small;
    for (size_t i = 0, total = 0; total < 3 * block; i++, total += run_of_small.back())
        run_of_small.push_back(1 + (i * 7919) % 4000);
    const struct {
        const char* what;
        std::vector<size_t> sizes;  // the first entry is read alone; the block starts at the second
    } cases[] = {
        {"the last entry one byte past the block's end", {10, step, step, step, step - 1, 2}},
        {"the last entry ending at the block's end", {10, step, step, step, step - 2, 2}},
        {"the last entry starting at the block's end", {10, step, step, step, step, 2}},
        {"an entry as large as a block, then a small one", {10, block - 1, 2}},
        {"an entry larger than a block among small ones", {10, 3, block + 5, 7, 3}},
        {"small entries over three blocks", run_of_small},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<FixtureEntry> entries;
        for (size_t i = 0; i < c.sizes.size(); i++)
            entries.push_back({"e" + std::to_string(i), pattern_bytes(c.sizes[i], static_cast<unsigned>(i) + 1)});
        // Never 0, so that a byte the block does not hold shows.
        entries.back().data.assign(c.sizes.back(), 0xAB);
        const Bytes original = build_package(entries);
        write_file(package, original);
        fs::remove_all(folder);
        ToolRun run = expand();
        ASSERT_EQ(run.status, 0) << run.output;
        for (const FixtureEntry& entry : entries) ASSERT_TRUE(read_file(folder / entry.name) == entry.data) << entry.name;

        run = run_tool({"/U", package.string(), folder.string()}, scratch.path);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.output, "");
        EXPECT_TRUE(read_file(package) == original);

        Bytes edited = entries.back().data;
        edited.back() = 0xCD;
        write_file(folder / entries.back().name, edited);
        run = run_tool({"/U", package.string(), folder.string()}, scratch.path);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.output, line(entries.back().name));
    }
}

// Large entries whose bytes lie at another place within a page than where
// their files start (copied through a pipe), at an aligned offset (copied by
// copy_file_range) and small enough for one step: every copy of expand,
// group and compact keeps them byte for byte.
TEST_F(ExpandTest, LargeEntriesAtEveryAlignmentKeepTheirBytes) {
    const size_t page = 4096, data_start = 32 + 5 * 32;
    std::vector<FixtureEntry> entries = {{"lead", pattern_bytes(100, 1)},
                                         {"skewed", pattern_bytes((3 << 20) + 77, 2)},
                                         {"filler", {}},
                                         {"aligned", pattern_bytes(3 << 19, 3)},
                                         {"sub\\tail", pattern_bytes(70005, 4)}};
    const size_t filler_start = data_start + entries[0].data.size() + entries[1].data.size();
    entries[2].data = pattern_bytes(page - filler_start % page, 5);
    Bytes original = build_package(entries);
    ASSERT_NE(get_row(original, 1).offset % page, 0u);
    ASSERT_EQ(get_row(original, 3).offset % page, 0u);
    write_file(package, original);
    const std::map<std::string, Bytes> expected = {{"lead", entries[0].data},    {"skewed", entries[1].data},
                                                   {"filler", entries[2].data},  {"aligned", entries[3].data},
                                                   {"sub/tail", entries[4].data}};
    ASSERT_EQ(expand().status, 0);
    EXPECT_TRUE(read_tree(folder) == expected);

    // Group appends every file at the package's end, which lies elsewhere
    // within a page than where the files start.
    ASSERT_EQ(run_tool({"/P", package.string(), folder.string()}, scratch.path).status, 0);
    ASSERT_EQ(run_tool({"/C", package.string()}, scratch.path).status, 0);
    fs::remove_all(folder);
    ASSERT_EQ(expand().status, 0);
    EXPECT_TRUE(read_tree(folder) == expected);
}
