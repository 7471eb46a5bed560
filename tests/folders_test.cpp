// Creating the folders along an output path.
#include <gtest/gtest.h>

#include "test_files.h"
#include "util/folders.h"
#include "util/platform.h"

// Each test moves the working directory; put it back afterwards.
struct FolderWalkTest : ::testing::Test {
    fs::path saved = fs::current_path();
    ScratchFolder scratch;
    ~FolderWalkTest() override { fs::current_path(saved); }
    std::string at(const std::string& relative) const {
        std::string path = scratch.path.string() + PATH_SEPARATOR;
        for (char c : relative) path += c == '/' ? PATH_SEPARATOR : c;
        return path;
    }
};

TEST_F(FolderWalkTest, CreatesEveryMissingLevelAndEndsAtTheParentOfTheFilesFolder) {
    FolderWalk walk;
    EXPECT_TRUE(make_parent_folders(at("a/b/c/d/file").c_str(), &walk));
    EXPECT_TRUE(fs::is_directory(scratch / "a/b/c/d"));
    EXPECT_FALSE(fs::exists(scratch / "a/b/c/d/file"));
    EXPECT_EQ(fs::current_path(), scratch / "a/b/c");
}

TEST_F(FolderWalkTest, PresentFoldersOnlyMoveTheWorkingDirectory) {
    fs::create_directories(scratch / "a/b");
    EXPECT_TRUE(make_parent_folders(at("a/b/file").c_str(), nullptr));
    EXPECT_EQ(fs::current_path(), scratch / "a");
    EXPECT_EQ(std::distance(fs::recursive_directory_iterator(scratch.path), fs::recursive_directory_iterator()), 2);
}

TEST_F(FolderWalkTest, DoubledSeparatorsMakeNoEmptyFolder) {
    EXPECT_TRUE(make_parent_folders(at("a//b/file").c_str(), nullptr));
    EXPECT_TRUE(fs::is_directory(scratch / "a/b"));
    EXPECT_EQ(std::distance(fs::directory_iterator(scratch / "a"), fs::directory_iterator()), 1);
}

TEST_F(FolderWalkTest, StopsAtAPlainFileAndMakesNothingElsewhere) {
    write_file(scratch / "a", bytes_of("in the way"));
    EXPECT_FALSE(make_parent_folders(at("a/b/file").c_str(), nullptr));
    EXPECT_TRUE(fs::is_regular_file(scratch / "a"));
    EXPECT_FALSE(fs::exists(scratch / "b"));
    EXPECT_FALSE(fs::exists(fs::current_path() / "b"));
}

TEST_F(FolderWalkTest, RemembersFoldersAcrossWalks) {
    FolderWalk walk;
    EXPECT_TRUE(make_parent_folders(at("a/b/one").c_str(), &walk));
    fs::remove(scratch / "a/b");
    // Known from the first walk, so not made again: the cache is what saves
    // the system calls.
    EXPECT_TRUE(make_parent_folders(at("a/b/two").c_str(), &walk));
    EXPECT_FALSE(fs::exists(scratch / "a/b"));
    EXPECT_TRUE(make_parent_folders(at("a/b/two").c_str(), nullptr));
    EXPECT_TRUE(fs::is_directory(scratch / "a/b"));
}

TEST_F(FolderWalkTest, NameWithoutFoldersAndRelativeDirectoriesCreateNothing) {
    EXPECT_TRUE(make_parent_folders("file", nullptr));
    std::string relative = std::string("x") + PATH_SEPARATOR;
    EXPECT_FALSE(make_folders_along("", relative.c_str(), nullptr));
    EXPECT_FALSE(fs::exists(fs::current_path() / "x"));
}
