// The create command from the command line: what it prints, what it appends, what it leaves
// alone when an input is bad, and what it cleans up when writing fails.
#include "cli/cli_test.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using CreateCliTest = CliTest;

// The progress line ends at 100 and never prints the same percentage twice in a row.
void expectProgressThenDone(const std::string& tail)
{
    ASSERT_GE(tail.size(), 12u);
    EXPECT_EQ(tail.substr(tail.size() - 12), "100%\r\ndone.\n");
    std::string last;
    size_t at = 0;
    while (at < tail.size() - 7) {
        const size_t end = tail.find('\r', at);
        ASSERT_NE(end, std::string::npos);
        const std::string percent = tail.substr(at, end - at);
        EXPECT_NE(percent, last);
        last = percent;
        at = end + 1;
    }
}

}  // namespace

TEST_F(CreateCliTest, RecordsSizesTimesAndChecksums)
{
    const std::string source = pseudoRandom(5000, 1);
    std::string dest = source;
    dest.replace(1000, 10, "0123456789");
    dest += "tail";
    writeFile("old.bin", source);
    writeFile("new.bin", dest);
    // 1995-06-01 07:05:03.007 UTC and 2020-01-01 00:00:00.999 UTC.
    setModified("old.bin", 801990303, 7000000);
    setModified("new.bin", 1577836800, 999000000);
    const ToolRun run = runTool({"old.bin", "new.bin", "d.zep"}, {"TZ=CET-1CEST,M3.5.0,M10.5.0/3"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "");
    const std::string head = kBanner + "old.bin > new.bin\n";
    ASSERT_EQ(run.err.substr(0, head.size()), head);
    expectProgressThenDone(run.err.substr(head.size()));

    const auto records = splitRecords(readFile("d.zep"));
    ASSERT_EQ(records.size(), 1u);
    const StoredRecord& r = records[0];
    EXPECT_EQ(r.header.size(), 114u);
    EXPECT_EQ(r.text(18), "1995/06/01 09:05:03:07");
    EXPECT_EQ(r.text(52), "2020/01/01 01:00:00:999");
    EXPECT_EQ(r.field(48), 5000u);
    EXPECT_EQ(r.field(82), 5004u);
    EXPECT_EQ(r.field(44), crcMpeg2(source));
    EXPECT_EQ(r.field(78), crcMpeg2(dest));
    EXPECT_EQ(r.field(86), crcMpeg2(r.stream));
    EXPECT_EQ(r.field(0), crcMpeg2(r.header.substr(4)));
    EXPECT_EQ(r.text(96), "old.bin");
    EXPECT_EQ(r.text(106), "new.bin");
    EXPECT_EQ(readFile("d.zep").size(), 114 + r.stream.size());
}

TEST_F(CreateCliTest, AppendsBehindEarlierRecordsWithoutTouchingThem)
{
    writeFile("a", pseudoRandom(3000, 2));
    writeFile("b", pseudoRandom(3000, 3));
    ASSERT_EQ(runTool({"a", "b"}).status, 0);
    const std::string first = readFile("b.zep");
    ASSERT_EQ(runTool({"b", "a", "b.zep"}).status, 0);
    const std::string both = readFile("b.zep");
    EXPECT_EQ(both.substr(0, first.size()), first);
    const auto records = splitRecords(both);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].text(96), "b");
    EXPECT_EQ(records[1].text(100), "a");
}

TEST_F(CreateCliTest, SameBaseNameInTwoDirectoriesIsStoredOnce)
{
    ASSERT_EQ(mkdir(path("old").c_str(), 0700), 0);
    ASSERT_EQ(mkdir(path("new").c_str(), 0700), 0);
    writeFile("old/a.txt", "version one of the text\n");
    writeFile("new/a.txt", "version two of the text\n");
    const ToolRun run = runTool({"old/a.txt", "new/a.txt"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err.substr(0, kBanner.size() + 22), kBanner + "old/a.txt > new/a.txt\n");
    const auto records = splitRecords(readFile("a.zep"));  // in the current directory
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].header.size(), 104u);
    EXPECT_EQ(records[0].text(96), "a.txt");

    // The same path typed twice: the path alone, and one copy of the whole file.
    const ToolRun same = runTool({"old/a.txt", "old/a.txt", "same.zep"});
    ASSERT_EQ(same.status, 0) << same.err;
    EXPECT_EQ(same.err.substr(0, kBanner.size() + 10), kBanner + "old/a.txt\n");
    const auto copy = splitRecords(readFile("same.zep"));
    ASSERT_EQ(copy.size(), 1u);
    EXPECT_EQ(copy[0].stream, std::string("\xC0\x18", 2));  // OP_COPY 24
}

