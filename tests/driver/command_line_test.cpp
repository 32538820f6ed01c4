// Path splitting, option values and the choice of command, without running the binary.
#include "driver/command_line.h"
#include "encoder/tuning.h"

#include <gtest/gtest.h>
#include <vector>

namespace {

Invocation parse(std::vector<const char*> args)
{
    args.insert(args.begin(), "zep");
    return parseCommandLine(static_cast<int>(args.size()), args.data());
}

class CommandLineTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        resetTuning();
    }
    void TearDown() override
    {
        resetTuning();
    }
};

}  // namespace

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

TEST(OptionValueTest, ReadsLikeDecimalConversion)
{
    EXPECT_EQ(parseOptionValue("50"), 50);
    EXPECT_EQ(parseOptionValue(""), 0);
    EXPECT_EQ(parseOptionValue("abc"), 0);
    EXPECT_EQ(parseOptionValue("-5"), -5);
    EXPECT_EQ(parseOptionValue("+7"), 7);
    EXPECT_EQ(parseOptionValue("12abc"), 12);
    EXPECT_EQ(parseOptionValue(" \t 33"), 33);
    EXPECT_EQ(parseOptionValue("- 3"), 0);
    EXPECT_EQ(parseOptionValue("2147483647"), INT32_MAX);
    EXPECT_EQ(parseOptionValue("99999999999999999999"), INT32_MAX);
    EXPECT_EQ(parseOptionValue("-2147483648"), INT32_MIN);
    EXPECT_EQ(parseOptionValue("-99999999999999999999"), INT32_MIN);
}

TEST_F(CommandLineTest, OptionsSetTheTuningValuesAndTheLastOneWins)
{
    const Invocation invocation = parse({"/m50", "-s10", "/B1", "/S-5", "x.zep"});
    EXPECT_EQ(invocation.command, Command::APPLY);
    EXPECT_EQ(matchThreshold, 50);
    EXPECT_EQ(searchRange, -5);
    EXPECT_EQ(deepSearch, 0);
    parse({"/M", "x.zep"});
    EXPECT_EQ(matchThreshold, 0);
    parse({"/M12abc", "x.zep"});
    EXPECT_EQ(matchThreshold, 12);
}

TEST_F(CommandLineTest, FileArgumentsFillThePaths)
{
    const Invocation create = parse({"old\\a.exe", "new\\a.exe"});
    EXPECT_EQ(create.command, Command::CREATE);
    EXPECT_EQ(create.sourcePath, "old\\a.exe");
    EXPECT_EQ(create.sourceName, "a.exe");
    EXPECT_EQ(create.destPath, "new\\a.exe");
    EXPECT_EQ(create.destName, "a.exe");
    EXPECT_EQ(create.diffPath, "a.zep");

    const Invocation third = parse({"a.old", "/V", "out/d.zep", "ignored"});
    EXPECT_EQ(third.command, Command::CREATE);
    EXPECT_EQ(third.destPath, "/V");
    EXPECT_EQ(third.diffPath, "out/d.zep");

    const Invocation view = parse({"-v", "d.zep", "other"});
    EXPECT_EQ(view.command, Command::VIEW);
    EXPECT_EQ(view.sourcePath, "d.zep");
}

TEST_F(CommandLineTest, UnknownOrMissingPiecesGiveTheUsage)
{
    EXPECT_EQ(parse({}).command, Command::USAGE);
    EXPECT_EQ(parse({"/B"}).command, Command::USAGE);
    EXPECT_EQ(parse({"/X", "a.zep"}).command, Command::USAGE);
    EXPECT_EQ(parse({"/", "a.zep"}).command, Command::USAGE);
    EXPECT_EQ(parse({"-", "a.zep"}).command, Command::USAGE);
    // The first file argument ends the options, so a bad option behind it is a file.
    EXPECT_EQ(parse({"a.zep", "/X"}).command, Command::CREATE);
}

TEST_F(CommandLineTest, SlashArgumentsNamingFilesAreFileArguments)
{
    EXPECT_EQ(parse({"/home/u/fix.zep"}).command, Command::APPLY);
    EXPECT_EQ(parse({"/tmp"}).command, Command::APPLY);  // exists
    EXPECT_EQ(parse({"/nonexistent-top-level-name"}).command, Command::USAGE);
    const Invocation invocation = parse({"/V", "/srv/a.zep"});
    EXPECT_EQ(invocation.command, Command::VIEW);
    EXPECT_EQ(invocation.sourcePath, "/srv/a.zep");
}
