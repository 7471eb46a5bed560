// The edit cycle: expand once, then list and group changed files for each
// edit, and compact when the package has dead bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

#include "test_files.h"
#include "util/platform.h"

static std::vector<std::string> output_lines(const ToolRun& run) {
    std::vector<std::string> lines;
    std::istringstream in(run.output);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

static size_t count_marks(const ToolRun& listing, char mark) {
    size_t count = 0;
    for (const std::string& line : output_lines(listing)) count += line.size() > 2 && line[0] == mark && line[1] == ' ';
    return count;
}

struct EditCycleTest : ::testing::Test {
    ScratchFolder scratch;
    fs::path package = scratch / "game.dpk";
    fs::path work = scratch / "work";
    std::vector<FixtureEntry> entries = {{"title.txt", pattern_bytes(3000, 1)},
                                         {"maps\\level1.map", pattern_bytes(70000, 2)},
                                         {"maps\\level2.map", pattern_bytes(5000, 3)},
                                         {"empty", {}},
                                         {"music.ogg", pattern_bytes(200000, 4)}};
    EditCycleTest() { write_file(package, build_package(entries)); }
    ToolRun tool(const std::string& option, const fs::path& folder) {
        return run_tool({option, package.string(), folder.string()}, scratch.path);
    }
    ToolRun tool(const std::string& option) { return run_tool({option, package.string()}, scratch.path); }
    // No temporary file of a compaction stays behind.
    void expect_only_the_package_beside_it() {
        for (const fs::directory_entry& item : fs::directory_iterator(scratch.path))
            if (item.is_regular_file()) {
                EXPECT_EQ(item.path(), package) << "left behind";
            }
    }
};

TEST_F(EditCycleTest, UpdateAppendsOnlyTheEditedFileAndListShowsIt) {
    ASSERT_EQ(tool("/E", work).status, 0);
    // One byte changed at the same size, then a new size, then one byte again.
    const char* edited[] = {"maps/level1.map", "title.txt", "music.ogg"};
    for (int round = 0; round < 3; round++) {
        SCOPED_TRACE(edited[round]);
        Bytes content = read_file(work / edited[round]);
        if (round == 1) content.push_back('!');
        content[content.size() / 2] ^= 0x55;
        write_file(work / edited[round], content);

        ToolRun before = tool("/L", work);
        EXPECT_EQ(before.status, 0);
        EXPECT_EQ(count_marks(before, 'M'), 1u) << before.output;
        EXPECT_EQ(count_marks(before, '='), entries.size() - 1) << before.output;
        EXPECT_NE(before.output.find(", 1 changed\n"), std::string::npos);

        const uintmax_t size_before = fs::file_size(package);
        ToolRun update = tool("/U", work);
        EXPECT_EQ(update.status, 0);
        EXPECT_EQ(update.output, native(work / edited[round]) + "\n");
        EXPECT_EQ(fs::file_size(package), size_before + content.size());

        ToolRun after = tool("/L", work);
        EXPECT_EQ(count_marks(after, 'M'), 0u) << after.output;
        EXPECT_NE(after.output.find(", 0 changed\n"), std::string::npos);
    }
    // Nothing changed: the package is not written, not even its time stamp.
    const Bytes settled = read_file(package);
    const fs::file_time_type stamp = fs::last_write_time(package);
    ToolRun idle = tool("/u", work);
    EXPECT_EQ(idle.status, 0);
    EXPECT_EQ(idle.output, "");
    EXPECT_TRUE(read_file(package) == settled);
    EXPECT_EQ(fs::last_write_time(package), stamp);
}

TEST_F(EditCycleTest, CompactBringsADoubledPackageBackAndKeepsEveryEntry) {
    ASSERT_EQ(tool("/E", work).status, 0);
    const uintmax_t live_size = fs::file_size(package);
    ASSERT_EQ(tool("/P", work).status, 0);
    ASSERT_EQ(tool("/P", work).status, 0);
    const uintmax_t doubled_size = fs::file_size(package);
    ASSERT_GT(doubled_size, 2 * live_size - 1000);
    ToolRun listing = tool("/L");
    EXPECT_EQ(output_lines(listing).back(), std::to_string(entries.size()) + " entries, " +
                                                std::to_string(doubled_size) + " bytes, " +
                                                std::to_string(doubled_size - live_size) + " unreferenced");
    ASSERT_EQ(tool("/E", scratch / "before").status, 0);

    ToolRun compact = tool("/C");
    EXPECT_EQ(compact.status, 0);
    const uintmax_t compacted_size = fs::file_size(package);
    EXPECT_EQ(compact.output,
              native(package) + ": " + std::to_string(doubled_size - compacted_size) + " bytes reclaimed\n");
    // Alignment may cost a little padding per entry, never more.
    EXPECT_GE(compacted_size, live_size);
    EXPECT_LT(compacted_size, live_size + 2048 * entries.size());
    expect_only_the_package_beside_it();

    const Bytes compacted = read_file(package);
    ToolRun again = tool("/c");
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.output, native(package) + ": 0 bytes reclaimed\n");
    EXPECT_TRUE(read_file(package) == compacted);

    ASSERT_EQ(tool("/E", scratch / "after").status, 0);
    EXPECT_TRUE(read_tree(scratch / "after") == read_tree(scratch / "before"));
    EXPECT_EQ(count_marks(tool("/L", work), '='), entries.size());
}

