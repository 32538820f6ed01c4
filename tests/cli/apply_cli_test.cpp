// The apply command from the command line: round trips through create (plain and compact
// records in one file), the time check, numbered backups, the checksum failures, unsafe names
// and broken files, and what each leaves on disk, including the temporary directory (a private
// one per test).
#include "cli/cli_test.h"

#include <cstdlib>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr long long kOldSeconds = 1600000000;
constexpr long kOldNanoseconds = 123456789;
constexpr long long kNewSeconds = 1700000000;
constexpr long kNewNanoseconds = 987654321;

// A zstd frame (RFC 8878) of contentSize bytes made of the given blocks, under a window of
// 2^windowLog: what an attacker writes by hand to claim gigabytes in kilobytes.
std::string zstdFrame(uint64_t contentSize, const std::string& blocks, int windowLog = 20)
{
    std::string frame = {'\x28', '\xB5', '\x2F',
                         '\xFD', '\xC0', static_cast<char>((windowLog - 10) << 3)};
    for (int i = 0; i < 8; ++i)
        frame += static_cast<char>(contentSize >> (8 * i));
    return frame + blocks;
}
std::string blockHeader(uint64_t size, int type, bool last)
{
    const auto bits = static_cast<uint32_t>(size << 3 | uint64_t(type) << 1 | (last ? 1 : 0));
    return {static_cast<char>(bits), static_cast<char>(bits >> 8), static_cast<char>(bits >> 16)};
}
// size copies of value, in run-length blocks of 128 KiB.
std::string runLengthFrame(uint64_t size, uint8_t value)
{
    std::string blocks;
    for (uint64_t left = size; left != 0;) {
        const uint64_t count = std::min<uint64_t>(left, 128 * 1024);
        left -= count;
        blocks += blockHeader(count, 1, left == 0) + static_cast<char>(value);
    }
    return zstdFrame(size, blocks);
}

// A compact stream: its layout and flags, the LEB128 lengths, then the pieces.
std::string compactStream(uint8_t layout, std::initializer_list<uint64_t> lengths,
                          const std::string& pieces)
{
    std::string stored = {static_cast<char>(layout), 0};
    for (uint64_t length : lengths) {
        for (; length >= 0x80; length >>= 7)
            stored += static_cast<char>(length | 0x80);
        stored += static_cast<char>(length);
    }
    return stored + pieces;
}

struct FileState {
    long long seconds = 0;
    long nanoseconds = 0;
    unsigned mode = 0;
};

class ApplyCliTest : public CliTest {
  protected:
    void SetUp() override
    {
        CliTest::SetUp();
        temporaryDirectory_ = root_ + "/tmp";
        ASSERT_EQ(mkdir(temporaryDirectory_.c_str(), 0700), 0);
        mkdir(path("old").c_str(), 0700);
        mkdir(path("new").c_str(), 0700);
    }

    ToolRun apply(const std::string& diff = "d.zep", const std::string& temporary = "")
    {
        return runTool(
            {diff}, {"TZ=UTC", "TMPDIR=" + (temporary.empty() ? temporaryDirectory_ : temporary)});
    }

    // Records old/name -> new/destName into d.zep and puts a copy of the old version, time
    // included, into the work directory as name.
    void stage(const std::string& name, const std::string& before, const std::string& after,
               const std::vector<std::string>& options = {}, std::string destName = "")
    {
        if (destName.empty())
            destName = name;
        writeFile("old/" + name, before);
        writeFile("new/" + destName, after);
        setModified("old/" + name, kOldSeconds, kOldNanoseconds);
        setModified("new/" + destName, kNewSeconds, kNewNanoseconds);
        std::vector<std::string> args = options;
        args.insert(args.end(), {"old/" + name, "new/" + destName, "d.zep"});
        const ToolRun run = runTool(args, {"TZ=UTC"});
        ASSERT_EQ(run.status, 0) << run.err;
        writeFile(name, before);
        setModified(name, kOldSeconds, kOldNanoseconds);
    }

    FileState state(const std::string& name) const
    {
        struct stat info;
        EXPECT_EQ(stat(path(name).c_str(), &info), 0) << name;
        return {info.st_mtim.tv_sec, info.st_mtim.tv_nsec, info.st_mode & 07777u};
    }

    std::vector<std::string> temporaryFiles() const
    {
        return listDirectory("../tmp");
    }

    std::string temporaryDirectory_;
};

std::string edited(std::string text, size_t at, const std::string& bytes)
{
    text.replace(at, bytes.size(), bytes);
    return text;
}

}  // namespace