TEST_F(CreateCliTest, DefaultDifferenceFileIsNamedAfterTheDestination)
{
    writeFile("src", "source bytes");
    ASSERT_EQ(mkdir(path("new").c_str(), 0700), 0);
    ASSERT_EQ(mkdir(path("old.dir").c_str(), 0700), 0);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"new/prog.exe", "prog.zep"},
        {"archive.tar.gz", "archive.tar.zep"},
        {"README", "README.zep"},
        {".profile", ".zep"},
        {"old.dir/notes", "notes.zep"}};
    for (const auto& [dest, diff] : cases) {
        SCOPED_TRACE(dest);
        writeFile(dest, "destination bytes");
        const ToolRun run = runTool({"src", dest});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(exists(diff));
    }
    // An absolute destination path still names the difference file in the current directory.
    const ToolRun absolute = runTool({path("src"), path("README")});
    EXPECT_EQ(absolute.status, 0) << absolute.err;
    EXPECT_EQ(splitRecords(readFile("README.zep")).size(), 2u);
}

TEST_F(CreateCliTest, BadInputsLeaveTheDifferenceFileAlone)
{
    writeFile("good", "some content");
    writeFile("empty", "");
    ASSERT_EQ(mkdir(path("folder").c_str(), 0700), 0);
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"missing", "good", "d.zep"}, 1, "[missing] not exist.\n"},
        {{"good", "missing", "d.zep"}, 1, "[missing] not exist.\n"},
        {{"good", "folder", "d.zep"}, 1, "[folder] not exist.\n"},
        {{"empty", "good", "d.zep"}, 2, "[empty] can not create mapping file.\n"},
        {{"good", "empty", "d.zep"}, 2, "[empty] can not create mapping file.\n"},
        {{"good", "/dev/zero", "d.zep"}, 1, "[/dev/zero] not exist.\n"},  // never opened
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const ToolRun run = runTool(c.args);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.err, kBanner + c.message);
        EXPECT_FALSE(exists("d.zep"));
    }
    writeFile("d.zep", "earlier content");
    EXPECT_EQ(runTool({"good", "missing", "d.zep"}).status, 1);
    EXPECT_EQ(readFile("d.zep"), "earlier content");
    const ToolRun unwritable = runTool({"good", "good", "folder"});
    EXPECT_EQ(unwritable.status, 4);
    EXPECT_EQ(unwritable.err, kBanner + "[folder] can not create.\n");
}