// One package with every kind of row compaction must take care of. Its
// directory block is 320 bytes; between the ranges lie dead bytes.
TEST_F(EditCycleTest, CompactKeepsSharingOrderAlignmentAndRowsItCannotMove) {
    struct Row {
        const char* what;
        FixtureRow old_row;
        uint32_t new_offset;
    };
    const Row rows[] = {
        // 1000 is 8-aligned, so the run [1000, 1200) starts on a multiple of 8.
        {"a range", {1000, 100}, 320},
        {"a range overlapping it", {1050, 150}, 370},
        {"the same range again", {1000, 100}, 320},
        {"a range on a 2048-byte sector", {4096, 100}, 2048},
        // Empty rows have no bytes to align: they cost no padding.
        {"an empty row at 5000, 8-aligned", {5000, 0}, 2148},
        {"a range at 6000, 16-aligned", {6000, 10}, 2160},
        {"a range past the end", {100000, 10}, 100000},
        {"a range inside the directory block", {32, 16}, 32},
        {"an empty row past the end", {50000, 0}, 2170},
    };
    std::vector<FixtureEntry> named;
    for (size_t i = 0; i < std::size(rows); i++) named.push_back({"e" + std::to_string(i), {}});
    Bytes old_package = build_package(named);
    ASSERT_EQ(old_package.size(), 320u);
    Bytes body = pattern_bytes(8000, 9);
    old_package.insert(old_package.end(), body.begin() + 320, body.end());
    for (uint32_t i = 0; i < std::size(rows); i++) set_row(old_package, i, rows[i].old_row);
    write_file(package, old_package);
    tool("/E", scratch / "before");

    ToolRun compact = tool("/C");
    EXPECT_EQ(compact.status, 0);
    EXPECT_EQ(compact.output, native(package) + ": " + std::to_string(8000 - 2170) + " bytes reclaimed\n");
    const Bytes now = read_file(package);
    EXPECT_EQ(now.size(), 2170u);
    std::vector<bool> live(now.size(), false);
    std::fill(live.begin(), live.begin() + 320, true);
    for (uint32_t i = 0; i < std::size(rows); i++) {
        EXPECT_EQ(get_row(now, i).offset, rows[i].new_offset) << rows[i].what;
        EXPECT_EQ(get_row(now, i).size, rows[i].old_row.size) << rows[i].what;
        for (uint64_t at = get_row(now, i).offset; at < uint64_t{get_row(now, i).offset} + get_row(now, i).size; at++)
            if (at < live.size()) live[at] = true;
    }
    // The gaps that alignment leaves, and the tail after the last range, read as zeros.
    for (size_t at = 0; at < now.size(); at++)
        if (!live[at]) {
            EXPECT_EQ(now[at], 0) << "at " << at;
        }
    tool("/E", scratch / "after");
    EXPECT_TRUE(read_tree(scratch / "after") == read_tree(scratch / "before"));
    EXPECT_EQ(read_tree(scratch / "after").size(), std::size(rows) - 1);

    // A row whose bytes cover part of the data table: moving any row would
    // change that entry, so every row stays and only the tail goes, up to
    // the empty row that points past the last range.
    set_row(old_package, 0, FixtureRow{300, 50});
    set_row(old_package, 8, FixtureRow{7000, 0});
    write_file(package, old_package);
    tool("/E", scratch / "pinned before");
    EXPECT_EQ(tool("/C").output, native(package) + ": " + std::to_string(8000 - 7000) + " bytes reclaimed\n");
    Bytes pinned = read_file(package);
    ASSERT_EQ(pinned.size(), 7000u);
    EXPECT_TRUE(Bytes(old_package.begin(), old_package.begin() + 320) == Bytes(pinned.begin(), pinned.begin() + 320));
    tool("/E", scratch / "pinned after");
    EXPECT_TRUE(read_tree(scratch / "pinned after") == read_tree(scratch / "pinned before"));
    expect_only_the_package_beside_it();

    // A directory block shorter than the header still keeps the header;
    // nothing else may follow it (see CompactRefusesWhatIsNoPackage).
    Bytes header_only = build_package({});
    put_u32(header_only, 20, 0);
    put_u32(header_only, 28, 0);
    write_file(package, header_only);
    EXPECT_EQ(tool("/C").output, native(package) + ": 0 bytes reclaimed\n");
    EXPECT_TRUE(read_file(package) == header_only);
}

