// Faults injected around the built binary: full disks, read-only directories, unusable
// temporary directories, damaged difference files and kill -9 in the middle of an apply. Each
// case checks the message, the status, and that nothing is lost or half-written.
#include "cli/cli_test.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <random>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr long long kOldSeconds = 1600000000;
constexpr long kOldNanoseconds = 123456789;

class FaultInjectionCliTest : public CliTest {
  protected:
    void SetUp() override
    {
        CliTest::SetUp();
        temporary_ = root_ + "/tmp";
        ASSERT_EQ(mkdir(temporary_.c_str(), 0700), 0);
        mkdir(path("old").c_str(), 0700);
        mkdir(path("new").c_str(), 0700);
    }
    void TearDown() override
    {
        for (const std::string& mount : mounts_)
            umount2(mount.c_str(), MNT_DETACH);
        CliTest::TearDown();
    }

    // Records old/name -> new/destName into dir/d.zep and puts the old version, time included,
    // into dir as name.
    void stage(const std::string& name, const std::string& before, const std::string& after,
               const std::string& dir = ".", std::string destName = "")
    {
        if (destName.empty())
            destName = name;
        writeFile("old/" + name, before);
        writeFile("new/" + destName, after);
        setModified("old/" + name, kOldSeconds, kOldNanoseconds);
        const ToolRun run = runTool({"old/" + name, "new/" + destName, dir + "/d.zep"}, {"TZ=UTC"});
        ASSERT_EQ(run.status, 0) << run.err;
        putOld(dir + "/" + name, before);
    }
    void putOld(const std::string& name, const std::string& content)
    {
        writeFile(name, content);
        setModified(name, kOldSeconds, kOldNanoseconds);
    }

    ToolRun applyIn(const std::string& dir, const std::string& temporary,
                    const std::string& limit = "")
    {
        return runShell("cd '" + dir + "' && " + limit + " TZ=UTC TMPDIR='" + temporary +
                        "' exec \"$ZEP\" d.zep");
    }

    // A tmpfs of the given size at work/name, or false when this machine does not allow it.
    bool mountSmallFileSystem(const std::string& name, const char* size)
    {
        mkdir(path(name).c_str(), 0700);
        if (mount("tmpfs", path(name).c_str(), "tmpfs", 0, size) != 0)
            return false;
        mounts_.push_back(path(name));
        return true;
    }
    // Makes work/name read-only even for root: a read-only remount of its own tmpfs, or the
    // permission bits when the test does not run as root.
    bool makeReadOnly(const std::string& name)
    {
        if (geteuid() != 0)
            return chmod(path(name).c_str(), 0555) == 0;
        return mount(nullptr, path(name).c_str(), nullptr, MS_REMOUNT | MS_RDONLY, "size=1m") == 0;
    }

    std::vector<std::string> temporaryFiles() const
    {
        return listDirectory("../tmp");
    }

    std::string temporary_;
    std::vector<std::string> mounts_;
};