TEST_F(ApplyCliTest, RoundTripsRebuildEveryShapeWithTimeAndMode)
{
    struct Shape {
        std::string before, after;
    };
    const std::string base = pseudoRandom(6000, 7);
    std::vector<Shape> shapes = {
        {base, base},
        {base, base + pseudoRandom(333, 8)},
        {base, base.substr(0, 4000)},
        {base, edited(edited(edited(base, 10, "x"), 2000, "yy"), 5990, "zzzzzzzzzz")},
        {base, pseudoRandom(5000, 9)},
        {std::string(5000, 'a'), std::string(2500, 'a') + std::string(2600, 'b')},
    };
    for (const size_t size : {1ul, 15ul, 16ul, 100ul, 1000ul, 5000ul}) {
        shapes.push_back({base, base.substr(0, 3000) + pseudoRandom(size, 10) + base.substr(3000)});
        shapes.push_back({base, base.substr(0, 500) + base.substr(500 + size)});
    }
    for (size_t tiny = 1; tiny <= 20; tiny += 3)
        shapes.push_back({pseudoRandom(tiny, 11), pseudoRandom(21 - tiny, 12)});
    const std::vector<std::vector<std::string>> optionSets = {
        {},     {"/S0"},     {"/S200"}, {"/M0"}, {"/M100"}, {"/B"}, {"-s5", "-m90", "-b"},
        {"-Z"}, {"/w", "/z"}};

    std::vector<std::string> names;
    for (size_t i = 0; i < shapes.size(); ++i) {
        const std::string name = "f" + std::to_string(i);
        stage(name, shapes[i].before, shapes[i].after, optionSets[i % optionSets.size()]);
        const unsigned mode = i % 2 == 0 ? 0755 : 0640;
        chmod(path(name).c_str(), mode);
        names.push_back(name);
    }
    const ToolRun run = apply();
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.find("error"), std::string::npos) << run.err;
    for (size_t i = 0; i < shapes.size(); ++i) {
        SCOPED_TRACE(names[i]);
        EXPECT_NE(run.err.find(names[i] + " > " + names[i] + "\n"), std::string::npos);
        EXPECT_EQ(readFile(names[i]) == shapes[i].after, true);
        EXPECT_EQ(readFile(names[i] + ".000") == shapes[i].before, true);
        const FileState result = state(names[i]);
        EXPECT_EQ(result.seconds, kNewSeconds);
        EXPECT_EQ(result.nanoseconds, 987000000);  // the record keeps milliseconds
        EXPECT_EQ(result.mode, i % 2 == 0 ? 0755u : 0640u);
    }
    EXPECT_TRUE(temporaryFiles().empty());
}

TEST_F(ApplyCliTest, TimeCheckSkipsOnlyTheRecordWhoseSourceChanged)
{
    stage("a", "first old", "first new");
    stage("b", "second old", "second new");
    stage("c", "third old", "third new");
    setModified("a", kOldSeconds, kOldNanoseconds + 1000000);  // a millisecond later
    setModified("c", kOldSeconds, kOldNanoseconds + 500);      // below a millisecond: the same
    const ToolRun run = apply();
    EXPECT_EQ(run.status, 0);
    const std::string head = kBanner + "a > a\n[a] time comparison error.\nb > b\n";
    EXPECT_EQ(run.err.substr(0, head.size()), head);
    EXPECT_EQ(run.err.find("error"), run.err.rfind("error"));
    EXPECT_EQ(readFile("a"), "first old");
    EXPECT_FALSE(exists("a.000"));
    EXPECT_EQ(readFile("b"), "second new");
    EXPECT_EQ(readFile("c"), "third new");
    EXPECT_TRUE(temporaryFiles().empty());
}