// A package past the 2^31 - 1 bytes that /P and /U can grow to, its live
// bytes near its 3 GiB end and the rest dead (a sparse file): /U refuses to
// append, /C brings it back, and /U works again.
TEST_F(EditCycleTest, CompactRescuesAPackagePastTheSizeLimit) {
    const uint64_t size = uint64_t{3} << 30;
    Bytes old_package = build_package({{"a", bytes_of("first")}, {"b", {}}});
    const Bytes far_bytes = pattern_bytes(50, 5);
    set_row(old_package, 1, FixtureRow{static_cast<uint32_t>(size - 100), 50});
    write_file(package, old_package);
    fs::resize_file(package, size);
    {
        std::fstream out(package, std::ios::binary | std::ios::in | std::ios::out);
        out.seekp(static_cast<std::streamoff>(size - 100));
        out.write(reinterpret_cast<const char*>(far_bytes.data()), 50);
    }
    fs::create_directory(work);
    write_file(work / "a", bytes_of("edited"));
    ToolRun refused = tool("/U", work);
    EXPECT_EQ(refused.status, 255);
    EXPECT_EQ(refused.output, "File too large for package " + native(work / "a") + "\n");
    EXPECT_EQ(fs::file_size(package), size);

    ToolRun compact = tool("/C");
    EXPECT_EQ(compact.status, 0);
    const Bytes rescued = read_file(package);
    ASSERT_LT(rescued.size(), 4096u);
    EXPECT_EQ(compact.output, native(package) + ": " + std::to_string(size - rescued.size()) + " bytes reclaimed\n");
    const FixtureRow far = get_row(rescued, 1);
    EXPECT_TRUE(Bytes(rescued.begin() + far.offset, rescued.begin() + far.offset + far.size) == far_bytes);
    EXPECT_EQ(far.offset % 4, 0u);  // it was 4-aligned

    ToolRun update = tool("/U", work);
    EXPECT_EQ(update.status, 0);
    EXPECT_EQ(update.output, native(work / "a") + "\n");
}

