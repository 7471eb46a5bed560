// Runs that meet: the package lock, and output that cannot be written.
#include <gtest/gtest.h>

#include <future>

#include "test_files.h"
#include "util/platform.h"

struct LockTest : ::testing::Test {
    ScratchFolder scratch;
    fs::path package = scratch / "pkg.dat";
    fs::path folder = scratch / "loose";
    Bytes original = build_package({{"first", bytes_of("old first")}, {"second", bytes_of("old second")}});
    LockTest() {
        write_file(package, original);
        fs::create_directory(folder);
    }
};

// Another run holds the package while vantrel starts: a writer (/P, /U,
// /C) shares it with nobody, readers (/E, /L) share it with each other.
// Nothing waits.
TEST_F(LockTest, HeldPackageRefusesWhatItCannotShareAtOnce) {
    struct Case {
        PackageAccess held;
        std::vector<std::string> arguments;
        bool refused;
    };
    const fs::path out = scratch / "out";
    const std::string pkg = package.string(), loose = folder.string();
    const Case cases[] = {{PACKAGE_UPDATE, {"/P", pkg, loose}, true}, {PACKAGE_UPDATE, {"/U", pkg, loose}, true},
                          {PACKAGE_UPDATE, {"/C", pkg}, true},        {PACKAGE_UPDATE, {"/E", pkg, out.string()}, true},
                          {PACKAGE_UPDATE, {"/L", pkg}, true},        {PACKAGE_READ, {"/P", pkg, loose}, true},
                          {PACKAGE_READ, {"/U", pkg, loose}, true},   {PACKAGE_READ, {"/C", pkg}, true},
                          {PACKAGE_READ, {"/L", pkg, loose}, false},  {PACKAGE_READ, {"/E", pkg, out.string()}, false}};
    original.resize(original.size() + 100, 0x55);  // dead bytes for /C
    write_file(package, original);
    write_file(folder / "first", bytes_of("new first"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments[0] + (c.held == PACKAGE_UPDATE ? " against a writer" : " against a reader"));
        fs::remove_all(out);
        PlatformFile held;
        uint64_t size;
        ASSERT_EQ(platform_open_package(native(package).c_str(), c.held, &held, &size), OPEN_DONE);
        ToolRun run = run_tool(c.arguments, scratch.path);
        platform_close(held);
        EXPECT_TRUE(read_file(package) == original);
        EXPECT_EQ(run.status, c.refused ? 255 : 0) << run.output;
        if (c.refused) {
            EXPECT_EQ(run.output, "Data file " + native(package) + " is in use\n");
            EXPECT_FALSE(fs::exists(out));
        }
    }
    EXPECT_TRUE(read_file(out / "second") == bytes_of("old second"));  // the last run, /E beside a reader
}

// Two groups at once, from two folders: each row must end up pointing at a
// whole copy from one side, and all changed rows from the same side, or
// the runs wrote over each other's copies.
TEST_F(LockTest, ConcurrentGroupsNeverMixTheirCopies) {
    const size_t ENTRY_COUNT = 8;
    std::vector<FixtureEntry> entries;
    for (size_t i = 0; i < ENTRY_COUNT; i++) entries.push_back({"entry" + std::to_string(i), bytes_of("old")});
    original = build_package(entries);
    const fs::path folders[2] = {scratch / "a", scratch / "b"};
    std::vector<Bytes> content[2];
    for (int side = 0; side < 2; side++) {
        fs::create_directory(folders[side]);
        for (size_t i = 0; i < ENTRY_COUNT; i++) {
            content[side].push_back(pattern_bytes(256 << 10, static_cast<unsigned>(side * 100 + i)));
            write_file(folders[side] / entries[i].name, content[side][i]);
        }
    }
    const std::string in_use = "Data file " + native(package) + " is in use\n";
    int refusals = 0;
    for (int trial = 0; trial < 12; trial++) {
        SCOPED_TRACE("trial " + std::to_string(trial));
        write_file(package, original);
        std::future<ToolRun> runs[2];
        for (int side = 0; side < 2; side++)
            runs[side] = std::async(std::launch::async, [&, side] {
                return run_tool({"/P", package.string(), folders[side].string()}, scratch.path);
            });
        bool succeeded[2];
        for (int side = 0; side < 2; side++) {
            ToolRun run = runs[side].get();
            succeeded[side] = run.status == 0;
            if (!succeeded[side]) {
                EXPECT_EQ(run.status, 255);
                EXPECT_EQ(run.output, in_use);
                refusals++;
            }
        }
        EXPECT_TRUE(succeeded[0] || succeeded[1]);
        Bytes now = read_file(package);
        int winner = -1;
        for (size_t i = 0; i < ENTRY_COUNT; i++) {
            FixtureRow row = get_row(now, static_cast<uint32_t>(i));
            ASSERT_LE(uint64_t{row.offset} + row.size, now.size());
            Bytes bytes(now.begin() + row.offset, now.begin() + row.offset + row.size);
            int side = bytes == content[0][i] ? 0 : bytes == content[1][i] ? 1 : -1;
            ASSERT_NE(side, -1) << "row " << i << " holds a mix of both sides' bytes";
            if (winner == -1) winner = side;
            EXPECT_EQ(side, winner) << "row " << i;
        }
        EXPECT_TRUE(succeeded[winner]);
    }
    // Not a requirement of any one trial, but twelve without a single overlap
    // would mean the test proved nothing about the lock.
    EXPECT_GT(refusals, 0);
}

// With standard output a pipe nobody reads, the operation still runs to its
// end; only the status tells that its lines were lost.
TEST(ClosedOutput, OperationRunsToItsEndAndFails) {
#ifdef _WIN32
    GTEST_SKIP() << "the closed-pipe run is started the POSIX way";
#else
    ScratchFolder scratch;
    const fs::path package = scratch / "pkg.dat", folder = scratch / "loose", out = scratch / "out";
    std::vector<FixtureEntry> entries;
    for (int i = 0; i < 300; i++) entries.push_back({"entry" + std::to_string(i), pattern_bytes(100, i)});
    write_file(package, build_package(entries));
    fs::create_directory(folder);
    for (const FixtureEntry& entry : entries) write_file(folder / entry.name, bytes_of("new " + entry.name));

    EXPECT_EQ(run_binary_into_closed_pipe(tool_path(), {"/P", package.string(), folder.string()}, scratch.path), 255);
    Bytes now = read_file(package);
    for (uint32_t i = 0; i < entries.size(); i++) {
        FixtureRow row = get_row(now, i);
        ASSERT_LE(uint64_t{row.offset} + row.size, now.size());
        EXPECT_EQ(text_of(Bytes(now.begin() + row.offset, now.begin() + row.offset + row.size)),
                  "new " + entries[i].name);
    }
    EXPECT_EQ(run_binary_into_closed_pipe(tool_path(), {"/E", package.string(), out.string()}, scratch.path), 255);
    for (const FixtureEntry& entry : entries) EXPECT_EQ(text_of(read_file(out / entry.name)), "new " + entry.name);
#endif
}