TEST_F(CreateCliTest, DifferenceFilesThatCannotTakeARecordAreRefusedUntouched)
{
    writeFile("old.txt", "old text");
    writeFile("new.txt", "new text");
    ASSERT_EQ(mkdir(path("v1").c_str(), 0700), 0);
    ASSERT_EQ(runTool({"old.txt", "new.txt", "v1/pack.zep"}).status, 0);
    writeFile("pack.zep", readFile("v1/pack.zep"));
    const std::string record = readFile("pack.zep");
    ASSERT_EQ(mkfifo(path("fifo.zep").c_str(), 0600), 0);
    std::string broken = record + record;
    broken[record.size() + 50] ^= 1;
    const std::string size = std::to_string(record.size());
    // Records that apply, given the right sources, would stop at: a stream byte flipped, a
    // compact record's layout flipped, a stored name that apply refuses.
    std::string flippedStream = record + record;
    flippedStream[record.size() - 1] ^= 1;
    ASSERT_EQ(runTool({"-Z", "old.txt", "new.txt", "v1/compact.zep"}).status, 0);
    const std::string compact = readFile("v1/compact.zep");
    std::string flippedLayout = compact + record;
    flippedLayout[splitRecords(compact).at(0).header.size()] ^= 4;
    std::string unsafeName = record + record;
    unsafeName[96] = '/';
    sealHeader(unsafeName);
    struct Case {
        std::vector<std::string> args;
        std::string content;  // of the difference file before, when it is a plain file
        int status;
        std::string message;
    };
    std::vector<Case> cases = {
        {{"old.txt", "new.txt", "fifo.zep"}, "", 4, "[fifo.zep] can not create.\n"},
        {{"old.txt", "new.txt", "/dev/full"}, "", 4, "[/dev/full] can not create.\n"},
        {{"old.txt", "new.txt", "new.txt"}, "new text", 4, "[new.txt] is also an input file.\n"},
        {{"old.txt", "new.txt", "old.txt"}, "old text", 4, "[old.txt] is also an input file.\n"},
        {{"v1/pack.zep", "pack.zep"}, record, 4, "[pack.zep] is also an input file.\n"},
        {{"old.txt", "new.txt", "d.zep"},
         record + "junk",
         11,
         "[d.zep] is damaged at byte " + size + "; nothing appended.\n"},
        {{"old.txt", "new.txt", "d.zep"},
         broken,
         11,
         "[d.zep] is damaged at byte " + size + "; nothing appended.\n"},
        {{"old.txt", "new.txt", "d.zep"},
         flippedStream,
         11,
         "[d.zep] is damaged at byte 0; nothing appended.\n"},
        {{"old.txt", "new.txt", "d.zep"},
         flippedLayout,
         11,
         "[d.zep] is damaged at byte 0; nothing appended.\n"},
        {{"old.txt", "new.txt", "d.zep"},
         unsafeName,
         11,
         "[d.zep] is damaged at byte 0; nothing appended.\n"},
        {{"old.txt", "new.txt", "d.zep"},
         std::string(300, 't'),
         11,
         "[d.zep] is damaged at byte 0; nothing appended.\n"},
        {{"old.txt", "new.txt", "d.zep"},
         record.substr(0, record.size() - 1),
         11,
         "[d.zep] is damaged at byte 0; nothing appended.\n"},
    };
    // A file another user left in a shared sticky directory, as in /tmp: theirs to change later.
    if (geteuid() == 0) {
        ASSERT_EQ(mkdir(path("shared").c_str(), 0700), 0);
        ASSERT_EQ(chmod(path("shared").c_str(), 01777), 0);
        writeFile("shared/d.zep", record);
        ASSERT_EQ(chown(path("shared/d.zep").c_str(), 65534, 65534), 0);
        cases.push_back({{"old.txt", "new.txt", "shared/d.zep"},
                         record,
                         4,
                         "[shared/d.zep] belongs to another user in a shared directory; nothing "
                         "appended.\n"});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const std::string diff = c.args.size() == 3 ? c.args[2] : "pack.zep";
        if (diff == "d.zep")
            writeFile(diff, c.content);
        const ToolRun run = runShell("exec timeout 20 \"$ZEP\" " + [&] {
            std::string line;
            for (const std::string& arg : c.args)
                line += "'" + arg + "' ";
            return line;
        }());
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.err, kBanner + c.message);
        if (!c.content.empty()) {
            EXPECT_TRUE(readFile(diff) == c.content);
        }
    }
    // Other data 128 bytes long behind the last record is stepped over by every reader.
    writeFile("d.zep", record + std::string(128, '-'));
    EXPECT_EQ(runTool({"old.txt", "new.txt", "d.zep"}).status, 0);
    EXPECT_EQ(runTool({"-V", "d.zep"}).out.size(), 2 * runTool({"-V", "pack.zep"}).out.size() - 15);
}

