// Option values and the choice of command, without running the binary.
#include "driver/command_line.h"

#include <gtest/gtest.h>
#include <vector>

namespace {

Invocation parse(std::vector<const char*> args)
{
    args.insert(args.begin(), "zep");
    return parseCommandLine(static_cast<int>(args.size()), args.data());
}

using CommandLineTest = ::testing::Test;

}  // namespace

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
    const Invocation invocation = parse({"/m50", "-s10", "/B1", "/S-5", "/w", "/z", "x.zep"});
    EXPECT_EQ(invocation.command, Command::APPLY);
    EXPECT_EQ(invocation.options.match_threshold, 50);
    EXPECT_EQ(invocation.options.search_range, -5);
    EXPECT_EQ(invocation.options.block_search, 0);
    EXPECT_EQ(invocation.options.whole_file, 1);
    EXPECT_EQ(invocation.options.compact, 1);
    EXPECT_EQ(parse({"-Z", "x.zep"}).options.compact, 1);
    EXPECT_EQ(parse({"x.zep"}).options.compact, 0);
    EXPECT_EQ(parse({"/M", "x.zep"}).options.match_threshold, 0);
    EXPECT_EQ(parse({"/M12abc", "x.zep"}).options.match_threshold, 12);
    EXPECT_EQ(parse({"x.zep"}).options.search_range, 47);
}

TEST_F(CommandLineTest, FileArgumentsFillThePaths)
{
    const Invocation create = parse({"old\\a.exe", "new\\a.exe"});
    EXPECT_EQ(create.command, Command::CREATE);
    EXPECT_EQ(create.sourcePath, "old\\a.exe");
    EXPECT_EQ(create.destPath, "new\\a.exe");
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