// What -T, -C and -E make of each state of the files on disk: a source as staged, one whose time
// alone changed, a target that already holds the new version, a source whose content changed
// with its time or without it, a missing source; in either option form. What an apply prints
// (progress left out: a check replays into nothing, and shows it) and ends with, and whether it
// wrote.
TEST_F(ApplyCliTest, ContentCheckAndStrictOptionsFollowTheFilesOnDisk)
{
    struct Case {
        std::vector<std::string> options;
        std::string state;
        std::string lines;
        int status;
        bool writes;
    };
    const std::string skip = "[a] time comparison error.\n";
    const std::string wouldNot = "[d.zep] 1 of 1 records would not be applied.\n";
    const std::string current = "[a] is already up to date.\n";
    const std::vector<Case> cases = {
        {{}, "touched", skip, 0, false},
        {{"-E"}, "touched", skip + "[d.zep] 1 of 1 records skipped.\n", 17, false},
        {{"/t"}, "touched", "\n", 0, true},
        {{"-T", "-E"}, "changed", skip + "[d.zep] 1 of 1 records skipped.\n", 17, false},
        {{"-C"}, "staged", "\n[a] would be updated.\n", 0, false},
        {{"-C"}, "touched", skip + wouldNot, 17, false},
        {{"/c", "/T"}, "touched", "\n[a] would be updated.\n", 0, false},
        {{"-C", "-T"}, "changed", skip + wouldNot, 17, false},
        {{"-C"}, "same time", "\nsource file CRC is not match(broken?).\n" + wouldNot, 17, false},
        {{"-C"}, "missing", "[a] not exist.\n" + wouldNot, 17, false},
        {{}, "applied", current, 0, false},
        {{"-E"}, "applied", current, 0, false},
        {{"-C", "-E"}, "applied", current, 0, false},
    };
    stage("a", "old text", "new text");
    const std::string record = readFile("d.zep");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.state + " " + testing::PrintToString(c.options));
        for (const std::string& name : listDirectory())
            if (name != "old" && name != "new")
                removeFile(name);
        writeFile("d.zep", record);
        writeFile("a", c.state == "applied" ? "new text" : "old text");
        if (c.state == "changed" || c.state == "same time")
            writeFile("a", "odd text");
        setModified("a", c.state == "staged" || c.state == "same time" ? kOldSeconds : 1,
                    kOldNanoseconds);
        if (c.state == "missing")
            removeFile("a");
        const std::vector<std::string> before = listDirectory();
        std::vector<std::string> args = c.options;
        args.push_back("d.zep");
        const ToolRun run = runTool(args, {"TZ=UTC", "TMPDIR=" + temporaryDirectory_});
        std::string lines = run.err;
        for (size_t at; (at = lines.find("%\r")) != std::string::npos;) {
            const size_t digits = lines.find_last_not_of("0123456789", at - 1) + 1;
            lines.erase(digits, at + 2 - digits);  // the progress
        }
        EXPECT_EQ(lines, kBanner + "a > a\n" + c.lines);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(listDirectory() != before, c.writes);
        EXPECT_TRUE(temporaryFiles().empty());
    }
}

// Two records of one file that build on each other (v1 -> v2 -> v3): a check follows the
// first record's result into the second, and once applied both are up to date, strictly too. A
// check replays into nothing, so a damaged stream fails it as it fails an apply.
TEST_F(ApplyCliTest, ChecksFollowRecordsThatBuildOnEachOther)
{
    stage("a", "version one", "version two");
    writeFile("old/a", "version two");
    setModified("old/a", kNewSeconds, kNewNanoseconds);
    writeFile("new/a", "version three");
    ASSERT_EQ(runTool({"old/a", "new/a", "d.zep"}, {"TZ=UTC"}).status, 0);
    const std::vector<std::string> env = {"TZ=UTC", "TMPDIR=" + temporaryDirectory_};
    const ToolRun check = runTool({"-C", "d.zep"}, env);
    EXPECT_EQ(check.status, 0) << check.err;
    EXPECT_EQ(readFile("a"), "version one");
    ASSERT_EQ(runTool({"d.zep"}, env).status, 0);
    EXPECT_EQ(readFile("a"), "version three");
    const std::string current = "a > a\n[a] is already up to date.\n";
    for (const std::string option : {"-E", "-C"}) {
        const ToolRun again = runTool({option, "d.zep"}, env);
        EXPECT_EQ(again.status, 0) << option;
        EXPECT_EQ(again.err, kBanner + current + current) << option;
    }
    std::string damaged = readFile("d.zep");
    damaged.back() = static_cast<char>(damaged.back() ^ 1);
    writeFile("d.zep", damaged);
    writeFile("a", "version one");
    setModified("a", kOldSeconds, kOldNanoseconds);
    const ToolRun broken = runTool({"-C", "d.zep"}, env);
    EXPECT_EQ(broken.status, 17);
    EXPECT_NE(broken.err.find(".zep broken.\n[d.zep] 1 of 2 records would not be applied.\n"),
              std::string::npos)
        << broken.err;
    EXPECT_EQ(readFile("a"), "version one");
}

