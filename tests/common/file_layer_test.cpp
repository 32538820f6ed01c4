// The file layer's fatal exits, and what it leaves open or on disk when they happen.
#include "common/fatal.h"
#include "common/file_layer.h"
#include "support/scratch_directory.h"

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class FileLayerTest : public ::testing::Test {
  protected:
    void TearDown() override
    {
        for (FileSlot* slot : {&sourceSlot, &targetSlot, &diffSlot})
            *slot = FileSlot{};
    }
    std::string make(const std::string& name, const std::string& content)
    {
        return scratch_.file(name, content);
    }
    ScratchDirectory scratch_;
    const std::string dir_ = scratch_.path();
};

using FileLayerDeathTest = FileLayerTest;

}  // namespace

TEST_F(FileLayerDeathTest, UnreadableInputsEndWithNotExist)
{
    const std::string missing = dir_ + "/missing.bin";
    EXPECT_EXIT(openForRead(missing.c_str(), sourceSlot), ::testing::ExitedWithCode(1),
                ::testing::Eq("[" + missing + "] not exist.\n"));
    EXPECT_EXIT(mapWholeFile(missing.c_str(), targetSlot), ::testing::ExitedWithCode(1),
                ::testing::Eq("[" + missing + "] not exist.\n"));
    // A directory is not a file.
    EXPECT_EXIT(mapWholeFile(dir_.c_str(), sourceSlot), ::testing::ExitedWithCode(1),
                ::testing::Eq("[" + dir_ + "] not exist.\n"));
    EXPECT_FALSE(fileExists(dir_.c_str()));
    EXPECT_FALSE(fileExists(missing.c_str()));
}

TEST_F(FileLayerDeathTest, EmptyFileCannotBeMapped)
{
    const std::string empty = make("empty", "");
    EXPECT_EXIT(mapWholeFile(empty.c_str(), sourceSlot), ::testing::ExitedWithCode(2),
                ::testing::Eq("[" + empty + "] can not create mapping file.\n"));
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

TEST_F(FileLayerDeathTest, FailedCloseIsReportedOnce)
{
    const std::string name = make("data", "x");
    openForRead(name.c_str(), diffSlot);
    ::close(diffSlot.handle);  // the slot's handle is now stale: closing it fails
    EXPECT_EXIT(closeChecked(name.c_str(), diffSlot), ::testing::ExitedWithCode(5),
                ::testing::Eq("[" + name + "] can not close.\n"));
}

TEST_F(FileLayerDeathTest, SeekBeforeTheStartFails)
{
    const std::string name = make("data", "abc");
    openForRead(name.c_str(), diffSlot);
    EXPECT_EXIT(seekCurrent(diffSlot, -4), ::testing::ExitedWithCode(6),
                ::testing::Eq("file seek error.\n"));
    seekCurrent(diffSlot, 1);
    uint8_t bytes[4] = {};
    EXPECT_EQ(readBytes(diffSlot, bytes, 4), 2u);
    EXPECT_EQ(bytes[0], 'b');
}

TEST_F(FileLayerDeathTest, OpenForWriteKeepsContentAndFailsOnDirectories)
{
    const std::string name = make("keep", "content");
    openForWrite(name.c_str(), targetSlot);
    closeChecked(name.c_str(), targetSlot);
    std::ifstream in(name);
    std::string text;
    in >> text;
    EXPECT_EQ(text, "content");
    EXPECT_EXIT(openForWrite(dir_.c_str(), targetSlot), ::testing::ExitedWithCode(4),
                ::testing::Eq("[" + dir_ + "] can not create.\n"));
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

TEST_F(FileLayerDeathTest, FatalExitClosesEveryFileFirst)
{
    // closeAllFiles runs before the message; a slot left open would still be released.
    const std::string name = make("data", "abc");
    EXPECT_EXIT(
        {
            mapWholeFile(name.c_str(), sourceSlot);
            openForRead(name.c_str(), diffSlot);
            fatalExit(ExitCode::CANNOT_WRITE, "[%s] can not write.\n", "a.zep");
        },
        ::testing::ExitedWithCode(9), ::testing::Eq("[a.zep] can not write.\n"));
}

TEST_F(FileLayerDeathTest, FatalExitRemovesOnlyAnUncheckedTemporaryFile)
{
    const std::string discarded = make("discarded", "partial");
    const std::string kept = make("kept", "complete");
    EXPECT_EXIT(
        {
            discardOnFailure(discarded.c_str());
            openForWrite(discarded.c_str(), targetSlot);
            fatalExit(ExitCode::DEST_CRC, "x\n");
        },
        ::testing::ExitedWithCode(251), ::testing::Eq("x\n"));
    EXPECT_FALSE(fileExists(discarded.c_str()));
    EXPECT_EXIT(
        {
            discardOnFailure(kept.c_str());
            keepOnFailure();
            fatalExit(ExitCode::RENAME_FAILED, "y\n");
        },
        ::testing::ExitedWithCode(250), ::testing::Eq("y\n"));
    EXPECT_TRUE(fileExists(kept.c_str()));
}
