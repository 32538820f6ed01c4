// The file layer's failures, and what it leaves open or on disk when they happen.
#include "common/file_layer.h"
#include "common/status.h"
#include "support/expect_failure.h"
#include "support/scratch_directory.h"

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// The library's own units, as the tests reach them.
using namespace zep;

namespace {

class FileLayerTest : public ::testing::Test {
  protected:
    std::string make(const std::string& name, const std::string& content)
    {
        return scratch_.file(name, content);
    }
    ScratchDirectory scratch_;
    const std::string dir_ = scratch_.path();
    RunFiles files_;  // released when the test ends, however it ends
    FileSlot& sourceSlot = files_.source;
    FileSlot& targetSlot = files_.target;
    FileSlot& diffSlot = files_.diff;
};

}  // namespace

TEST_F(FileLayerTest, UnreadableInputsEndWithNotExist)
{
    const std::string missing = dir_ + "/missing.bin";
    expectFailure([&] { openForRead(missing.c_str(), sourceSlot); }, 1,
                  "[" + missing + "] not exist.\n");
    expectFailure([&] { mapWholeFile(missing.c_str(), targetSlot); }, 1,
                  "[" + missing + "] not exist.\n");
    // A directory is not a file.
    expectFailure([&] { mapWholeFile(dir_.c_str(), sourceSlot); }, 1,
                  "[" + dir_ + "] not exist.\n");
    EXPECT_FALSE(fileExists(dir_.c_str()));
    EXPECT_FALSE(fileExists(missing.c_str()));
}

TEST_F(FileLayerTest, EmptyFileCannotBeMapped)
{
    const std::string empty = make("empty", "");
    expectFailure([&] { mapWholeFile(empty.c_str(), sourceSlot); }, 2,
                  "[" + empty + "] can not create mapping file.\n");
}

TEST_F(FileLayerTest, MapsTheWholeFileAndReleasesIt)
{
    const std::string name = make("data", "0123456789");
    const uint8_t* view = mapWholeFile(name.c_str(), sourceSlot);
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(view), 10), "0123456789");
    EXPECT_EQ(fileSize(sourceSlot), 10u);
    unmapFile(name.c_str(), sourceSlot);
    EXPECT_EQ(sourceSlot.view, nullptr);
    EXPECT_EQ(sourceSlot.handle, -1);
}

TEST_F(FileLayerTest, FailedCloseIsReportedOnce)
{
    const std::string name = make("data", "x");
    openForRead(name.c_str(), diffSlot);
    ::close(diffSlot.handle);  // the slot's handle is now stale: closing it fails
    expectFailure([&] { closeChecked(name.c_str(), diffSlot); }, 5,
                  "[" + name + "] can not close.\n");
}

TEST_F(FileLayerTest, SeekBeforeTheStartFails)
{
    const std::string name = make("data", "abc");
    openForRead(name.c_str(), diffSlot);
    expectFailure([&] { seekCurrent(diffSlot, -4); }, 6, "file seek error.\n");
    seekCurrent(diffSlot, 1);
    uint8_t bytes[4] = {};
    EXPECT_EQ(readBytes(diffSlot, bytes, 4), 2u);
    EXPECT_EQ(bytes[0], 'b');
}

TEST_F(FileLayerTest, OpenForWriteKeepsContentAndFailsOnDirectories)
{
    const std::string name = make("keep", "content");
    openForWrite(name.c_str(), targetSlot);
    closeChecked(name.c_str(), targetSlot);
    std::ifstream in(name);
    std::string text;
    in >> text;
    EXPECT_EQ(text, "content");
    expectFailure([&] { openForWrite(dir_.c_str(), targetSlot); }, 4,
                  "[" + dir_ + "] can not create.\n");
}

TEST_F(FileLayerTest, LastWriteTimeKeepsWholeMillisecondsOrSeconds)
{
    const std::string name = make("timed", "x");
    struct timespec times[2] = {{0, UTIME_OMIT}, {1700000000, 999'999'999}};
    ASSERT_EQ(utimensat(AT_FDCWD, name.c_str(), times, 0), 0);
    openForRead(name.c_str(), sourceSlot);
    const uint64_t second = (1700000000ULL + 11644473600ULL) * 10000000ULL;
    EXPECT_EQ(lastWriteTime(sourceSlot, true), second + 9990000);
    EXPECT_EQ(lastWriteTime(sourceSlot, false), second);
    closeChecked(name.c_str(), sourceSlot);
}

TEST_F(FileLayerTest, AfterAFailureEveryFileIsReleasedAndOnlyAnUncheckedResultRemoved)
{
    const std::string name = make("data", "abc");
    std::string discarded;
    expectFailure(
        [&] {
            mapWholeFile(name.c_str(), sourceSlot);
            DiscardedFile* record = nullptr;
            const int handle = createDiscarded(files_, AT_FDCWD, dir_ + "/tmp", record);
            ASSERT_GE(handle, 0);
            ::close(handle);
            discarded = record->name;
            openForWrite(discarded.c_str(), targetSlot);
            fail(Status::DEST_CRC, "[%s] x\n", "a.zep");
        },
        251, "[a.zep] x\n");
    files_.release();
    for (const FileSlot* slot : {&sourceSlot, &targetSlot, &diffSlot}) {
        EXPECT_EQ(slot->handle, -1);
        EXPECT_EQ(slot->view, nullptr);
    }
    EXPECT_FALSE(fileExists(discarded.c_str()));
}

TEST_F(FileLayerTest, AStopRemovesEveryTemporaryFileAndAFailureOnlyTheUncheckedOnes)
{
    for (const bool kept : {false, true})
        for (const bool stopped : {false, true}) {
            SCOPED_TRACE(testing::Message()
                         << (kept ? "kept" : "unchecked") << (stopped ? ", stopped" : ", failed"));
            // Several at once, each in the directory it was recorded in.
            files_.directory = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            std::vector<std::string> names;
            for (int i = 0; i < 3; ++i) {
                DiscardedFile* record = nullptr;
                const int handle = i == 0
                                       ? createDiscarded(files_, AT_FDCWD, dir_ + "/tmp", record)
                                       : createDiscarded(files_, files_.directory, ".tmp", record);
                ASSERT_GE(handle, 0);
                ::close(handle);
                const std::string full = i == 0 ? record->name : dir_ + "/" + record->name;
                ASSERT_EQ(full.size(), dir_.size() + (i == 0 ? 16 : 17));
                struct stat info;
                ASSERT_EQ(stat(full.c_str(), &info), 0);
                EXPECT_EQ(info.st_mode & 07777, 0600u);
                if (kept)
                    keepOnFailure(record);
                names.push_back(full);
            }
            if (stopped)
                files_.undo();
            files_.release();
            EXPECT_EQ(files_.directory, -1);
            for (const std::string& name : names) {
                EXPECT_EQ(fileExists(name.c_str()), kept && !stopped) << name;
                ::unlink(name.c_str());
            }
        }
}