TEST_F(ApplyCliTest, BackupsTakeTheFirstFreeNumberAndNeverReplace)
{
    stage("a.txt", "old a", "new a");
    writeFile("a.000", "someone else's");
    ToolRun run = apply();
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err.substr(kBanner.size(), 14), "a.txt > a.txt\n");
    EXPECT_EQ(readFile("a.000"), "someone else's");
    EXPECT_EQ(readFile("a.001"), "old a");
    EXPECT_EQ(readFile("a.txt"), "new a");

    // A stored destination name: the source stays, an existing destination is moved aside.
    removeFile("d.zep");
    stage("x.txt", "source", "destination", {}, "b.txt");
    writeFile("b.txt", "former b");
    run = apply();
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err.substr(kBanner.size(), 14), "x.txt > b.txt\n");
    EXPECT_EQ(readFile("x.txt"), "source");
    EXPECT_EQ(readFile("b.000"), "former b");
    EXPECT_EQ(readFile("b.txt"), "destination");

    // ... and when it does not exist yet, nothing is moved at all.
    removeFile("b.txt");
    removeFile("b.000");
    run = apply();
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(listDirectory(), (std::vector<std::string>{"a.000", "a.001", "a.txt", "b.txt",
                                                         "d.zep", "new", "old", "x.txt"}));
}

TEST_F(ApplyCliTest, WhenEveryBackupNameIsTakenTheResultStaysInTheTemporaryDirectory)
{
    stage("a", "old", "new");
    for (int i = 0; i < 1000; ++i) {
        char name[8];
        std::snprintf(name, sizeof name, "a.%03d", i);
        writeFile(name, "");
    }
    const ToolRun run = apply();
    EXPECT_EQ(run.status, 250);
    EXPECT_EQ(run.err.substr(run.err.size() - 24), "Rename error temp file.\n");
    EXPECT_EQ(readFile("a"), "old");
    const std::vector<std::string> left = temporaryFiles();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(readFile("../tmp/" + left[0]), "new");
    EXPECT_EQ(state("../tmp/" + left[0]).seconds, kNewSeconds);
}

TEST_F(ApplyCliTest, ChecksumFailuresEndTheRunAndLeaveNothingBehind)
{
    const std::string before = pseudoRandom(3000, 3);
    const std::string after = before + "a tail of literal bytes";
    struct Case {
        const char* what;
        int status;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"stream", 253, ".zep broken.\n"},
        {"source", 252, "source file CRC is not match(broken?).\n"},
        {"destination", 251, "internal error out put CRC not match.\n"},
        // A record that claims more than its stream writes: the checksum alone would pass.
        {"destination size", 251, "internal error out put CRC not match.\n"},
        // A zep from before compact records replays the stored bytes as they are.
        {"compact flag", 253, ".zep broken.\n"},
    };
    for (const Case& c : cases)
        for (const bool compact : {false, true}) {
            SCOPED_TRACE(testing::Message() << c.what << (compact ? ", compact" : ", plain"));
            for (const std::string& name : listDirectory())
                if (name != "old" && name != "new")
                    removeFile(name);
            stage("a", before, after,
                  compact ? std::vector<std::string>{"-Z"} : std::vector<std::string>{});
            std::string diff = readFile("d.zep");
            if (std::string(c.what) == "compact flag") {
                diff[6] = static_cast<char>(diff[6] ^ 2);
                sealHeader(diff);
            } else if (c.status == 253) {
                diff.back() = static_cast<char>(diff.back() ^ 1);  // a literal byte, or a frame's
            } else if (c.status == 252) {
                writeFile("a", edited(before, 100, "!"));
                setModified("a", kOldSeconds, kOldNanoseconds);
            } else if (std::string(c.what) == "destination") {
                store32(diff, 78, splitRecords(diff)[0].field(78) ^ 1);
                sealHeader(diff);
            } else {
                store32(diff, 82, splitRecords(diff)[0].field(82) + 1);
                sealHeader(diff);
            }
            writeFile("d.zep", diff);
            const ToolRun run = apply();
            EXPECT_EQ(run.status, c.status);
            EXPECT_EQ(run.err.substr(run.err.size() - std::string(c.message).size()), c.message);
            EXPECT_EQ(listDirectory(), (std::vector<std::string>{"a", "d.zep", "new", "old"}));
            EXPECT_TRUE(temporaryFiles().empty());
        }
}

TEST_F(ApplyCliTest, AFailingRecordStopsTheRunButKeepsEarlierRecords)
{
    stage("a", "first old", "first new");
    stage("b", "second old", "second new");
    stage("c", "third old", "third new");
    writeFile("b", "second OLD");
    setModified("b", kOldSeconds, kOldNanoseconds);
    const ToolRun run = apply();
    EXPECT_EQ(run.status, 252);
    EXPECT_EQ(run.err.find("c > c"), std::string::npos);
    EXPECT_EQ(readFile("a"), "first new");
    EXPECT_EQ(readFile("b"), "second OLD");
    EXPECT_EQ(readFile("c"), "third old");
    EXPECT_FALSE(exists("b.000"));
    EXPECT_FALSE(exists("c.000"));
    EXPECT_TRUE(temporaryFiles().empty());
}