TEST_F(EditCycleTest, ListPrintsRowsMarksAndSummary) {
    std::vector<FixtureEntry> listed = {{"same", bytes_of("same")},
                                        {"edited", bytes_of("old!")},
                                        {"longer", bytes_of("old")},
                                        {"none", bytes_of("none")},
                                        {"past\\end", bytes_of("past")},
                                        {"folder", bytes_of("f")}};
    Bytes old_package = build_package(listed);
    old_package.insert(old_package.end(), 10, 0);  // dead bytes at the end
    set_row(old_package, 4, FixtureRow{0xFFFFFF00u, 4});
    write_file(package, old_package);
    fs::create_directories(work / "past");
    fs::create_directories(work / "folder");
    write_file(work / "same", bytes_of("same"));
    write_file(work / "edited", bytes_of("new!"));
    write_file(work / "longer", bytes_of("longer"));
    write_file(work / "past/end", bytes_of("past"));

    // The row past the end points at nothing: its 4 bytes count as dead too.
    const std::string summary = "6 entries, 254 bytes, 14 unreferenced";
    EXPECT_EQ(tool("/L").output, "       224          4 same\n"
                                 "       228          4 edited\n"
                                 "       232          3 longer\n"
                                 "       235          4 none\n"
                                 "4294967040          4 past\\end\n"
                                 "       243          1 folder\n" + summary + "\n");
    ToolRun compared = tool("/L", work);
    EXPECT_EQ(compared.status, 0);
    EXPECT_EQ(compared.output, "=        224          4 same\n"
                               "M        228          4 edited\n"
                               "M        232          3 longer\n"
                               "-        235          4 none\n"
                               "M 4294967040          4 past\\end\n"
                               "-        243          1 folder\n" + summary + ", 3 changed\n");

    // A name that leads outside the folder cannot be handled.
    Bytes bad = old_package;
    memcpy(&bad[get_u32(bad, 20) + 24 * 3], "..\\x", 5);
    write_file(package, bad);
    ToolRun refused = tool("/L", work);
    EXPECT_EQ(refused.status, 255);
    EXPECT_EQ(output_lines(refused)[3], "!        235          4 ..\\x");
    EXPECT_TRUE(read_file(package) == bad);
}

