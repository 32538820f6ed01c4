// What reaches the file through the output buffer: write sizes, checksums, and lost writes.
#include "common/checksum.h"
#include "common/output_buffer.h"
#include "support/expect_failure.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

// The library's own units, as the tests reach them.
using namespace zep;

namespace {

// A packet socket keeps the boundary of every write, so the reader sees each write's size.
class OutputBufferTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sockets_), 0);
        const int size = 1 << 20;
        setsockopt(sockets_[0], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        setsockopt(sockets_[1], SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        slot_.handle = sockets_[0];
        slot_.name = "packets";
    }
    void TearDown() override
    {
        close(sockets_[0]);
        close(sockets_[1]);
    }
    // Sizes of the writes that arrived so far.
    std::vector<size_t> writes()
    {
        std::vector<size_t> sizes;
        std::vector<char> packet(1 << 17);
        for (;;) {
            const ssize_t got = recv(sockets_[1], packet.data(), packet.size(), MSG_DONTWAIT);
            if (got <= 0)
                break;
            sizes.push_back(static_cast<size_t>(got));
        }
        return sizes;
    }
    int sockets_[2] = {-1, -1};
    FileSlot slot_;
    OutputBuffer out_;
    uint32_t destCrc = crcInit();
};

}  // namespace

TEST_F(OutputBufferTest, FileReceivesWholeBuffersThenOneShorterWrite)
{
    std::vector<uint8_t> data(100000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7);
    out_.write(slot_, data.data(), static_cast<uint32_t>(data.size()), &destCrc);
    EXPECT_EQ(writes(), (std::vector<size_t>{32768, 32768, 32768}));
    EXPECT_EQ(out_.fill(), 1696u);
    out_.flush(slot_);
    EXPECT_EQ(writes(), (std::vector<size_t>{1696}));
    EXPECT_EQ(destCrc, crcBlock(data.data(), data.size(), crcInit()));
    out_.flush(slot_);  // an empty buffer issues no write
    EXPECT_TRUE(writes().empty());
}

TEST_F(OutputBufferTest, FlushesExactlyWhenTheBufferFills)
{
    std::vector<uint8_t> data(32767, 0xAB);
    out_.writeRaw(slot_, data.data(), 32767);
    out_.writeRaw(slot_, data.data(), 0);
    EXPECT_TRUE(writes().empty());
    out_.writeRaw(slot_, data.data(), 1);
    EXPECT_EQ(writes(), (std::vector<size_t>{32768}));
    EXPECT_EQ(out_.fill(), 0u);
    EXPECT_EQ(destCrc, crcInit());  // raw bytes touch no checksum
}

TEST_F(OutputBufferTest, ChecksumIsTheSameForAnySplitOfTheCalls)
{
    std::vector<uint8_t> data(70001);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i ^ (i >> 8));
    size_t at = 0;
    for (uint32_t piece = 1; at < data.size(); piece = piece * 3 % 40000 + 1) {
        const uint32_t count = static_cast<uint32_t>(std::min<size_t>(piece, data.size() - at));
        out_.write(slot_, data.data() + at, count, &destCrc);
        at += count;
    }
    out_.flush(slot_);
    size_t total = 0;
    for (size_t size : writes())
        total += size;
    EXPECT_EQ(total, data.size());
    EXPECT_EQ(destCrc, crcBlock(data.data(), data.size(), crcInit()));
}

// A record's header goes out raw, its stream checksummed at each flush: the checksum must
// take exactly the stream's bytes, however the header and the buffer boundaries fall.
TEST_F(OutputBufferTest, ChecksumOnFlushTakesOnlyTheBytesAfterItStarts)
{
    std::vector<uint8_t> data(100001);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 13 + (i >> 9));
    for (const uint32_t header : {0u, 1u, 100u, 32767u, 32768u}) {
        out_.reset();
        writes();
        uint32_t crc = crcInit();
        out_.writeRaw(slot_, data.data(), header);
        out_.checksumOnFlush(&crc);
        // Writes naming the flush's checksum leave it to the flush; others fold at once.
        out_.write(slot_, data.data() + header, 5000, &crc);
        out_.write(slot_, data.data() + header + 5000, 60000, &crc);
        out_.checksumOnFlush(nullptr);  // folds what is still buffered
        EXPECT_EQ(crc, crcBlock(data.data() + header, 65000, crcInit())) << header;
        out_.write(slot_, data.data(), 10, &crc);  // after the stop, at once again
        EXPECT_EQ(crc, crcBlock(data.data(), 10, crcBlock(data.data() + header, 65000, crcInit())));
        out_.flush(slot_);
    }
}

// Writes 100000 bytes into a file that may hold only 40000: the second buffer write falls short.
void writePastTheSizeLimit(const char* name)
{
    struct rlimit before;
    getrlimit(RLIMIT_FSIZE, &before);
    const auto ignored = signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = before;
    limit.rlim_cur = 40000;
    setrlimit(RLIMIT_FSIZE, &limit);
    FileSlot capped;
    openForWrite(name, capped);
    std::vector<uint8_t> data(100000, 7);
    OutputBuffer out;
    try {
        out.writeRaw(capped, data.data(), static_cast<uint32_t>(data.size()));
        out.flush(capped);
    } catch (...) {
        setrlimit(RLIMIT_FSIZE, &before);
        signal(SIGXFSZ, ignored);
        close(capped.handle);
        throw;
    }
}

void writeToAFullDevice()
{
    FileSlot full;
    full.name = "/dev/full";
    full.handle = open("/dev/full", O_WRONLY);
    const uint8_t byte = 1;
    OutputBuffer out;
    out.writeRaw(full, &byte, 1);
    try {
        out.flush(full);
    } catch (...) {
        close(full.handle);
        throw;
    }
}

TEST(OutputBufferFailureTest, LostWritesEndWithStatus9)
{
    expectFailure([&] { writeToAFullDevice(); }, 9, "[/dev/full] can not write.\n");
    char pattern[] = "/tmp/zep-limit-XXXXXX";
    const int fd = mkstemp(pattern);
    ASSERT_GE(fd, 0);
    close(fd);
    expectFailure([&] { writePastTheSizeLimit(pattern); }, 9,
                  std::string("[") + pattern + "] can not write.\n");
    unlink(pattern);
}