TEST_F(ApplyCliTest, RecordsAreFoundBehindOtherDataInSteps)
{
    stage("a", "first old", "first new");
    const std::string first = readFile("d.zep");
    removeFile("d.zep");
    stage("b", "second old", "second new");
    writeFile("d.zep", first + std::string(3 * 128, '-') + readFile("d.zep"));
    const ToolRun run = apply();
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(readFile("a"), "first new");
    EXPECT_EQ(readFile("b"), "second new");
}

TEST_F(ApplyCliTest, UnsafeStoredNamesAreRefusedBeforeAnythingHappens)
{
    struct Case {
        std::string source, dest;  // names recorded, then overwritten at their offsets
        std::string badSource, badDest;
        std::string reported;
    };
    const std::vector<Case> cases = {
        {"ab", "", "..", "", ".."},
        {"a", "", ".", "", "."},
        {"abc", "", "a/b", "", "a/b"},
        {"abc", "", "a\\b", "", "a\\\\b"},
        {"a", "", std::string(1, '\0'), "", ""},
        {"s", "abcd", "s", "/etc", "/etc"},
        {"s", "abcd", "s", "../x", "../x"},
        {"abcd", "", "\x1b[2J", "", "\\x1b[2J"},  // would clear the terminal
        {"s", "abc", "s", "x\ty", "x\\x09y"},
        {"ab", "", "\xC2\x9B", "", "\\xc2\\x9b"},  // a C1 control character in UTF-8
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reported);
        for (const std::string& name : listDirectory())
            if (name != "old" && name != "new")
                removeFile(name);
        stage("safe", "old safe", "new safe");
        const size_t firstLength = readFile("d.zep").size();
        stage(c.source, "old", "new", {}, c.dest);
        std::string diff = readFile("d.zep");
        diff.replace(firstLength + 96, c.badSource.size(), c.badSource);
        if (!c.dest.empty())
            diff.replace(firstLength + 96 + c.source.size() + 3, c.badDest.size(), c.badDest);
        sealHeader(diff, firstLength);
        writeFile("d.zep", diff);
        const std::vector<std::string> before = listDirectory();
        const ToolRun run = apply();
        EXPECT_EQ(run.status, 8);
        const std::string message = "[" + c.reported + "] unsafe file name.\n";
        EXPECT_EQ(run.err.substr(run.err.size() - message.size()), message);
        EXPECT_EQ(run.err.find(c.source + " >"), std::string::npos);
        // The safe record before it was applied; nothing of the unsafe one happened.
        EXPECT_EQ(readFile("safe"), "new safe");
        std::vector<std::string> expected = before;
        expected.push_back("safe.000");
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(listDirectory(), expected);
        EXPECT_TRUE(temporaryFiles().empty());
    }
}

TEST_F(ApplyCliTest, BrokenFilesAndMissingPiecesEndWithTheirMessage)
{
    stage("a", pseudoRandom(2000, 5), pseudoRandom(2000, 6));
    const std::string whole = readFile("d.zep");
    const std::vector<std::string> before = listDirectory();
    struct Case {
        const char* what;
        std::string diff;
        int status;
        std::string err;
    };
    const std::vector<Case> cases = {
        {"stream cut short", whole.substr(0, whole.size() - 1), 253, kBanner + ".zep broken.\n"},
        {"header cut short", whole.substr(0, 60), 0, kBanner + "[d.zep] is not zep file.\n"},
        {"no record at all", "just text", 0, kBanner + "[d.zep] is not zep file.\n"},
        {"empty file", "", 2, kBanner + "[d.zep] can not create mapping file.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        writeFile("d.zep", c.diff);
        const ToolRun run = apply();
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.err, c.err);
        EXPECT_EQ(listDirectory(), before);
        EXPECT_TRUE(temporaryFiles().empty());
    }

    writeFile("d.zep", whole);
    removeFile("a");
    ToolRun run = apply();
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, kBanner + "a > a\n[a] not exist.\n");
    EXPECT_TRUE(temporaryFiles().empty());

    const std::string missing = root_ + "/missing";
    run = apply("d.zep", missing);
    EXPECT_EQ(run.status, 4);
    EXPECT_EQ(run.err, kBanner + "[" + missing + "] can not create.\n");
}

