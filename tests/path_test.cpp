// Resolving command-line paths to absolute ones on their text alone.
#include <gtest/gtest.h>

#include <string>

#include "test_files.h"
#include "util/platform.h"

static std::string full_path(const std::string& path, int* too_long = nullptr) {
    char out[PATH_LIMIT];
    int ignored;
    if (!platform_full_path(path.c_str(), out, sizeof out, too_long ? too_long : &ignored)) return "<failed>";
    return out;
}

#ifndef _WIN32
TEST(FullPath, FoldsTextWithoutTouchingTheFileSystem) {
    char cwd[PATH_LIMIT];
    ASSERT_TRUE(platform_current_folder(cwd, sizeof cwd));
    const std::string here = cwd;
    const std::string base = here == "/" ? "" : here;
    const struct {
        std::string in, out;
    } cases[] = {
        {"", here},
        {".", here},
        {"pkg.dat", base + "/pkg.dat"},
        {"sub/", base + "/sub/"},
        {"/a/./b/../c", "/a/c"},
        {"//a///b", "/a/b"},
        {"/../../x", "/x"},
        {"/a/b/..", "/a"},
        {"/", "/"},
        {"/no/such/folder/", "/no/such/folder/"},
        {"back\\slash", base + "/back\\slash"},
    };
    for (const auto& c : cases) EXPECT_EQ(full_path(c.in), c.out) << c.in;
}

TEST(FullPath, DoesNotFollowLinks) {
    ScratchFolder scratch;
    fs::create_directory(scratch / "real");
    fs::create_directory_symlink(scratch / "real", scratch / "link");
    EXPECT_EQ(full_path((scratch / "link/../x").string()), (scratch / "x").string());
}

TEST(FullPath, RefusesRatherThanCuts) {
    std::string fits = "/" + std::string(PATH_LIMIT - 2, 'a');
    EXPECT_EQ(full_path(fits), fits);
    int too_long = 0;
    EXPECT_EQ(full_path(fits + "b", &too_long), "<failed>");
    EXPECT_TRUE(too_long);
    // Folding happens before the limit is applied.
    EXPECT_EQ(full_path(fits + "/x/.."), fits);
}
#else
TEST(FullPath, DrivesSlashesAndTrailingBackslashes) {
    char cwd[PATH_LIMIT];
    ASSERT_TRUE(platform_current_folder(cwd, sizeof cwd));
    const std::string here = cwd;
    const std::string base = here.back() == '\\' ? here.substr(0, here.size() - 1) : here;
    const struct {
        std::string in, out;
    } cases[] = {
        {"", here},
        {"pkg.dat", base + "\\pkg.dat"},
        {"sub/../x", base + "\\x"},
        {"C:\\a\\.\\b\\..\\c", "C:\\a\\c"},
        {"C:/a/b/", "C:\\a\\b\\"},
        {"D:\\no\\such\\folder\\", "D:\\no\\such\\folder\\"},
        {"C:\\..\\..\\x", "C:\\x"},
        {"\\top", here.substr(0, 2) + "\\top"},
    };
    for (const auto& c : cases) EXPECT_EQ(full_path(c.in), c.out) << c.in;
}

TEST(FullPath, RefusesRatherThanCuts) {
    std::string fits = "C:\\" + std::string(PATH_LIMIT - 4, 'a');
    EXPECT_EQ(full_path(fits), fits);
    int too_long = 0;
    EXPECT_EQ(full_path(fits + "b", &too_long), "<failed>");
    EXPECT_TRUE(too_long);
}

TEST(FullPath, DriveLengths) {
    const struct {
        const char* path;
        size_t length;
    } cases[] = {{"C:\\x", 2}, {"c:", 2}, {"\\\\server\\share\\x", 14}, {"//server/share", 14},
                 {"\\x", 0},    {"x", 0},  {"", 0}, {"\\\\server", 8}};
    for (const auto& c : cases) EXPECT_EQ(platform_drive_length(c.path), c.length) << c.path;
}
#endif

// Two names lead to one file when their identities are equal: the same path
// opened twice, or a hard link; another file differs.
TEST(FileIdentity, EqualForOneFileWhateverTheNameAndOtherwiseDifferent) {
    ScratchFolder scratch;
    write_file(scratch / "one", bytes_of("1"));
    write_file(scratch / "other", bytes_of("1"));
    fs::create_hard_link(scratch / "one", scratch / "link");
    auto identity_of = [](const fs::path& path) {
        PlatformFile file;
        uint64_t size;
        FileIdentity identity{0, 0};
        EXPECT_EQ(platform_open_read(native(path).c_str(), &file, &size), OPEN_DONE) << path;
        EXPECT_TRUE(platform_file_identity(file, &identity));
        platform_close(file);
        return std::make_pair(identity.device, identity.index);
    };
    const auto one = identity_of(scratch / "one");
    EXPECT_EQ(identity_of(scratch / "one"), one);
    EXPECT_EQ(identity_of(scratch / "link"), one);
    EXPECT_NE(identity_of(scratch / "other"), one);
}
