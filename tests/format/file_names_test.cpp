// Path splitting into the names a record stores, and the default difference file's name.
#include "format/file_names.h"

#include <gtest/gtest.h>

// The library's own units, as the tests reach them.
using namespace zep;

TEST(PathSplitTest, SplitsDriveDirectoryNameAndExtension)
{
    struct Case {
        const char* path;
        const char* drive;
        const char* directory;
        const char* name;
        const char* extension;
    };
    const Case cases[] = {
        {"C:\\new\\prog.exe", "C:", "\\new\\", "prog", ".exe"},
        {"archive.tar.gz", "", "", "archive.tar", ".gz"},
        {"README", "", "", "README", ""},
        {".profile", "", "", "", ".profile"},
        {"old.dir\\notes", "", "old.dir\\", "notes", ""},
        {"/home/u/fix.zep", "", "/home/u/", "fix", ".zep"},
        {"a/b\\c.d/e", "", "a/b\\c.d/", "e", ""},
        {"D:file.txt", "D:", "", "file", ".txt"},
        {"dir/", "", "dir/", "", ""},
        {"x:", "x:", "", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const PathPieces pieces = splitPath(c.path);
        EXPECT_EQ(pieces.drive, c.drive);
        EXPECT_EQ(pieces.directory, c.directory);
        EXPECT_EQ(pieces.name, c.name);
        EXPECT_EQ(pieces.extension, c.extension);
    }
}

TEST(PathSplitTest, DefaultDifferenceFileIsNamedAfterTheDestination)
{
    EXPECT_EQ(defaultDiffPath("C:\\new\\prog.exe"), "prog.zep");
    EXPECT_EQ(defaultDiffPath("archive.tar.gz"), "archive.tar.zep");
    EXPECT_EQ(defaultDiffPath("README"), "README.zep");
    EXPECT_EQ(defaultDiffPath(".profile"), ".zep");
    EXPECT_EQ(defaultDiffPath("old.dir\\notes"), "notes.zep");
    EXPECT_EQ(defaultDiffPath("/srv/releases/v2/app.bin"), "app.zep");
    EXPECT_EQ(baseName("new\\a.exe"), "a.exe");
    EXPECT_EQ(baseName("/srv/v2/a.exe"), "a.exe");
}

TEST(PathSplitTest, EachPieceIsCutTo255Characters)
{
    const std::string longName(300, 'n');
    const std::string longExtension = "." + std::string(300, 'e');
    const PathPieces pieces = splitPath("dir/" + longName + longExtension);
    EXPECT_EQ(pieces.name, std::string(255, 'n'));
    EXPECT_EQ(pieces.extension, "." + std::string(254, 'e'));
    EXPECT_EQ(baseName(longName), std::string(255, 'n'));
    EXPECT_EQ(defaultDiffPath(std::string(400, 'd') + "/" + longName + ".bin"),
              std::string(255, 'n') + ".zep");
}

TEST(TreePathTest, OnlyPlainPathsBelowTheRootAreTreePaths)
{
    for (const char* path : {"./a", "./usr/lib/x86_64-linux-gnu/libc.so.6", "./a b/c.d", "./..a"})
        EXPECT_TRUE(isTreePath(path)) << path;
    const std::string withNul("./a\0b", 5);
    for (const std::string& path :
         {std::string("a"), std::string("/a"), std::string("./"), std::string("./a/"),
          std::string("./a//b"), std::string("./a/../b"), std::string("./a/./b"),
          std::string("././a"), std::string("./.."), std::string("./a\\b"), std::string("./a\nb"),
          std::string(".//a"), withNul})
        EXPECT_FALSE(isTreePath(path)) << path;
}
