// The view command from the command line: the exact listing on standard output, and how it ends
// on files that hold no record, junk, a cut stream or a broken header.
#include "cli/cli_test.h"

#include <cstdio>
#include <sys/stat.h>

namespace {

class ViewCliTest : public CliTest {
  protected:
    void SetUp() override
    {
        CliTest::SetUp();
        mkdir(path("old").c_str(), 0700);
        mkdir(path("new").c_str(), 0700);
    }

    // Appends the record old/name -> new/destName, times fixed, to d.zep.
    void record(const std::string& name, const std::string& before, const std::string& after,
                const std::string& destName, const std::string& option = "-B0")
    {
        writeFile("old/" + name, before);
        writeFile("new/" + destName, after);
        setModified("old/" + name, 1600000000, 123456789);
        setModified("new/" + destName, 1700000000, 987654321);
        const ToolRun run =
            runTool({option, "old/" + name, "new/" + destName, "d.zep"}, {"TZ=UTC"});
        ASSERT_EQ(run.status, 0) << run.err;
    }

    ToolRun view(const std::string& diff = "d.zep")
    {
        return runTool({"-V", diff}, {"TZ=UTC"});
    }
};

std::string listing(const std::string& source, const std::string& before, const std::string& dest,
                    const std::string& after)
{
    char text[256];
    std::snprintf(text, sizeof text,
                  "%s 2020/09/13 12:26:40:123 %08x %zu\n>> %s 2023/11/14 22:13:20:987 %08x %zu\n\n",
                  source.c_str(), crcMpeg2(before), before.size(), dest.c_str(), crcMpeg2(after),
                  after.size());
    return text;
}

}  // namespace

TEST_F(ViewCliTest, ListsEveryRecordOnStandardOutput)
{
    record("a.txt", "first old", "first new version", "a.txt");
    record("x.bin", pseudoRandom(5000, 1), pseudoRandom(4000, 2), "y.bin", "-Z");
    record("a.txt", "again", "and again", "a.txt", "/z");
    const ToolRun run = view();
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, kBanner);
    EXPECT_EQ(run.out, "OS type: Win32\n" +
                           listing("a.txt", "first old", "a.txt", "first new version") +
                           listing("x.bin", pseudoRandom(5000, 1), "y.bin", pseudoRandom(4000, 2)) +
                           listing("a.txt", "again", "a.txt", "and again"));
}

TEST_F(ViewCliTest, FieldsArePrintedAsStoredWhateverTheirValue)
{
    record("a", "old", "new", "a");
    std::string diff = readFile("d.zep");
    diff[4] = 9;                                 // an OS type no writer uses
    store32(diff, 44, 0xabcd);                   // a checksum with leading zeros
    store32(diff, 48, 3000000000u);              // a size above 2^31 stays positive
    diff.replace(18, 26, std::string(26, 'T'));  // a time text without its zero
    sealHeader(diff);
    writeFile("d.zep", diff);
    const ToolRun run = view();
    EXPECT_EQ(run.status, 0);
    const std::string head = "OS type: Unknown\na " + std::string(26, 'T') +
                             " 0000abcd 3000000000\n>> a 2023/11/14 22:13:20:987 ";
    EXPECT_EQ(run.out.substr(0, head.size()), head);

    // Except what would steer a terminal: control bytes in names and times come out escaped.
    removeFile("d.zep");
    record("abcd", "old", "new", "abcd");
    diff = readFile("d.zep");
    diff.replace(96, 4, "\x1b]2;");
    diff[96 + 3] = '\a';
    diff[18] = '\r';
    sealHeader(diff);
    writeFile("d.zep", diff);
    const std::string escaped = "\\x1b]2\\x07 \\x0d020/09/13 12:26:40:123 ";
    EXPECT_EQ(view().out.substr(15, escaped.size()), escaped);
}

TEST_F(ViewCliTest, TheListingEndsQuietlyWhereNoFurtherRecordIsFound)
{
    record("a", "old", "new", "a");
    const std::string first = readFile("d.zep");
    const std::string once = "OS type: Win32\n" + listing("a", "old", "a", "new");
    struct Case {
        const char* what;
        std::string diff;
        std::string out;
    };
    const std::vector<Case> cases = {
        {"record 128 bytes behind", first + std::string(128, '-') + first,
         once + listing("a", "old", "a", "new")},
        {"record 100 bytes behind", first + std::string(100, '-') + first, once},
        {"a few bytes of junk", first + "junk", once},
        {"stream reaching past the end", first.substr(0, first.size() - 2), once},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        writeFile("d.zep", c.diff);
        const ToolRun run = view();
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.err, kBanner);
    }
}

TEST_F(ViewCliTest, FilesWithoutRecordsAndBrokenHeaders)
{
    for (const std::string& content : {std::string(), std::string("seventeen bytes!!")}) {
        writeFile("d.zep", content);
        const ToolRun run = view();
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, kBanner + "[d.zep] is not zep file.\n");
    }
    EXPECT_EQ(view("missing.zep").err, kBanner + "[missing.zep] not exist.\n");

    removeFile("d.zep");
    record("a", "old", "new", "a");
    record("b", "old", "new", "b");
    std::string diff = readFile("d.zep");
    const std::vector<StoredRecord> records = splitRecords(diff);
    ASSERT_EQ(records.size(), 2u);
    const size_t second = records[0].header.size() + records[0].stream.size();
    diff[second + 50] ^= 1;  // inside the second header's checksummed bytes
    writeFile("d.zep", diff);
    const ToolRun run = view();
    EXPECT_EQ(run.status, 254);
    EXPECT_EQ(run.out, "OS type: Win32\n" + listing("a", "old", "a", "new"));
    EXPECT_EQ(run.err, kBanner + "Header broken.\n");
}

TEST_F(ViewCliTest, PipesAreRefusedWhileFilesAndDevicesAreRead)
{
    record("a", "old", "new", "a");
    const std::string listed = view().out;
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    struct Case {
        const char* command;
        int status;
        std::string out;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"cat d.zep | \"$ZEP\" -V /dev/stdin", 1, "",
         "[/dev/stdin] is a pipe or a socket; -V needs a regular file.\n"},
        {"exec timeout 20 \"$ZEP\" -V fifo", 1, "",
         "[fifo] is a pipe or a socket; -V needs a regular file.\n"},
        {"exec \"$ZEP\" -V /dev/stdin < d.zep", 0, listed, ""},
        {"exec \"$ZEP\" -V /dev/null", 0, "", "[/dev/null] is not zep file.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        const ToolRun run = runShell(c.command);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.err, kBanner + c.message);
    }
}