TEST_F(CreateCliTest, AnUnfinishedRecordIsCutOffOnlyWhenNothingButItFollows)
{
    writeFile("a", pseudoRandom(3000, 11));
    writeFile("b", pseudoRandom(3000, 12));
    ASSERT_EQ(runTool({"a", "b", "first.zep"}).status, 0);
    ASSERT_EQ(runTool({"b", "a", "second.zep"}).status, 0);
    const std::string first = readFile("first.zep");
    const std::string second = readFile("second.zep");
    // What a create killed while writing leaves: its provisional header and part of its stream.
    std::string unfinished = second.substr(0, 1500);
    for (const size_t field : {0, 44, 78, 86, 90})
        store32(unfinished, field, 0);
    writeFile("d.zep", first + unfinished);
    EXPECT_EQ(runTool({"-V", "d.zep"}).status, 254);
    const std::string archived(512, 'm');  // another member of an archive, ahead of the records
    // Every 8 bytes the magic and a header length of 130816: too many would-be headers to check.
    std::string crafted;
    for (int i = 0; i < 1 << 17; ++i)
        crafted += std::string("ZEP\0\0\xff\x01\0", 8);
    std::string damaged = first;  // a record whose header no longer passes its checksum
    damaged[20] = static_cast<char>(damaged[20] ^ 1);
    const auto damagedAt = [](size_t at) {
        return "[d.zep] is damaged at byte " + std::to_string(at) + "; nothing appended.\n";
    };
    struct Case {
        const char* what;
        std::string content;
        int status;
        std::string message;  // what standard error starts with behind the banner
        std::string after;
    };
    const std::vector<Case> cases = {
        {"nothing behind it", first + unfinished, 0,
         "[d.zep] unfinished record removed (1500 bytes).\n", first + second},
        {"a record behind it", first + unfinished + first, 11, damagedAt(first.size()), ""},
        {"a record behind it off the probe steps", first + unfinished + "x" + first, 11,
         damagedAt(first.size()), ""},
        {"an unfinished record behind it", first + unfinished + unfinished, 11,
         damagedAt(first.size()), ""},
        {"in an archive", archived + first + unfinished + first, 11,
         damagedAt(archived.size() + first.size()), ""},
        {"would-be records behind it", first + unfinished + crafted, 11, damagedAt(first.size()),
         ""},
        {"a damaged record behind it", first + unfinished + damaged, 11, damagedAt(first.size()),
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        writeFile("d.zep", c.content);
        const ToolRun run = runTool({"b", "a", "d.zep"});
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_EQ(run.err.substr(0, kBanner.size() + c.message.size()), kBanner + c.message);
        EXPECT_TRUE(readFile("d.zep") == (c.status == 0 ? c.after : c.content));
    }
}

TEST_F(CreateCliTest, InputsThatWouldBeStoredUnderAnotherNameAreRefused)
{
    const std::pair<std::string, std::string> names[] = {
        {"dir\\a.txt", "dir\\\\a.txt"}, {"C:b.txt", "C:b.txt"}, {"new\x1b[1m", "new\\x1b[1m"}};
    writeFile("plain", "plain content");
    for (const auto& [name, shown] : names) {
        SCOPED_TRACE(shown);
        writeFile(name, "content of " + name);
        for (const auto& args : {std::vector<std::string>{name, "plain", "d.zep"},
                                 std::vector<std::string>{"plain", name, "d.zep"}}) {
            const ToolRun run = runTool(args);
            EXPECT_EQ(run.status, 8);
            EXPECT_EQ(run.err, kBanner + "[" + shown + "] unsafe file name.\n");
            EXPECT_FALSE(exists("d.zep"));
        }
    }
}

TEST_F(CreateCliTest, FailedWriteCutsTheFileBackToItsEarlierRecords)
{
    writeFile("a", pseudoRandom(70000, 4));
    writeFile("b", pseudoRandom(70000, 5));  // unrelated: a record of about 80 KB
    ASSERT_EQ(runTool({"a", "a", "d.zep"}).status, 0);
    const std::string before = readFile("d.zep");
    // The file may grow to 20 KB only; SIGXFSZ ignored turns the excess into a failed write.
    const ToolRun run = runShell("trap '' XFSZ; ulimit -f 40; exec \"$ZEP\" a b d.zep");
    EXPECT_EQ(run.status, 9);
    EXPECT_EQ(run.err.substr(run.err.size() - 23), "[d.zep] can not write.\n");
    EXPECT_EQ(readFile("d.zep"), before);

    // A difference file this run created is removed again; the tool itself ignores SIGXFSZ.
    const ToolRun fresh = runShell("ulimit -f 40; exec \"$ZEP\" a b new.zep");
    EXPECT_EQ(fresh.status, 9);
    EXPECT_FALSE(exists("new.zep"));
}

TEST_F(CreateCliTest, InputsOf4GiBOrMoreAreRefused)
{
    writeFile("small", "x");
    const int fd = open(path("huge").c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, (off_t{1} << 32)), 0);  // sparse: no disk space is used
    close(fd);
    const ToolRun run = runTool({"small", "huge", "d.zep"});
    EXPECT_EQ(run.status, 10);
    EXPECT_EQ(run.err, kBanner + "[huge] is too large.\n");
    EXPECT_FALSE(exists("d.zep"));
}