// Packages that a writer would corrupt or wipe: each writer that must
// refuse one prints "Bad package file" and leaves it as it was; /E and /L
// still read those whose tables overlap.
TEST_F(EditCycleTest, WritersRefuseWhatTheyWouldCorrupt) {
    // The data table (bytes 26-33) covers the data table's offset: a moved
    // row would rewrite it.
    Bytes header_overlap(0x1B0000, 0);
    put_u32(header_overlap, 16, 1);
    put_u32(header_overlap, 20, 8);
    memcpy(&header_overlap[8], "big", 3);
    put_u32(header_overlap, 28, 26);
    header_overlap[32] = 1;
    std::fill(header_overlap.begin() + 0x1A0000, header_overlap.end(), 'Q');
    // Rows at 80-103 hold the second name row's first bytes ("two" at 56 is
    // apart; row 0 is "AB" at 80).
    Bytes name_overlap(16966, 0);
    const uint32_t fields[] = {3, 32, 0, 80};
    for (uint32_t i = 0; i < 4; i++) put_u32(name_overlap, 16 + 4 * i, fields[i]);
    memcpy(&name_overlap[32], "one", 3);
    memcpy(&name_overlap[56], "two", 3);
    const uint32_t rows[] = {0x4241, 5, 104, 4, 108, 3};
    for (uint32_t i = 0; i < 6; i++) put_u32(name_overlap, 80 + 4 * i, rows[i]);
    memcpy(&name_overlap[104], "two!AB!", 7);
    memcpy(&name_overlap[16961], "one!!", 5);
    // An archive whose first member has a short name reads as a package
    // without entries, and so does a file of zeros.
    Bytes archive = pattern_bytes(40960, 7);
    std::fill(archive.begin(), archive.begin() + 100, 0);
    memcpy(&archive[0], "a.txt", 5);
    const Bytes zeros(4096, 0);

    struct Case {
        const char* what;
        const Bytes* bytes;
        std::vector<std::string> refusing;
        std::string expanded;  // the files /E writes, "" when not tried
    };
    const Case cases[] = {
        {"data table over a header field", &header_overlap, {"/P", "/U", "/C"}, ""},
        {"data table over a name", &name_overlap, {"/P", "/U", "/C"}, "AB=AB! one=one!! two=two!"},
        {"an archive", &archive, {"/C"}, ""},
        {"a file of zeros", &zeros, {"/C"}, ""},
    };
    fs::create_directories(work);
    for (const char* name : {"one", "two", "AB", "big"}) write_file(work / name, bytes_of("loose"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        write_file(package, *c.bytes);
        for (const std::string& option : c.refusing) {
            ToolRun refused = option == "/C" ? tool(option) : tool(option, work);
            EXPECT_EQ(refused.status, 255) << option;
            EXPECT_EQ(refused.output, "Bad package file " + native(package) + "\n") << option;
            EXPECT_TRUE(read_file(package) == *c.bytes) << option;
        }
        EXPECT_EQ(tool("/L", work).status, 0);
        if (c.expanded.empty()) continue;
        fs::path out = scratch / "expanded";
        fs::remove_all(out);
        EXPECT_EQ(tool("/E", out).status, 0);
        std::string files;
        for (const auto& [name, content] : read_tree(out)) files += (files.empty() ? "" : " ") + name + "=" + text_of(content);
        EXPECT_EQ(files, c.expanded);
    }
    expect_only_the_package_beside_it();
}

static uint64_t unreferenced_of(const ToolRun& listing) {
    const std::string summary = output_lines(listing).back();
    const size_t bytes_end = summary.find(" bytes, ");
    return std::stoull(summary.substr(bytes_end + 8));
}

// What /L calls unreferenced is what /C then reclaims, alignment and rows
// it cannot move included; a second /L finds nothing more to take.
TEST_F(EditCycleTest, ListTellsWhatCompactReclaims) {
    // 100 entries of 100 bytes, each on a 2048-byte sector: the gaps are
    // only padding.
    std::vector<FixtureEntry> sector_entries;
    for (int i = 0; i < 100; i++) sector_entries.push_back({"s" + std::to_string(i), {}});
    Bytes sectors = build_package(sector_entries);
    sectors.resize(2048 * 101 + 100, 's');
    for (uint32_t i = 0; i < 100; i++) set_row(sectors, i, FixtureRow{2048 * (i + 2), 100});
    // A row that covers the data table: nothing moves, the tail goes.
    Bytes pinned = build_package({{"a", pattern_bytes(1000, 1)}, {"b", pattern_bytes(1000, 2)}});
    set_row(pinned, 0, FixtureRow{get_u32(pinned, 28), 16});
    pinned.resize(5000, 'p');
    // Twenty empty rows at 64 KiB-aligned offsets, each followed by a 1-byte
    // row, and one empty row past the end: no padding is kept for them.
    std::vector<FixtureEntry> empty_entries(41, FixtureEntry{"e", {}});
    Bytes empties = build_package(empty_entries);
    const uint32_t block_size = static_cast<uint32_t>(empties.size());
    empties.resize(65536 * 21, 'e');
    for (uint32_t k = 0; k < 20; k++) {
        set_row(empties, 2 * k, FixtureRow{65536 * (k + 1), 0});
        set_row(empties, 2 * k + 1, FixtureRow{65536 * (k + 1) + 1, 1});
    }
    set_row(empties, 40, FixtureRow{0x100000u * 64, 0});

    struct Case {
        const char* what;
        const Bytes* bytes;
        uint64_t compacted_size;
    };
    const Case cases[] = {
        {"sectors", &sectors, 2048 * 101 + 100},
        {"a row over the data table", &pinned, get_row(pinned, 1).offset + uint64_t{1000}},
        {"empty rows", &empties, block_size + uint64_t{20}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        write_file(package, *c.bytes);
        const uint64_t unreferenced = unreferenced_of(tool("/L"));
        ToolRun compact = tool("/C");
        EXPECT_EQ(compact.status, 0);
        EXPECT_EQ(compact.output, native(package) + ": " + std::to_string(unreferenced) + " bytes reclaimed\n");
        EXPECT_EQ(fs::file_size(package), c.compacted_size);
        EXPECT_EQ(unreferenced_of(tool("/L")), 0u);
    }
    // Empty rows take the end of the bytes before them, past the end too.
    const Bytes compacted = read_file(package);
    EXPECT_EQ(get_row(compacted, 0).offset, block_size);
    EXPECT_EQ(get_row(compacted, 39).offset, block_size + 19);
    EXPECT_EQ(get_row(compacted, 40).offset, block_size + 20);
}

// A package path that is a link: /C compacts the file it names, beside that
// file, and the link stays a link.
TEST_F(EditCycleTest, CompactThroughALinkReplacesTheFileItNames) {
    SKIP_ON_WINDOWS("symbolic links need privileges there");
    Bytes old_package = build_package({{"a", pattern_bytes(100, 1)}});
    const Bytes dead = pattern_bytes(500, 2);
    old_package.insert(old_package.begin() + get_row(old_package, 0).offset, dead.begin(), dead.end());
    set_row(old_package, 0, FixtureRow{static_cast<uint32_t>(get_row(old_package, 0).offset + dead.size()), 100});
    fs::create_directories(scratch / "real");
    fs::create_directories(scratch / "links");
    write_file(scratch / "real/p.dpk", old_package);
    fs::permissions(scratch / "real/p.dpk", fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    const fs::path link = scratch / "links/p.dpk";
    fs::create_symlink("../real/p.dpk", link);

    ToolRun compact = run_tool({"/C", link.string()}, scratch.path);
    EXPECT_EQ(compact.status, 0);
    EXPECT_EQ(compact.output, native(link) + ": 500 bytes reclaimed\n");
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(fs::read_symlink(link), "../real/p.dpk");
    EXPECT_EQ(fs::file_size(scratch / "real/p.dpk"), old_package.size() - 500);
    EXPECT_EQ(fs::status(scratch / "real/p.dpk").permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(std::distance(fs::directory_iterator(scratch / "real"), fs::directory_iterator()), 1);
    EXPECT_EQ(std::distance(fs::directory_iterator(scratch / "links"), fs::directory_iterator()), 1);
}

// The temporary file's name fits wherever the package's does: a package
// named with as many bytes as the path limit leaves (243 to 255 here).
TEST(CompactNames, LongestPackageNameCanBeCompacted) {
    SKIP_ON_WINDOWS("needs a folder with a short path");
    const fs::path folder = "/tmp/vt" + std::to_string(std::random_device()() % 100000);
    const size_t name_size = std::min<size_t>(255, PATH_LIMIT - 2 - folder.string().size());
    if (name_size < 243 || !fs::create_directory(folder)) GTEST_SKIP() << "no short folder here";
    const fs::path package = folder / std::string(name_size, 'n');
    Bytes bytes = build_package({{"a", bytes_of("a")}});
    bytes.resize(bytes.size() + 1000, 0);
    write_file(package, bytes);
    ToolRun compact = run_tool({"/C", package.string()}, folder);
    fs::remove_all(folder);
    EXPECT_EQ(compact.status, 0);
    EXPECT_EQ(compact.output, package.string() + ": 1000 bytes reclaimed\n");
}
