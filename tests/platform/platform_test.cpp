// Platform stand-ins: file-time arithmetic, local calendar time, moves that never replace.
#include "platform/platform.h"
#include "support/scratch_directory.h"

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

// The library's own units, as the tests reach them.
using namespace zep;

namespace {

class PlatformTest : public ::testing::Test {
  protected:
    std::string make(const std::string& name, const std::string& content)
    {
        return scratch_.file(name, content);
    }
    static std::string read(const std::string& full)
    {
        return ScratchDirectory::read(full);
    }
    ScratchDirectory scratch_;
    const std::string dir_ = scratch_.path();
};

// Runs the body with TZ set, then puts the old value back.
class ScopedTimeZone {
  public:
    explicit ScopedTimeZone(const char* zone)
    {
        const char* old = std::getenv("TZ");
        had_ = old != nullptr;
        if (had_)
            old_ = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedTimeZone()
    {
        if (had_)
            setenv("TZ", old_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

  private:
    bool had_ = false;
    std::string old_;
};

}  // namespace

TEST(FileTimeTest, ConvertsBetweenUnixAndFileTimeBothWays)
{
    EXPECT_EQ(platform::fileTimeFromUnix(0, 0), 116444736000000000ULL);
    EXPECT_EQ(platform::fileTimeFromUnix(-11644473600, 0), 0u);
    EXPECT_EQ(platform::fileTimeFromUnix(-11644473601, 0), 0u);  // before 1601
    EXPECT_EQ(platform::fileTimeFromUnix(1, 999999999), 116444736019999999ULL);
    for (const uint64_t ticks : {0ULL, 116444736000000000ULL, 116444736019999999ULL,
                                 133000000001234567ULL, 0x7FFFFFFFFFFFFFFFULL / 10}) {
        int64_t seconds;
        long nanoseconds;
        platform::unixFromFileTime(ticks, seconds, nanoseconds);
        EXPECT_EQ(platform::fileTimeFromUnix(seconds, nanoseconds), ticks);
    }
}

TEST_F(PlatformTest, LastWriteTimeIsSetAndReadWithFullResolution)
{
    const std::string name = make("timed", "x");
    const int fd = platform::openWritable(name.c_str(), false);
    ASSERT_GE(fd, 0);
    const uint64_t wanted = platform::fileTimeFromUnix(1500000000, 123456700);
    ASSERT_TRUE(platform::setLastWriteTicks(fd, wanted));
    uint64_t seen = 0;
    ASSERT_TRUE(platform::lastWriteTicks(fd, seen));
    EXPECT_EQ(seen, wanted);
    platform::closeFile(fd);
}

TEST(LocalTimeTest, HonoursTheTimeZoneBothWays)
{
    ScopedTimeZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
    platform::CalendarTime local{};
    // 1995-06-01 07:05:03 UTC is 09:05:03 in summer time.
    ASSERT_TRUE(platform::localFromUnix(801990303, local));
    EXPECT_EQ(local.year, 1995);
    EXPECT_EQ(local.month, 6);
    EXPECT_EQ(local.day, 1);
    EXPECT_EQ(local.hour, 9);
    EXPECT_EQ(local.minute, 5);
    EXPECT_EQ(local.second, 3);
    int64_t seconds = 0;
    ASSERT_TRUE(platform::unixFromLocal(local, seconds));
    EXPECT_EQ(seconds, 801990303);
    // Winter: one hour ahead of UTC.
    ASSERT_TRUE(platform::unixFromLocal({2020, 1, 1, 1, 0, 0}, seconds));
    EXPECT_EQ(seconds, 1577836800);
}

TEST_F(PlatformTest, RenameNeverReplacesAnExistingFile)
{
    const std::string from = make("from", "new");
    const std::string to = make("to", "old");
    EXPECT_FALSE(platform::renameNoReplace(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str()));
    EXPECT_EQ(read(to), "old");
    EXPECT_EQ(read(from), "new");
    const int directory = platform::openDirectory(dir_.c_str());
    ASSERT_GE(directory, 0);
    EXPECT_TRUE(platform::renameNoReplace(AT_FDCWD, from.c_str(), directory, "fresh"));
    EXPECT_EQ(read(dir_ + "/fresh"), "new");
    EXPECT_FALSE(platform::fileExists(from.c_str()));
    platform::closeFile(directory);
}

TEST_F(PlatformTest, CopyKeepsTimeAndMode)
{
    const std::string from = make("from", std::string(200000, 'q'));
    ASSERT_EQ(chmod(from.c_str(), 0751), 0);
    struct timespec times[2] = {{0, UTIME_OMIT}, {1234567890, 500}};
    ASSERT_EQ(utimensat(AT_FDCWD, from.c_str(), times, 0), 0);
    const std::string to = make("to", "");
    const int in = platform::openReadOnly(from.c_str());
    const int out = platform::openWritable(to.c_str(), false);
    ASSERT_TRUE(platform::copyFile(in, out));
    platform::closeFile(in);
    platform::closeFile(out);
    EXPECT_EQ(read(to), read(from));
    struct stat info;
    ASSERT_EQ(stat(to.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0751u);
    EXPECT_EQ(info.st_mtim.tv_sec, 1234567890);
    EXPECT_EQ(info.st_mtim.tv_nsec, 500);
}

TEST_F(PlatformTest, TemporaryFilesComeFromTmpdir)
{
    const char* old = std::getenv("TMPDIR");
    const std::string saved = old ? old : "";
    setenv("TMPDIR", dir_.c_str(), 1);
    EXPECT_EQ(platform::temporaryDirectory(), dir_);
    setenv("TMPDIR", "", 1);
    EXPECT_EQ(platform::temporaryDirectory(), "/tmp");
    if (old)
        setenv("TMPDIR", saved.c_str(), 1);
    else
        unsetenv("TMPDIR");
}

TEST_F(PlatformTest, NewFilesTakeOnlyFreeNamesAndNamesAreRandom)
{
    const int directory = platform::openDirectory(dir_.c_str());
    ASSERT_GE(directory, 0);
    make("taken", "keep");
    ASSERT_EQ(symlink("taken", (dir_ + "/link").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", (dir_ + "/dangling").c_str()), 0);
    for (const char* name : {"taken", "link", "dangling"}) {
        SCOPED_TRACE(name);
        EXPECT_LT(platform::createNew(directory, name), 0);
        EXPECT_EQ(errno, EEXIST);
    }
    EXPECT_EQ(read(dir_ + "/taken"), "keep");
    EXPECT_FALSE(platform::fileExists((dir_ + "/nowhere").c_str()));
    const int fresh = platform::createNew(directory, "fresh");
    ASSERT_GE(fresh, 0);
    struct stat info;
    ASSERT_EQ(fstat(fresh, &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    platform::closeFile(fresh);
    platform::closeFile(directory);

    std::set<std::string> names;
    for (int i = 0; i < 1000; ++i) {
        const std::string name = platform::randomName(12);
        ASSERT_EQ(name.size(), 12u);
        EXPECT_EQ(name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                         "0123456789"),
                  std::string::npos);
        names.insert(name);
    }
    EXPECT_EQ(names.size(), 1000u);
}

// A path below a directory never leaves it through a symbolic link, wherever the link stands.
TEST_F(PlatformTest, PathsBelowADirectoryFollowNoLink)
{
    ASSERT_EQ(mkdir((dir_ + "/tree").c_str(), 0700), 0);
    ASSERT_EQ(mkdir((dir_ + "/tree/sub").c_str(), 0700), 0);
    make("tree/sub/file", "inside");
    make("outside", "outside");
    ASSERT_EQ(symlink("..", (dir_ + "/tree/up").c_str()), 0);
    ASSERT_EQ(symlink("sub", (dir_ + "/tree/alias").c_str()), 0);
    ASSERT_EQ(symlink("../outside", (dir_ + "/tree/sub/link").c_str()), 0);
    const int tree = platform::openDirectory((dir_ + "/tree").c_str());
    ASSERT_GE(tree, 0);
    const struct {
        const char* path;
        int error;  // 0: opens
    } cases[] = {{"sub/file", 0},        {"up/outside", ENOTDIR}, {"alias/file", ENOTDIR},
                 {"sub/link", ELOOP},    {"up", ELOOP},           {"sub/missing", ENOENT},
                 {"sub/file/x", ENOTDIR}};
    for (const auto& c : cases) {
        errno = 0;
        const int opened = platform::openBeneath(tree, c.path, O_RDONLY);
        EXPECT_EQ(opened >= 0 ? 0 : errno, c.error) << c.path;
        if (opened >= 0)
            platform::closeFile(opened);
    }
    platform::closeFile(tree);
}
