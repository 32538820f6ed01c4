// CRC-32/MPEG-2 values, and the fast path against a bit-by-bit reference.
#include "common/checksum.h"

#include <gtest/gtest.h>
#include <random>
#include <vector>

// The library's own units, as the tests reach them.
using namespace zep;

namespace {

// The checksum's definition, one bit at a time.
uint32_t referenceCrc(const std::vector<uint8_t>& data, uint32_t crc = 0xFFFFFFFFu)
{
    for (uint8_t byte : data) {
        crc ^= uint32_t{byte} << 24;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

}  // namespace

TEST(ChecksumTest, MatchesThePublishedValues)
{
    const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(crcBlock(digits, sizeof digits, crcInit()), 0x0376E6E7u);
    EXPECT_EQ(crcBlock(digits, 0, crcInit()), 0xFFFFFFFFu);
    EXPECT_EQ(crcTable[0], 0u);
    EXPECT_EQ(crcTable[1], 0x04C11DB7u);
    EXPECT_EQ(crcTable[255], 0xB1F740B4u);
    uint32_t crc = crcInit();
    for (uint8_t byte : digits)
        crc = crcUpdate(byte, crc);
    EXPECT_EQ(crc, 0x0376E6E7u);
    // 0xFF selects entry (top byte ^ 0xFF), never a negative index.
    EXPECT_EQ(crcUpdate(0xFF, 0), crcTable[0xFF]);
}

TEST(ChecksumTest, FastPathAgreesWithTheDefinitionForEveryLengthAndSplit)
{
    std::mt19937 random(20261208);
    std::vector<uint8_t> data(4099);
    for (auto& byte : data)
        byte = static_cast<uint8_t>(random());
    for (size_t length = 0; length < 300; ++length) {
        SCOPED_TRACE(length);
        const std::vector<uint8_t> piece(data.begin() + 3, data.begin() + 3 + length);
        const uint32_t whole = crcBlock(piece.data(), piece.size(), crcInit());
        ASSERT_EQ(whole, referenceCrc(piece));
        const size_t split = length / 3;
        uint32_t parts = crcBlock(piece.data(), split, crcInit());
        parts = crcBlock(piece.data() + split, length - split, parts);
        ASSERT_EQ(parts, whole);
    }
    EXPECT_EQ(crcBlock(data.data(), data.size(), crcInit()), referenceCrc(data));
}

TEST(ChecksumTest, LongBuffersAgreeAtAnyOffsetLengthAndStartValue)
{
    // Long inputs take a folding path where the processor has one (from 128 and from 1024 bytes
    // on); every tail length and alignment meets the narrower paths at its end.
    std::mt19937 random(77);
    std::vector<uint8_t> data(70000);
    for (auto& byte : data)
        byte = static_cast<uint8_t>(random());
    for (int round = 0; round < 1000; ++round) {
        const size_t offset = random() % 64;
        const size_t length = round < 200   ? 60 + round
                              : round < 800 ? 800 + round
                                            : random() % (data.size() - offset);
        const uint32_t start = random();
        const std::vector<uint8_t> piece(data.begin() + offset, data.begin() + offset + length);
        ASSERT_EQ(crcBlock(piece.data(), length, start), referenceCrc(piece, start))
            << "offset " << offset << " length " << length;
    }
}

TEST(ChecksumTest, AdvanceConsumesWhatItChecksums)
{
    const uint8_t bytes[] = {1, 2, 3, 4, 5};
    const uint8_t* cursor = bytes;
    uint32_t remaining = 5;
    uint32_t crc = crcInit();
    crcAdvance(cursor, remaining, crc, 0);
    EXPECT_EQ(cursor, bytes);
    EXPECT_EQ(remaining, 5u);
    EXPECT_EQ(crc, crcInit());
    crcAdvance(cursor, remaining, crc, 2);
    crcAdvance(cursor, remaining, crc, 3);
    EXPECT_EQ(cursor, bytes + 5);
    EXPECT_EQ(remaining, 0u);
    EXPECT_EQ(crc, crcBlock(bytes, 5, crcInit()));
}

TEST(ChecksumTest, EveryRunningChecksumStartsAtTheStartValue)
{
    const RunningCrcs crcs;
    EXPECT_EQ(crcs.source, 0xFFFFFFFFu);
    EXPECT_EQ(crcs.dest, 0xFFFFFFFFu);
    EXPECT_EQ(crcs.stream, 0xFFFFFFFFu);
}
