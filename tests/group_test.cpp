// The group operation, run through the built tool on packages made here.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "test_files.h"

struct GroupTest : ::testing::Test {
    ScratchFolder scratch;
    fs::path package = scratch / "pkg.dat";
    fs::path folder = scratch / "loose";
    GroupTest() { fs::create_directory(folder); }
    ToolRun group() { return run_tool({"/P", package.string(), folder.string()}, scratch.path); }
    std::string line(const std::string& name) const { return native(folder / name) + "\n"; }
};

TEST_F(GroupTest, WorkedExampleAppendsInTableOrder) {
    Bytes old_package = build_package({{"first", bytes_of("1")}, {"second", bytes_of("22")}});
    old_package.resize(500, 0x5A);
    write_file(package, old_package);
    Bytes ten = pattern_bytes(10, 1), twenty = pattern_bytes(20, 2);
    write_file(folder / "first", ten);
    write_file(folder / "second", twenty);

    ToolRun run = group();
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, line("first") + line("second"));
    Bytes now = read_file(package);
    ASSERT_EQ(now.size(), 530u);
    EXPECT_EQ(get_row(now, 0).offset, 500u);
    EXPECT_EQ(get_row(now, 0).size, 10u);
    EXPECT_EQ(get_row(now, 1).offset, 510u);
    EXPECT_EQ(get_row(now, 1).size, 20u);
    EXPECT_EQ(Bytes(now.begin() + 500, now.begin() + 510), ten);
    EXPECT_EQ(Bytes(now.begin() + 510, now.end()), twenty);
    // Everything but the two rows is as it was: header bytes the tool does
    // not interpret, name rows and their tails, old entry bytes.
    Bytes expected(now.begin(), now.begin() + 500);
    for (size_t i = 0; i < 16; i++) expected[get_u32(now, 28) + i] = old_package[get_u32(now, 28) + i];
    EXPECT_EQ(expected, old_package);
}

TEST_F(GroupTest, MissingEmptyDuplicateAndFolderEntries) {
    Bytes old_package = build_package({{"missing", bytes_of("m")},
                                       {"empty", bytes_of("e")},
                                       {"twice", bytes_of("t")},
                                       {"twice", bytes_of("t")},
                                       {"", bytes_of("folder itself")},
                                       {"sub", bytes_of("a sub-folder")},
                                       {"sub\\inner", bytes_of("i")},
                                       {"0123456789abcdef", bytes_of("full")}});
    write_file(package, old_package);
    const uint32_t old_size = static_cast<uint32_t>(old_package.size());
    write_file(folder / "empty", {});
    write_file(folder / "twice", bytes_of("TT"));
    fs::create_directory(folder / "sub");
    write_file(folder / "sub/inner", bytes_of("III"));
    write_file(folder / "0123456789abcdef", bytes_of("16"));

    ToolRun run = group();
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, line("empty") + line("twice") + line("twice") + line("sub/inner") + line("0123456789abcdef"));
    Bytes now = read_file(package);
    const FixtureRow expected[] = {get_row(old_package, 0),
                                   {old_size, 0},
                                   {old_size, 2},
                                   {old_size + 2, 2},
                                   get_row(old_package, 4),
                                   get_row(old_package, 5),
                                   {old_size + 4, 3},
                                   {old_size + 7, 2}};
    for (uint32_t i = 0; i < 8; i++) {
        EXPECT_EQ(get_row(now, i).offset, expected[i].offset) << i;
        EXPECT_EQ(get_row(now, i).size, expected[i].size) << i;
    }
    EXPECT_EQ(text_of(Bytes(now.begin() + old_size, now.end())), "TTTTIII16");
}

TEST_F(GroupTest, NothingFoundOrNoEntriesLeavesThePackageAsItWas) {
    // Without entries no name row is read, wherever the name table is said to lie.
    Bytes names_anywhere = build_package({});
    put_u32(names_anywhere, 20, 0xFFFFFFF0u);
    for (const Bytes& old_package : {build_package({{"a", bytes_of("x")}}), build_package({}), names_anywhere}) {
        write_file(package, old_package);
        ToolRun run = group();
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.output, "");
        EXPECT_EQ(read_file(package), old_package);
    }
}

