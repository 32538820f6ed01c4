// The command line as a shell sees it: banner, usage text, option syntax, and which command a
// given set of arguments reaches.
#include "cli/cli_test.h"

using CommandLineCliTest = CliTest;

TEST_F(CommandLineCliTest, UsageEndsWithStatus246AfterTheBanner)
{
    const std::vector<std::vector<std::string>> cases = {
        {}, {"/B"}, {"-V", "/M50"}, {"/X"}, {"/"}, {"-"}, {"--"}, {"-q", "a.zep"}, {"/S"}};
    for (const auto& args : cases) {
        SCOPED_TRACE(testing::PrintToString(args));
        const ToolRun run = runTool(args);
        EXPECT_EQ(run.status, 246);
        EXPECT_EQ(run.err, kBanner + kUsage);
        EXPECT_EQ(run.out, "");
    }
}

TEST_F(CommandLineCliTest, OptionLettersAndValuesAreAcceptedInAnyCase)
{
    // Every accepted option leads on to a command; none of them prints the usage.
    const std::vector<std::vector<std::string>> cases = {
        {"/m50", "a.zep"}, {"-s10", "a.zep"},    {"/B1", "a.zep"},           {"/M", "a.zep"},
        {"/S-5", "a.zep"}, {"/M12abc", "a.zep"}, {"-b", "/m", "-S", "a.zep"}};
    for (const auto& args : cases) {
        SCOPED_TRACE(testing::PrintToString(args));
        const ToolRun run = runTool(args);
        EXPECT_EQ(run.err, kBanner + "[a.zep] not exist.\n");
        EXPECT_EQ(run.status, 1);
    }
}

TEST_F(CommandLineCliTest, ArgumentCountPicksTheCommand)
{
    struct Case {
        std::vector<std::string> args;
        std::string message;
        int status;
    };
    const std::vector<Case> cases = {
        {{"a.zep"}, "[a.zep] not exist.\n", 1},
        {{"/V", "a.zep"}, "[a.zep] not exist.\n", 1},
        {{"/Vlist", "a.zep", "b", "c"}, "[a.zep] not exist.\n", 1},
        // Create looks at the source first.
        {{"old", "new"}, "[old] not exist.\n", 1},
        {{"old", "new", "d.zep", "ignored", "too"}, "[old] not exist.\n", 1},
        // An option after the first file argument is a file name.
        {{"a.old", "/V"}, "[a.old] not exist.\n", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const ToolRun run = runTool(c.args);
        EXPECT_EQ(run.err, kBanner + c.message);
        EXPECT_EQ(run.status, c.status);
    }
    writeFile("a.old", "x");
    EXPECT_EQ(runTool({"a.old", "/V"}).err, kBanner + "[/V] not exist.\n");
}

TEST_F(CommandLineCliTest, AbsolutePathsAreFileArgumentsNotOptions)
{
    writeFile("update.zep", "x");
    std::string notZep = "[";
    notZep += path("update.zep");
    notZep += "] is not zep file.\n";
    const ToolRun nested = runTool({path("update.zep")});
    EXPECT_EQ(nested.err, kBanner + notZep);
    // A top-level name that exists is a file, even without a second '/'; a directory is none.
    const ToolRun topLevel = runTool({"/tmp"});
    EXPECT_EQ(topLevel.err, kBanner + "[/tmp] not exist.\n");
    const ToolRun option = runTool({"/V", path("update.zep")});
    EXPECT_EQ(option.err, kBanner + notZep);
}

TEST_F(CommandLineCliTest, HelpVersionAndAnOptionPutLastAnswerWithoutWriting)
{
    const ToolRun help = runTool({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(help.out.substr(0, kBanner.size()), kBanner);
    for (const char* line :
         {"\n  -W ", "\n  -Z ", "-W -Z gives the smallest", "\n  -B ", "\n  -Mn ", "\n  -Sn ",
          "\n  -V ", "\n  -C ", "\n  -E ", "\n  -T ", "\n  --version "})
        EXPECT_NE(help.out.find(line), std::string::npos) << line;
    const ToolRun version = runTool({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out + "\n", kBanner);
    EXPECT_EQ(version.err, "");

    // A difference file spelled like an option, and naming nothing, was meant as one.
    writeFile("old", "old text");
    writeFile("new", "new text");
    for (const std::string last : {"-W", "/Z", "-M50", "/b", "-z", "--help", "-"}) {
        const ToolRun run = runTool({"old", "new", last});
        EXPECT_EQ(run.status, 246) << last;
        EXPECT_EQ(run.err, kBanner + "[" + last +
                               "] looks like an option; options go in front of the file names. "
                               "Nothing written.\n");
        EXPECT_EQ(listDirectory(), (std::vector<std::string>{"new", "old"}));
    }
    // A check reaching a create would not be the dry run it was meant as.
    const ToolRun check = runTool({"-C", "old", "new"});
    EXPECT_EQ(check.status, 246);
    EXPECT_EQ(check.err, kBanner + "-C checks a difference file, given alone; nothing written.\n");
    EXPECT_EQ(listDirectory(), (std::vector<std::string>{"new", "old"}));
}
