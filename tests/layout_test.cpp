// The package layout: header fields, table rows, the malformed-package check
// and the forming of loose paths from entry names.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "package/package_layout.h"

TEST(Layout, ReadsHeaderAndLocatesRowsOfTheWorkedExample) {
    unsigned char header[HEADER_SIZE] = {};
    header[16] = 2;
    header[20] = 32;
    header[28] = 80;
    PackageHeader fields;
    read_package_header(header, &fields);
    EXPECT_EQ(fields.entry_count, 2u);
    EXPECT_EQ(fields.name_table_offset, 32u);
    EXPECT_EQ(fields.data_table_offset, 80u);
    EXPECT_EQ(directory_size(&fields), 96u);
    EXPECT_TRUE(check_package_layout(&fields, 96));
}

TEST(Layout, DataRowsAreLittleEndianAndWrittenInPlace) {
    unsigned char table[16] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
    DataEntry row = read_data_entry(table, 0);
    EXPECT_EQ(row.offset, 0x04030201u);
    EXPECT_EQ(row.size, 0x08070605u);
    write_data_entry(table, 1, DataEntry{0xA1B2C3D4u, 7});
    const unsigned char expected[8] = {0xD4, 0xC3, 0xB2, 0xA1, 7, 0, 0, 0};
    EXPECT_EQ(memcmp(table + 8, expected, 8), 0);
    EXPECT_EQ(table[0], 0x01);
}

TEST(Layout, SixteenByteNameIsTerminatedInItsCopy) {
    unsigned char table[48];
    memset(table, 'x', sizeof table);
    memcpy(table + 24, "ABCDEFGHIJKLMNOP", 16);
    NameEntry name;
    read_entry_name(table, 1, &name);
    EXPECT_STREQ(name.name, "ABCDEFGHIJKLMNOP");
}

struct LayoutCase {
    const char* what;
    uint32_t entry_count, name_table_offset, data_table_offset;
    uint64_t file_size;
    bool sound;
};

TEST(Layout, CheckRefusesEveryMalformedHeader) {
    const LayoutCase cases[] = {
        {"worked example", 2, 32, 80, 96, true},
        {"no entries", 0, 32, 32, 32, true},
        {"no entries, name table past the block", 0, 64, 32, 40, true},
        {"no entries, name table past 4 GiB when added", 0, 0xFFFFFFF0u, 32, 32, true},
        {"name table ends where the block ends", 1, 32, 56, 64, true},
        {"header cut short", 0, 0, 0, 31, false},
        {"directory block past the end", 2, 32, 80, 95, false},
        {"block size wraps 32 bits", 2, 32, 0xFFFFFFF8u, uint64_t{1} << 40, false},
        {"row count wraps 32 bits", 0x20000000u, 32, 0, uint64_t{1} << 40, false},
        {"name table outside the block", 2, 80, 80, 200, false},
        {"name table offset past 4 GiB when added", 1, 0xFFFFFFF0u, 32, 40, false},
    };
    for (const LayoutCase& c : cases) {
        PackageHeader header{c.entry_count, c.name_table_offset, c.data_table_offset};
        EXPECT_EQ(check_package_layout(&header, c.file_size) != 0, c.sound) << c.what;
    }
}

// Name rows at 32 and 56 (names 32-47 and 56-71) unless a case says
// otherwise; a data table that only touches a field or a name is apart.
TEST(Layout, DataTableMustMissTheHeaderFieldsAndEveryName) {
    const LayoutCase cases[] = {
        {"worked example", 2, 32, 80, 0, true},
        {"no entries, table on the count", 0, 32, 16, 0, true},
        {"rows over the count", 1, 32, 16, 0, false},
        {"rows over the name table's offset", 1, 32, 20, 0, false},
        {"two rows in bytes 0-15", 2, 100, 0, 0, true},
        {"one row in bytes 24-31", 1, 100, 24, 0, false},
        {"rows over the data table's offset", 1, 40, 26, 0, false},
        {"rows in the gap after the last name", 1, 32, 48, 0, true},
        {"rows end where the first name starts", 2, 48, 32, 0, true},
        {"rows reach the first name's first byte", 2, 48, 33, 0, false},
        {"rows reach the last name's last byte", 2, 32, 64, 0, false},
        {"rows start after the last name", 2, 32, 72, 0, true},
        {"rows in a gap between names, crossing one", 3, 32, 48, 0, false},
    };
    for (const LayoutCase& c : cases) {
        PackageHeader header{c.entry_count, c.name_table_offset, c.data_table_offset};
        EXPECT_EQ(check_tables_apart(&header) != 0, c.sound) << c.what;
    }
}

