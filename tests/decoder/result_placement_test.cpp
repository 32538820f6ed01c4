// The backup copy that apply makes where a file system has no second names (hard links): it never
// takes a name that is in use, and a stop while it is being written leaves no part of it behind.
#include "decoder/result_placement.h"
#include "support/scratch_directory.h"

#include <algorithm>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

// The library's own units, as the tests reach them.
using namespace zep;

namespace {

std::vector<std::string> entries(const std::string& directory)
{
    std::vector<std::string> names;
    DIR* handle = opendir(directory.c_str());
    while (const dirent* entry = handle != nullptr ? readdir(handle) : nullptr)
        if (entry->d_name[0] != '.' || std::string(entry->d_name).rfind(".tmp", 0) == 0)
            names.push_back(entry->d_name);
    if (handle != nullptr)
        closedir(handle);
    std::sort(names.begin(), names.end());
    return names;
}

// Waits until a file whose name starts with prefix is created in the watched directory.
bool awaitCreated(int watch, const std::string& prefix)
{
    alignas(inotify_event) char events[4096];
    for (;;) {
        pollfd ready = {watch, POLLIN, 0};
        if (poll(&ready, 1, 20000) != 1)
            return false;
        const ssize_t got = read(watch, events, sizeof events);
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(events + at);
            if ((event->mask & IN_CREATE) != 0 && event->len > 0 &&
                std::string(event->name).rfind(prefix, 0) == 0)
                return true;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}

}  // namespace

TEST(ResultPlacementTest, ABackupCopyKeepsTheFileWholeAndNeverReplaces)
{
    ScratchDirectory scratch;
    RunFiles files;
    files.directory = open(scratch.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const std::string content(300000, 'q');
    const std::string from = scratch.file("a", content);
    ASSERT_EQ(chmod(from.c_str(), 0751), 0);
    const struct timespec times[2] = {{0, UTIME_OMIT}, {1234567890, 500}};
    ASSERT_EQ(utimensat(AT_FDCWD, from.c_str(), times, 0), 0);
    ASSERT_TRUE(copyNoReplace(files, files.directory, "a", "a.000"));
    EXPECT_TRUE(ScratchDirectory::read(scratch.path() + "/a.000") == content);
    struct stat info;
    ASSERT_EQ(stat((scratch.path() + "/a.000").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0751u);
    EXPECT_EQ(info.st_mtim.tv_sec, 1234567890);
    EXPECT_EQ(info.st_mtim.tv_nsec, 500);
    EXPECT_EQ(info.st_nlink, 1u);

    scratch.file("taken", "keep");
    EXPECT_FALSE(copyNoReplace(files, files.directory, "a", "taken"));
    EXPECT_EQ(ScratchDirectory::read(scratch.path() + "/taken"), "keep");
    EXPECT_EQ(entries(scratch.path()), (std::vector<std::string>{"a", "a.000", "taken"}));
}

TEST(ResultPlacementTest, AStopWhileABackupCopyIsWrittenRemovesThePartialCopy)
{
    // The copy reads a FIFO that the test feeds: it waits there, its hidden file half written,
    // for as long as the test likes. Then the test does what the tool's signal handler does.
    ScratchDirectory scratch;
    RunFiles files;
    files.directory = open(scratch.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const std::string pipe = scratch.path() + "/pipe";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    const int feed = open(pipe.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(feed, 0);
    const int watch = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(inotify_add_watch(watch, scratch.path().c_str(), IN_CREATE), 0);
    bool copied = true;
    std::thread copier([&] { copied = copyNoReplace(files, files.directory, "pipe", "pipe.000"); });
    const std::string part(4096, 'p');  // within a pipe's buffer: the write never waits
    EXPECT_EQ(write(feed, part.data(), part.size()), static_cast<ssize_t>(part.size()));
    const bool created = awaitCreated(watch, ".tmp");
    EXPECT_TRUE(created);
    EXPECT_EQ(entries(scratch.path()).size(), 2u);  // the FIFO and the partial copy
    files.undo();
    EXPECT_EQ(entries(scratch.path()), std::vector<std::string>{"pipe"});
    close(feed);  // the end of the input: the copy finds its hidden file gone
    copier.join();
    close(watch);
    EXPECT_FALSE(copied);
    EXPECT_EQ(entries(scratch.path()), std::vector<std::string>{"pipe"});
}

TEST(ResultPlacementTest, AStopOrAFailureRemovesTheBackupJustMadeButNoNameFoundTaken)
{
    for (const bool stopped : {false, true}) {
        SCOPED_TRACE(stopped ? "stopped" : "failed");
        ScratchDirectory scratch;
        RunFiles files;
        files.directory = open(scratch.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        scratch.file("a", "old version");
        scratch.file("a.000", "an earlier backup");
        // The backup takes the next free number and stays the run's until the rename; so does
        // a backup copy.
        DiscardedFile* backup = makeNumberedBackup(files, files.directory, "a");
        ASSERT_NE(backup, nullptr);
        EXPECT_STREQ(backup->name, "a.001");
        DiscardedFile* copy = nullptr;
        ASSERT_TRUE(copyNoReplace(files, files.directory, "a", "a.copy", &copy));
        ASSERT_NE(copy, nullptr);
        // As a stop finds the name recorded for a link that failed because the name is taken.
        struct stat original;
        ASSERT_EQ(stat((scratch.path() + "/a").c_str(), &original), 0);
        ASSERT_NE(
            discardSecondName(files, files.directory, "a.000", original.st_dev, original.st_ino),
            nullptr);
        EXPECT_EQ(entries(scratch.path()),
                  (std::vector<std::string>{"a", "a.000", "a.001", "a.copy"}));
        if (stopped)
            files.undo();
        files.release();
        EXPECT_EQ(entries(scratch.path()), (std::vector<std::string>{"a", "a.000"}));
        EXPECT_EQ(ScratchDirectory::read(scratch.path() + "/a.000"), "an earlier backup");
    }
}