TEST_F(GroupTest, SecondRunAppendsSecondCopies) {
    write_file(package, build_package({{"a", {}}}));
    write_file(folder / "a", bytes_of("abc"));
    ASSERT_EQ(group().status, 0);
    size_t first_size = read_file(package).size();
    ASSERT_EQ(group().status, 0);
    Bytes now = read_file(package);
    EXPECT_EQ(now.size(), first_size + 3);
    EXPECT_EQ(get_row(now, 0).offset, first_size);
}

TEST_F(GroupTest, MalformedPackagesAreRefusedUnchanged) {
    Bytes sound = build_package({{"a", bytes_of("x")}, {"b", bytes_of("y")}});
    Bytes short_header(20, 1);
    Bytes block_past_end = sound;
    put_u32(block_past_end, 28, static_cast<uint32_t>(sound.size()));
    Bytes block_wraps = sound;
    put_u32(block_wraps, 16, 0x20000000);
    put_u32(block_wraps, 28, 0);
    Bytes names_outside = sound;
    put_u32(names_outside, 20, get_u32(sound, 28) - 24);
    write_file(folder / "a", bytes_of("new"));
    for (const Bytes& bad : {Bytes(), short_header, block_past_end, block_wraps, names_outside}) {
        write_file(package, bad);
        ToolRun run = group();
        EXPECT_EQ(run.status, 255) << bad.size();
        EXPECT_EQ(run.output, "Bad package file " + package.string() + "\n");
        EXPECT_EQ(read_file(package), bad);
    }
}

TEST_F(GroupTest, NamesThatLeaveTheFolderAreSkipped) {
    fs::create_directory(scratch / "outside");
    write_file(scratch / "outside/sec", bytes_of("secret"));
    write_file(folder / "ok", bytes_of("fine"));
    Bytes old_package = build_package({{"..\\outside\\sec", {}}, {"../outside/sec", {}}, {"ok", {}}});
    write_file(package, old_package);
    ToolRun run = group();
    // The rest is grouped all the same; the entries passed over fail the run.
    EXPECT_EQ(run.status, 255);
    // Backslashes and slashes in a name become the system's separator.
    EXPECT_EQ(run.output, "Bad entry name " + line("../outside/sec") + "Bad entry name " + line("../outside/sec") +
                              line("ok"));
    Bytes now = read_file(package);
    EXPECT_EQ(get_row(now, 0).offset, get_row(old_package, 0).offset);
    EXPECT_EQ(get_row(now, 1).offset, get_row(old_package, 1).offset);
    EXPECT_EQ(text_of(Bytes(now.begin() + static_cast<long>(old_package.size()), now.end())), "fine");
}

TEST_F(GroupTest, LoosePathPastTheLimitSkipsItsEntry) {
    fs::path deep = scratch.path;
    while (deep.string().size() < 245) deep /= "dddddddddd";
    fs::create_directories(deep);
    write_file(package, build_package({{"0123456789abcdef", {}}, {"a", {}}}));
    write_file(deep / "a", bytes_of("x"));
    ToolRun run = run_tool({"/p", package.string(), deep.string()}, scratch.path);
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(get_row(read_file(package), 1).size, 1u);
    EXPECT_EQ(run.output, "Path too long " + (deep / "0123456789abcdef").string() + "\n" + (deep / "a").string() + "\n");
}