TEST_F(ApplyCliTest, AResultFromAnotherFileSystemIsCopiedIntoPlaceWhole)
{
    const std::string other = directoryElsewhere();
    if (other.empty())
        GTEST_SKIP() << "no second file system to hold the temporary directory";
    stage("a", pseudoRandom(100000, 1), pseudoRandom(100000, 2));
    chmod(path("a").c_str(), 0751);
    const ToolRun run = apply("d.zep", other);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(readFile("a"), pseudoRandom(100000, 2));
    EXPECT_EQ(state("a").seconds, kNewSeconds);
    EXPECT_EQ(state("a").mode, 0751u);
    // No hidden copy is left beside the result, and the temporary file is gone.
    EXPECT_EQ(listDirectory(), (std::vector<std::string>{"a", "a.000", "d.zep", "new", "old"}));
    EXPECT_TRUE(listDirectory(other).empty());
}

TEST_F(ApplyCliTest, TheResultTakesTheOldVersionsOwnerGroupAndModeOnlyInPlace)
{
    stage("a", "old text", "new text");
    const bool root = geteuid() == 0;
    if (root) {
        // The directory's owner too: set-user-ID stays only on a file of the directory's owner.
        ASSERT_EQ(chown(work_.c_str(), 1234, 5678), 0);
        ASSERT_EQ(chown(path("a").c_str(), 1234, 5678), 0);
    }
    ASSERT_EQ(chmod(path("a").c_str(), 04750), 0);  // after the owner, whose change clears it
    const ToolRun run = apply();
    ASSERT_EQ(run.status, 0) << run.err;
    struct stat info;
    ASSERT_EQ(stat(path("a").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 04750u);
    if (root) {
        EXPECT_EQ(info.st_uid, 1234u);
        EXPECT_EQ(info.st_gid, 5678u);
    }

    // A result that cannot be placed (a directory holds the target name) goes back to the
    // temporary directory as private as it left it, and no backup stays behind.
    removeFile("d.zep");
    stage("x", "source", "destination", {}, "b");
    ASSERT_EQ(mkdir(path("b").c_str(), 0700), 0);
    ASSERT_EQ(chmod(path("x").c_str(), 0666), 0);
    EXPECT_EQ(apply().status, 250);
    const std::vector<std::string> left = temporaryFiles();
    ASSERT_EQ(left.size(), 1u);
    ASSERT_EQ(stat(path("../tmp/" + left[0]).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_EQ(info.st_uid, geteuid());
    EXPECT_EQ(listDirectory(),
              (std::vector<std::string>{"a", "a.000", "b", "d.zep", "new", "old", "x"}));
}

TEST_F(ApplyCliTest, TheResultTakesSpecialBitsOnlyFromTheDirectorysOwnFiles)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to give files to other users";
    // The record turns a into b. Another user (nobody) owns the directory att and so chooses
    // what its name a leads to: v/a is a copy of a, time included, that the case gives away.
    stage("a", "old text", "#!/bin/sh\nid\n", {}, "b");
    ASSERT_EQ(chmod(root_.c_str(), 0711), 0);
    ASSERT_EQ(chmod(work_.c_str(), 0711), 0);
    ASSERT_EQ(chmod(temporaryDirectory_.c_str(), 01777), 0);
    const std::string nobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    struct Case {
        const char* what;
        std::string setUp;  // a shell command run in the work directory
        std::string runAs;  // in front of the tool
        unsigned mode;
        uid_t owner;
        gid_t group;
    };
    const std::vector<Case> cases = {
        {"a symbolic link to root's set-user-ID program",
         "chmod 4755 v/a && ln -s ../v/a att/a && chown -h 65534:65534 att att/a", "", 0755, 0, 0},
        {"a symbolic link to another user's file with every special bit",
         "chown 1234:5678 v/a && chmod 7755 v/a && ln -s ../v/a att/a && chown 65534 att", "", 0755,
         0, 0},
        {"a hard link to root's set-user-ID program (where the kernel lets anyone make it)",
         "chmod 4755 v/a && ln v/a att/a && chown 65534:65534 att", "", 0755, 0, 0},
        {"root's set-user-ID program in root's directory", "mv v/a att && chmod 4755 att/a", "",
         04755, 0, 0},
        {"the directory owner's set-user-ID and set-group-ID file",
         "mv v/a att && chown 65534:65534 att att/a && chmod 6755 att/a", "", 06755, 65534, 65534},
        {"the directory owner's set-user-ID file, applied by a user who cannot give it away",
         "mv v/a att && chown 1234:5678 att att/a && chmod 6755 att/a && chmod 777 att", nobody,
         0755, 65534, 65534},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(runShell("rm -rf att v && mkdir att v && cp -p a v/a && " + c.setUp).status, 0);
        const ToolRun run = runShell("cd att && " + c.runAs + "env TZ=UTC TMPDIR='" +
                                     temporaryDirectory_ + "' \"$ZEP\" ../d.zep");
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(readFile("att/b"), "#!/bin/sh\nid\n");
        struct stat info;
        ASSERT_EQ(stat(path("att/b").c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, c.mode);
        EXPECT_EQ(info.st_uid, c.owner);
        EXPECT_EQ(info.st_gid, c.group);
        EXPECT_TRUE(temporaryFiles().empty());
    }
}

TEST_F(ApplyCliTest, TheTimeIsCheckedBeforeTheSourceIsRead)
{
    // An empty file cannot be mapped; with a changed time it is not even tried.
    stage("a", "old text", "new text");
    writeFile("a", "");
    const ToolRun run = apply();
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, kBanner + "a > a\n[a] time comparison error.\n");
}

TEST_F(ApplyCliTest, ATimeInTheHourThatComesTwiceMatchesEitherReading)
{
    // New York, 2 November 2025: 01:30 comes at 05:30 UTC (summer time) and again at 06:30.
    const std::string zone = "TZ=EST5EDT,M3.2.0,M11.1.0";
    for (const long long seconds : {1762061400LL, 1762065000LL}) {
        SCOPED_TRACE(seconds);
        for (const std::string& name : listDirectory())
            if (name != "old" && name != "new")
                removeFile(name);
        writeFile("old/a", "old text");
        writeFile("new/a", "new text");
        setModified("old/a", seconds, 250000000);
        ASSERT_EQ(runTool({"old/a", "new/a", "d.zep"}, {zone}).status, 0);
        writeFile("a", "old text");
        setModified("a", seconds, 250000000);
        const ToolRun run = runTool({"d.zep"}, {zone, "TMPDIR=" + temporaryDirectory_});
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.err.find("time comparison error"), std::string::npos) << run.err;
        EXPECT_EQ(readFile("a"), "new text");
    }
}

TEST_F(ApplyCliTest, ABackupThatCannotBeMadeIsNotTriedAThousandTimes)
{
    // A name with room for no backup number: every backup name is too long.
    const std::string name(252, 'n');
    stage(name, "old text", "new text");
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, work_.c_str(), IN_CREATE), 0);
    const ToolRun run = apply();
    EXPECT_EQ(run.status, 250);
    EXPECT_EQ(readFile(name), "old text");
    EXPECT_EQ(temporaryFiles().size(), 1u);
    EXPECT_EQ(listDirectory(), (std::vector<std::string>{"d.zep", "new", name, "old"}));
    // Files made in the work directory: the hidden result beside the target, and no copies.
    int created = 0;
    alignas(inotify_event) char events[1 << 16];
    for (ssize_t got; (got = read(watch, events, sizeof events)) > 0;)
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(events + at);
            created += (event->mask & IN_CREATE) != 0;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    close(watch);
    EXPECT_LE(created, 1);
}