TEST_F(CreateCliTest, OptionsReachTheEncoder)
{
    // 100 new bytes in the middle: the block search finds the rest; without it (-B) the
    // stream carries most of the destination as differences and is much longer.
    const std::string source = pseudoRandom(2000, 6);
    const std::string dest = source.substr(0, 900) + pseudoRandom(100, 7) + source.substr(900);
    writeFile("old", source);
    writeFile("new", dest);
    ASSERT_EQ(runTool({"old", "new", "deep.zep"}).status, 0);
    ASSERT_EQ(runTool({"-B", "old", "new", "plain.zep"}).status, 0);
    const auto deep = splitRecords(readFile("deep.zep"));
    const auto plain = splitRecords(readFile("plain.zep"));
    ASSERT_EQ(deep.size(), 1u);
    ASSERT_EQ(plain.size(), 1u);
    EXPECT_LT(deep[0].stream.size(), 120u);
    EXPECT_GT(plain[0].stream.size(), 1000u);
}

TEST_F(CreateCliTest, WholeFileSearchNeverWritesALongerRecord)
{
    // 3000 new bytes at the front: the whole-file search realigns, the specified encoder cannot.
    const std::string source = pseudoRandom(60000, 21);
    writeFile("a", source);
    writeFile("b", pseudoRandom(3000, 22) + source);
    ASSERT_EQ(runTool({"a", "b", "plain.zep"}).status, 0);
    const ToolRun whole = runTool({"/W", "a", "b", "whole.zep"});
    ASSERT_EQ(whole.status, 0) << whole.err;
    EXPECT_EQ(whole.err.substr(kBanner.size(), 6), "a > b\n");
    EXPECT_EQ(whole.err.substr(whole.err.size() - 12), "100%\r\ndone.\n");
    EXPECT_LT(readFile("whole.zep").size(), 3300u);
    EXPECT_GT(readFile("plain.zep").size(), 60000u);

    // Where the specified encoder's stream is as short, its record is what /W writes.
    writeFile("c", source.substr(0, 30000) + "x" + source.substr(30001));
    ASSERT_EQ(runTool({"a", "c", "plain2.zep"}).status, 0);
    ASSERT_EQ(runTool({"-w", "a", "c", "whole2.zep"}).status, 0);
    EXPECT_TRUE(readFile("whole2.zep") == readFile("plain2.zep"));

    // Both records rebuild their destination.
    ASSERT_EQ(mkdir(path("apply").c_str(), 0700), 0);
    writeFile("apply/a", source);
    struct stat info;
    ASSERT_EQ(stat(path("a").c_str(), &info), 0);
    setModified("apply/a", info.st_mtim.tv_sec, info.st_mtim.tv_nsec);
    const ToolRun applied = runShell("cd apply && exec \"$ZEP\" ../whole.zep");
    ASSERT_EQ(applied.status, 0) << applied.err;
    EXPECT_TRUE(readFile("apply/b") == pseudoRandom(3000, 22) + source);
}