// A copy may end at 2^31 - 1 bytes and not one byte later. A refused copy
// cuts the package back to its length before the run, undoing the copies
// the run appended before it too. The packages are sparse: nothing is
// written below their old end.
TEST_F(GroupTest, AppendPastTwoGibibytesIsRefusedAndUndone) {
    const uint64_t LIMIT = 0x7FFFFFFF;
    const struct {
        const char* what;
        uint64_t old_size;
        int a_size, b_size;  // loose file sizes; -1: none
        int taken;           // how many copies stay
    } cases[] = {
        {"one copy ends at the limit", LIMIT - 16, 16, -1, 1},
        {"one copy passes it by a byte", LIMIT - 16, 17, -1, 0},
        {"one copy passes it by half its size", LIMIT - 8, 16, -1, 0},
        {"two copies end at the limit", LIMIT - 16, 8, 8, 2},
        {"the second copy passes it by a byte", LIMIT - 16, 8, 9, 0},
        {"an empty file at the limit, then a byte", LIMIT, 0, 1, 0},
    };
    const Bytes old_package = build_package({{"a", {}}, {"b", {}}});
    auto read_at = [&](uint64_t offset, size_t size) {
        std::ifstream in(package, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(offset));
        Bytes bytes(size);
        in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size));
        return bytes;
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        write_file(package, old_package);
        fs::resize_file(package, c.old_size);
        std::string expected;
        uint64_t end = c.old_size;
        std::vector<FixtureRow> rows;
        const int sizes[] = {c.a_size, c.b_size};
        for (int i = 0; i < 2; i++) {
            const fs::path loose = folder / (i == 0 ? "a" : "b");
            fs::remove(loose);
            rows.push_back(get_row(old_package, static_cast<uint32_t>(i)));
            if (sizes[i] < 0) continue;
            write_file(loose, pattern_bytes(static_cast<size_t>(sizes[i]), i + 1));
            if (end + static_cast<uint64_t>(sizes[i]) > LIMIT) {
                expected += "File too large for package " + loose.string() + "\n";
                // The path printed before is taken back.
                if (i > 0) expected += "Data file " + package.string() + " left as it was\n";
                break;
            }
            expected += loose.string() + "\n";
            rows.back() = FixtureRow{static_cast<uint32_t>(end), static_cast<uint32_t>(sizes[i])};
            end += static_cast<uint64_t>(sizes[i]);
        }
        ToolRun run = group();
        EXPECT_EQ(run.output, expected);
        EXPECT_EQ(run.status, c.taken > 0 ? 0 : 255);
        const Bytes block = read_at(0, old_package.size());
        for (int i = 0; i < 2; i++) {
            const FixtureRow row = get_row(block, static_cast<uint32_t>(i));
            const FixtureRow want = c.taken > 0 ? rows[i] : get_row(old_package, static_cast<uint32_t>(i));
            EXPECT_EQ(row.offset, want.offset) << i;
            EXPECT_EQ(row.size, want.size) << i;
            if (i < c.taken) {
                EXPECT_EQ(read_at(row.offset, row.size), pattern_bytes(row.size, i + 1)) << i;
            }
        }
        EXPECT_EQ(fs::file_size(package), c.taken > 0 ? end : c.old_size);
    }
}

// Root ignores mode bits, so the file is made immutable instead.
TEST_F(GroupTest, PackageThatCannotBeWrittenIsNotOpened) {
    SKIP_ON_WINDOWS("needs Linux's chattr");
    Bytes old_package = build_package({{"a", {}}});
    write_file(package, old_package);
    write_file(folder / "a", bytes_of("x"));
    if (std::system(("chattr +i '" + package.string() + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "chattr +i is not permitted here";
    ToolRun run = group();
    std::system(("chattr -i '" + package.string() + "'").c_str());
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.output, "Can't create data file " + package.string() + "\n");
    EXPECT_EQ(read_file(package), old_package);
}

TEST_F(GroupTest, FullDiskStopsAndCutsThePackageBack) {
    SKIP_ON_WINDOWS("needs a small Linux tmpfs mount");
    fs::path disk = scratch / "disk";
    fs::create_directory(disk);
    if (std::system(("mount -t tmpfs -o size=512k tmpfs '" + disk.string() + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "mounting a small tmpfs is not permitted here";
    package = disk / "pkg.dat";
    Bytes old_package = build_package({{"small", {}}, {"big", {}}, {"after", {}}});
    write_file(package, old_package);
    write_file(folder / "small", pattern_bytes(100000, 4));
    write_file(folder / "big", pattern_bytes(600000, 5));
    write_file(folder / "after", pattern_bytes(10, 6));
    ToolRun run = group();
    Bytes now = read_file(package);
    std::system(("umount '" + disk.string() + "'").c_str());
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.output, line("small") + "Can't write data file " + package.string() + "\nData file " +
                              package.string() + " left as it was\n");
    EXPECT_EQ(now, old_package);
}