TEST_F(ApplyCliTest, CraftedCompactRecordsEndAtOnceInLittleMemory)
{
    // Records of a few kilobytes whose pieces claim gigabytes: each is refused, or ends at its
    // first step that moves nothing, long before it could hold or spin through what it claims.
    // Two more carry what no writer stores on a record that would apply without it.
    stage("a", pseudoRandom(1000, 1), pseudoRandom(1100, 2));
    stage("b", pseudoRandom(1000, 3), pseudoRandom(1000, 3));  // one token: OP_COPY 1000
    const std::vector<StoredRecord> records = splitRecords(readFile("d.zep"));
    ASSERT_EQ(records.size(), 2u);
    const std::string copyAll = records[1].stream;
    const uint64_t giB = uint64_t{1} << 30;
    const std::string skips = runLengthFrame(4 * giB - 1001, 0x85);  // OP_SKIP 1, again and again
    const std::string empty = runLengthFrame(2 * giB, 0x00);         // blocks without deltas
    const std::string big = runLengthFrame(giB + giB / 2, 'x');
    const std::string empty3 = runLengthFrame(3 * giB, 0x00);
    const std::string skippable = std::string("\x50\x2A\x4D\x18\x04\0\0\0junk", 12);
    const std::string wide = zstdFrame(2, blockHeader(2, 0, true) + copyAll, 31);
    const struct {
        const char* what;
        size_t record;
        uint32_t sourceSize, destSize;
        std::string stored;
        int status;
    } cases[] = {
        {"sizes of another source", 0, UINT32_MAX, UINT32_MAX,
         compactStream(
             1, {giB + giB / 2, big.size(), giB + giB / 2, big.size(), giB + giB / 2, big.size()},
             big + big + big),
         252},
        {"2 GiB of blocks that run out of source", 0, 1000, UINT32_MAX,
         compactStream(1, {2 * giB, empty.size(), 0, 0, 0, 0}, empty), 253},
        {"4 GiB of one-byte skips", 0, 1000, UINT32_MAX,
         compactStream(1, {4 * giB - 1001, skips.size(), 0, 0, 0, 0}, skips), 253},
        {"literals and deltas beyond the destination together", 0, 1000, 2 * giB,
         compactStream(1, {0, 0, giB + giB / 2, big.size(), giB + giB / 2, big.size()}, big + big),
         253},
        {"a destination form of 3 GiB", 0, 1000, 2 * giB,
         compactStream(2, {giB + giB / 2, giB + giB / 2, empty3.size()}, empty3), 253},
        {"a skippable frame", 1, 1000, 1000,
         compactStream(1, {2, 2, 0, 0, 0, skippable.size()}, copyAll + skippable), 253},
        {"a window of 2 GiB", 1, 1000, 1000, compactStream(1, {2, wide.size(), 0, 0, 0, 0}, wide),
         253},
    };
    for (const auto& bomb : cases) {
        SCOPED_TRACE(bomb.what);
        std::string record = records[bomb.record].header + bomb.stored;
        record[6] = static_cast<char>(record[6] | 2);  // compact
        store32(record, 48, bomb.sourceSize);
        store32(record, 82, bomb.destSize);
        store32(record, 90, static_cast<uint32_t>(bomb.stored.size()));
        sealHeader(record);
        writeFile("d.zep", record);
        // Ten minutes of processor time and 2 GiB of address space are far beyond what any of
        // these may take; a run that needs more is ended, and fails below.
        std::string limits = "ulimit -t 600;";
#if !defined(ZEP_SANITIZED) && !defined(ZEP_EMULATED)
        limits += " ulimit -v 2097152;";
#endif
        const ToolRun run =
            runShell(limits + " TZ=UTC TMPDIR='" + temporaryDirectory_ + "' exec \"$ZEP\" d.zep");
        EXPECT_EQ(run.status, bomb.status) << run.err;
        EXPECT_LT(run.peakKiB, 256 * 1024);
        EXPECT_EQ(readFile("a"), pseudoRandom(1000, 1));
        EXPECT_EQ(readFile("b"), pseudoRandom(1000, 3));
        EXPECT_TRUE(temporaryFiles().empty());
    }
}