TEST(Layout, EntryRangeIsCheckedInSixtyFourBits) {
    EXPECT_TRUE(entry_lies_in_file(DataEntry{90, 10}, 100));
    EXPECT_FALSE(entry_lies_in_file(DataEntry{91, 10}, 100));
    EXPECT_FALSE(entry_lies_in_file(DataEntry{0xFFFFFFFFu, 2}, 100));
    EXPECT_TRUE(entry_lies_in_file(DataEntry{100, 0}, 100));
    // An empty entry needs no byte of the file, wherever it is said to lie.
    EXPECT_TRUE(entry_lies_in_file(DataEntry{101, 0}, 100));
    EXPECT_TRUE(entry_lies_in_file(DataEntry{0xFFFFFFFFu, 0}, 0));
}

struct NameCase {
    const char* name;
    LoosePathResult result;
    std::string tail;  // what follows the folder, separators as the platform writes them
};

#ifdef _WIN32
// Windows drops trailing dots from names, so "..." names no file of its own.
const LoosePathResult DOTS_ONLY = LOOSE_PATH_BAD_NAME;
#else
const LoosePathResult DOTS_ONLY = LOOSE_PATH_OK;
#endif

TEST(Layout, LoosePathsFromNames) {
    const std::string sep(1, PATH_SEPARATOR);
    const NameCase cases[] = {
        {"file.bin", LOOSE_PATH_OK, "file.bin"},
        {"sub\\file", LOOSE_PATH_OK, "sub" + sep + "file"},
        {"...", DOTS_ONLY, "..."},
        {"..x\\x..", LOOSE_PATH_OK, "..x" + sep + "x.."},
        {"..", LOOSE_PATH_BAD_NAME, ".."},
        {"..\\up", LOOSE_PATH_BAD_NAME, ".." + sep + "up"},
        {"a\\..\\b", LOOSE_PATH_BAD_NAME, "a" + sep + ".." + sep + "b"},
        {"a/../b", LOOSE_PATH_BAD_NAME, "a" + sep + ".." + sep + "b"},
        {"a\\..", LOOSE_PATH_BAD_NAME, "a" + sep + ".."},
        {"", LOOSE_PATH_OK, ""},
    };
    for (const NameCase& c : cases) {
        NameEntry name{};
        strcpy(name.name, c.name);
        char path[LOOSE_PATH_BUFFER];
        EXPECT_EQ(make_loose_path(("F" + sep).c_str(), &name, path), c.result) << c.name;
        EXPECT_EQ(std::string(path), "F" + sep + c.tail) << c.name;
    }
}

#ifdef _WIN32
TEST(Layout, WindowsRefusesDeviceNamesColonsAndDotPieces) {
    const struct {
        const char* name;
        bool allowed;
    } cases[] = {
        {"CON", false},      {"con", false},       {"Aux.txt", false},  {"sub\\NUL", false},  {"nul\\inner", false},
        {"PRN .log", false}, {"COM1", false},      {"lpt9.a.b", false}, {"a:b", false},       {"C:x", false},
        {"sub/Com3", false}, {"x\\. .\\y", false}, {"CONSOLE", true},   {"xcon", true},       {"COM0", false},
        {"COM10", true},     {"LPT", true},        {"con_x", true},     {"a.con", true},      {"x..", true},
        {"a\\.\\b", true},  {" ", false},         {"x\\ \\y", false},  {" x", true},
        // A folder piece may not end in a dot or a blank; a file piece may.
        {"f \\x", false},   {"g.\\y", false},     {"a/b. /c", false},  {"x. ", true},
        {".\\x", true},
    };
    for (const auto& c : cases) {
        NameEntry name{};
        strcpy(name.name, c.name);
        char path[LOOSE_PATH_BUFFER];
        EXPECT_EQ(make_loose_path("F\\", &name, path), c.allowed ? LOOSE_PATH_OK : LOOSE_PATH_BAD_NAME) << c.name;
    }
}
#endif

TEST(Layout, LoosePathLimitIsWholeNeverCut) {
    NameEntry name{};
    strcpy(name.name, "0123456789abcdef");
    std::string folder(PATH_LIMIT - 1 - 16, 'f');
    char path[LOOSE_PATH_BUFFER];
    EXPECT_EQ(make_loose_path(folder.c_str(), &name, path), LOOSE_PATH_OK);
    EXPECT_EQ(strlen(path), PATH_LIMIT - 1);
    folder += 'f';
    EXPECT_EQ(make_loose_path(folder.c_str(), &name, path), LOOSE_PATH_TOO_LONG);
    EXPECT_EQ(std::string(path), folder + name.name);
    std::string longest(PATH_LIMIT - 1, 'f');
    EXPECT_EQ(make_loose_path(longest.c_str(), &name, path), LOOSE_PATH_TOO_LONG);
    EXPECT_EQ(strlen(path), PATH_LIMIT - 1 + 16);
}