bool endsWith(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

TEST_F(FaultInjectionCliTest, DiskFullWhileWritingTheTemporaryFileChangesNothing)
{
    stage("a", pseudoRandom(100000, 1), pseudoRandom(100000, 2));
    const ToolRun run = applyIn(work_, temporary_, "trap '' XFSZ; ulimit -f 40;");
    EXPECT_EQ(run.status, 9);
    EXPECT_TRUE(endsWith(run.err, "] can not write.\n")) << run.err;
    EXPECT_TRUE(readFile("a") == pseudoRandom(100000, 1));
    EXPECT_EQ(listDirectory(), (std::vector<std::string>{"a", "d.zep", "new", "old"}));
    EXPECT_TRUE(temporaryFiles().empty());
}

TEST_F(FaultInjectionCliTest, DiskFullWhileCopyingIntoPlaceLeavesTheOldVersionInPlace)
{
    if (!mountSmallFileSystem("small", "size=512k"))
        GTEST_SKIP() << "cannot mount a small file system here";
    // The old version fills most of the small file system; the copy of the result cannot fit.
    const std::string before = pseudoRandom(300000, 3);
    std::string after = before;
    after.replace(1000, 5, "fresh");
    stage("a", before, after, "small");
    ASSERT_EQ(chmod(path("small/a").c_str(), 0644), 0);
    const ToolRun run = applyIn(path("small"), temporary_);
    EXPECT_EQ(run.status, 250);
    EXPECT_TRUE(endsWith(run.err, "Rename error temp file.\n")) << run.err;
    // The old version under its own name, no backup, no hidden copy.
    EXPECT_EQ(listDirectory("small"), (std::vector<std::string>{"a", "d.zep"}));
    EXPECT_TRUE(readFile("small/a") == before);
    // The complete result stays in the temporary directory, readable by its owner only.
    const std::vector<std::string> left = temporaryFiles();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_TRUE(readFile("../tmp/" + left[0]) == after);
    struct stat info;
    ASSERT_EQ(stat(path("../tmp/" + left[0]).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(FaultInjectionCliTest, AnInputOf4GiBIsRefusedBeforeItIsRead)
{
    // On a memory file system every page read is a page allocated: a file that was mapped
    // and read whole would fill this one.
    if (!mountSmallFileSystem("small", "size=16m"))
        GTEST_SKIP() << "cannot mount a small file system here";
    writeFile("small/a", "x");
    writeFile("small/huge", "");
    ASSERT_EQ(truncate(path("small/huge").c_str(), off_t{1} << 32), 0);
    const ToolRun run = runShell("cd small && exec \"$ZEP\" a huge d.zep");
    EXPECT_EQ(run.status, 10);
    EXPECT_EQ(run.err, kBanner + "[huge] is too large.\n");
    struct stat info;
    ASSERT_EQ(stat(path("small/huge").c_str(), &info), 0);
    EXPECT_EQ(info.st_blocks, 0);
}

TEST_F(FaultInjectionCliTest, ReadOnlyDirectoriesAndUnusableTemporaryDirectories)
{
    if (geteuid() == 0 && (!mountSmallFileSystem("locked", "size=1m") ||
                           !mountSmallFileSystem("lockedtmp", "size=1m")))
        GTEST_SKIP() << "running as root and cannot mount a file system to make read-only";
    mkdir(path("locked").c_str(), 0700);
    mkdir(path("lockedtmp").c_str(), 0700);
    stage("a", "old text", "new text", "locked");
    ASSERT_TRUE(makeReadOnly("locked"));
    ASSERT_TRUE(makeReadOnly("lockedtmp"));

    // A read-only current directory: the checked result cannot be placed and stays behind.
    ToolRun run = applyIn(path("locked"), temporary_);
    EXPECT_EQ(run.status, 250);
    EXPECT_EQ(listDirectory("locked"), (std::vector<std::string>{"a", "d.zep"}));
    EXPECT_EQ(readFile("locked/a"), "old text");
    ASSERT_EQ(temporaryFiles().size(), 1u);

    // Temporary directories that cannot take a file: read-only, missing, or not a directory.
    writeFile("plain", "");
    for (const std::string& temporary : {path("lockedtmp"), path("missing"), path("plain")}) {
        SCOPED_TRACE(temporary);
        writeFile("d.zep", readFile("locked/d.zep"));
        putOld("a", "old text");
        run = applyIn(work_, temporary);
        EXPECT_EQ(run.status, 4);
        EXPECT_EQ(run.err, kBanner + "[" + temporary + "] can not create.\n");
        EXPECT_EQ(readFile("a"), "old text");
        EXPECT_FALSE(exists("a.000"));
    }
}

TEST_F(FaultInjectionCliTest, ApplyingTheSameFileTwiceChangesNothingTheSecondTime)
{
    stage("a", "old text", "new text");
    ASSERT_EQ(applyIn(work_, temporary_).status, 0);
    const ToolRun again = applyIn(work_, temporary_);
    EXPECT_EQ(again.status, 0);
    EXPECT_TRUE(endsWith(again.err, "a > a\n[a] is already up to date.\n")) << again.err;
    EXPECT_EQ(readFile("a"), "new text");
    EXPECT_EQ(readFile("a.000"), "old text");
    EXPECT_FALSE(exists("a.001"));
    EXPECT_TRUE(temporaryFiles().empty());
}

TEST_F(FaultInjectionCliTest, EveryCutAndEveryFlippedByteEndsCleanly)
{
    const std::string oldA = pseudoRandom(200, 5);
    std::string newA = oldA;
    newA.replace(50, 3, "xyz");
    newA += "appended";
    const std::string oldB = pseudoRandom(100, 6);
    const std::string newC = oldB.substr(0, 60) + "changed" + oldB.substr(70);
    stage("a", oldA, newA);
    stage("b", oldB, newC, ".", "c");
    const std::string whole = readFile("d.zep");
    std::vector<std::string> damaged;
    for (size_t cut = 0; cut < whole.size(); ++cut)
        damaged.push_back(whole.substr(0, cut));
    for (size_t at = 0; at < whole.size(); ++at) {
        std::string flipped = whole;
        flipped[at] = static_cast<char>(flipped[at] ^ 0xFF);
        damaged.push_back(flipped);
    }
    const std::vector<int> defined = {0, 1, 2, 8, 252, 251, 253, 254};
    for (size_t i = 0; i < damaged.size(); ++i) {
        for (const std::string& name : listDirectory())
            if (name != "old" && name != "new")
                removeFile(name);
        putOld("a", oldA);
        putOld("b", oldB);
        writeFile("d.zep", damaged[i]);
        const ToolRun run = applyIn(work_, temporary_);
        SCOPED_TRACE(i < whole.size() ? "cut at " + std::to_string(i)
                                      : "flipped at " + std::to_string(i - whole.size()));
        EXPECT_NE(std::find(defined.begin(), defined.end(), run.status), defined.end())
            << run.status << run.err;
        if (run.status != 0) {
            EXPECT_FALSE(endsWith(run.err, "%\r\n")) << "ended without a message";
        }
        // Whatever was placed is exactly what its record describes.
        for (const std::string& name : listDirectory()) {
            const std::string content = readFile(name);
            if (name == "a")
                EXPECT_TRUE(content == oldA || content == newA);
            else if (name == "a.000")
                EXPECT_TRUE(content == oldA);
            else if (name == "b")
                EXPECT_TRUE(content == oldB);
            else if (name == "c")
                EXPECT_TRUE(content == newC);
            else
                EXPECT_TRUE(name == "d.zep" || name == "old" || name == "new") << name;
        }
        EXPECT_TRUE(temporaryFiles().empty());
        if (HasFailure())
            break;
    }
}

TEST_F(FaultInjectionCliTest, StoppedAppliesAlwaysLeaveTheOldOrTheNewVersion)
{
    const std::string before = pseudoRandom(8 << 20, 7);
    std::string after = before;
    for (size_t at = 0; at < after.size(); at += 997)
        after[at] = static_cast<char>(after[at] + 1);
    stage("a", before, after);

    const std::string other = directoryElsewhere();
    // One undisturbed run tells how long an apply takes.
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(applyIn(work_, temporary_).status, 0);
    const auto took = std::chrono::steady_clock::now() - start;
    removeFile("a");
    ASSERT_EQ(rename(path("a.000").c_str(), path("a").c_str()), 0);

    std::mt19937 random(9);
    for (int round = 0; round < 30; ++round) {
        SCOPED_TRACE(round);
        // Odd rounds place the result by copying from another file system, where there is one.
        const std::string temporary = round % 2 == 1 && !other.empty() ? other : temporary_;
        const pid_t child = fork();
        if (child == 0) {
            if (chdir(work_.c_str()) != 0)
                _exit(200);
            setenv("TZ", "UTC", 1);
            setenv("TMPDIR", temporary.c_str(), 1);
            freopen("/dev/null", "w", stderr);
            execl(ZEP_BINARY, "zep", "d.zep", static_cast<char*>(nullptr));
            _exit(202);
        }
        // Rounds 0-1 of every four end with kill -9, rounds 2-3 with SIGTERM, which cleans up.
        const bool clean = round % 4 >= 2;
        std::this_thread::sleep_for(took * (random() % 1200) / 1000);
        kill(child, clean ? SIGTERM : SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);

        ASSERT_TRUE(exists("a")) << "no file under the target name";
        const std::string content = readFile("a");
        ASSERT_TRUE(content == before || content == after) << "partial target";
        if (exists("a.000")) {
            ASSERT_TRUE(readFile("a.000") == before) << "incomplete backup";
        }
        // Back to the old version for the next round; leftovers of a killed run are cleared.
        if (exists("a.000")) {
            if (exists("a"))
                removeFile("a");
            ASSERT_EQ(rename(path("a.000").c_str(), path("a").c_str()), 0);
        }
        setModified("a", kOldSeconds, kOldNanoseconds);
        for (const std::string& name : listDirectory()) {
            if (name.rfind(".tmp", 0) == 0) {
                EXPECT_FALSE(clean) << "a hidden file is left after SIGTERM";
                removeFile(name);
            }
        }
        for (const std::string& directory : {temporary_, other}) {
            if (directory.empty())
                continue;
            if (clean) {
                EXPECT_EQ(listDirectory(directory), std::vector<std::string>{})
                    << "a temporary file is left after SIGTERM";
            }
            std::system(("rm -f '" + directory + "'/*").c_str());
        }
    }
}