TEST_F(ApplyCliTest, SymbolicLinksAreNotWrittenThroughAndOtherHardLinksKeepTheOldVersion)
{
    struct Case {
        const char* what;
        std::string setUp;  // a shell command run in the work directory after staging
        std::vector<std::string> args;
        int status;
        std::string message;  // on standard error
        std::string check;    // a shell test of what is left, true when all is as it must be
    };
    const std::vector<Case> cases = {
        {"target linked to a file elsewhere",
         "mkdir e && mv a e/a && ln -s e/a a",
         {"d.zep"},
         8,
         "[a] is a symbolic link; not replaced.\n",
         "test -L a && test \"$(cat e/a)\" = 'old a' && test ! -e a.000"},
        {"target a dangling link",
         "rm a && ln -s nowhere a",
         {"d.zep"},
         8,
         "[a] is a symbolic link; not replaced.\n",
         "test -L a && test ! -e nowhere && test ! -e a.000"},
        {"target with a second hard link",
         "ln a other",
         {"d.zep"},
         0,
         "[a] has other hard links; they keep the old version.\n",
         "test \"$(cat a)\" = 'new a' && test \"$(cat a.000 other)\" = 'old aold a'"},
        {"difference file linked to another file",
         "echo secret >victim && ln -s victim e.zep",
         {"old/a", "new/a", "e.zep"},
         4,
         "[e.zep] is a symbolic link; nothing appended.\n",
         "test -L e.zep && test \"$(cat victim)\" = secret"},
        {"difference file a dangling link",
         "ln -s victim e.zep",
         {"old/a", "new/a", "e.zep"},
         4,
         "[e.zep] is a symbolic link; nothing appended.\n",
         "test -L e.zep && test ! -e victim"},
        {"difference file read through a link",
         "ln -s d.zep e.zep",
         {"e.zep"},
         0,
         "a > a\n",
         "test \"$(cat a)\" = 'new a' && test \"$(cat a.000)\" = 'old a'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(runShell("rm -rf $(ls | grep -v '^old$' | grep -v '^new$')").status, 0);
        stage("a", "old a", "new a");
        ASSERT_EQ(runShell(c.setUp).status, 0);
        const ToolRun run = runTool(c.args, {"TZ=UTC", "TMPDIR=" + temporaryDirectory_});
        EXPECT_EQ(run.status, c.status);
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_EQ(runShell(c.check).status, 0) << runShell("ls -l").out;
        EXPECT_TRUE(temporaryFiles().empty());
    }
}
