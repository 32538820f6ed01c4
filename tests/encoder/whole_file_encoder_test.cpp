// The whole-file encoder: its records rebuild the destination byte for byte through a replay
// written apart from both encoders, carry the same checksums the specified encoder records,
// are exactly as long as planned, and realign after moves the specified encoder cannot follow.
#include "common/checksum.h"
#include "encoder/whole_file_encoder.h"
#include "format/record_header.h"
#include "support/encode_record.h"

#include <gtest/gtest.h>
#include <random>

// The library's own units, as the tests reach them.
using namespace zep;

namespace {

uint32_t crcOf(const Bytes& bytes)
{
    return crcBlock(bytes.data(), bytes.size(), crcInit());
}

void expectRoundTrip(const Bytes& source, const Bytes& dest)
{
    uint64_t planned = 0;
    const Record record = encodeWhole(source, dest, planned);
    ASSERT_EQ(record.stream.size(), planned);
    ASSERT_EQ(record.field(HEADER_STREAM_LENGTH), planned);
    ASSERT_TRUE(replay(source, record.stream, dest.size()) == dest);
    EXPECT_EQ(record.field(HEADER_SOURCE_CRC), crcOf(source));
    EXPECT_EQ(record.field(HEADER_DEST_CRC), crcOf(dest));
    EXPECT_EQ(record.field(HEADER_STREAM_CRC), crcOf(record.stream));
}

}  // namespace

TEST(WholeFileEncoderTest, RecordsRebuildEveryShape)
{
    std::mt19937 random(9);
    for (int round = 0; round < 1500; ++round) {
        SCOPED_TRACE(round);
        const size_t size = 1 + random() % (round % 50 == 0 ? 300000 : 3000);
        Bytes source = randomBytes(random, size);
        if (round % 7 == 0)  // repeats: a short pattern with noise
            for (size_t i = 0; i < size; ++i)
                source[i] = random() % 10 == 0 ? static_cast<uint8_t>(random())
                                               : static_cast<uint8_t>(i % (1 + round % 13));
        Bytes dest;
        switch (round % 6) {
        case 0:  // a block moved from the back to the front
            dest = join({slice(source, size / 2, size), slice(source, 0, size / 2)});
            break;
        case 1: {  // insertions and deletions of every size
            dest = source;
            for (int e = 0; e < 4; ++e) {
                const size_t at = random() % (dest.size() + 1);
                const size_t length = 1 + random() % (round % 10 == 1 ? 100000 : 700);
                if (random() % 2)
                    dest.insert(dest.begin() + static_cast<long>(at), length,
                                static_cast<uint8_t>(random()));
                else
                    dest.erase(dest.begin() + static_cast<long>(at),
                               dest.begin() +
                                   static_cast<long>(std::min(dest.size(), at + length)));
            }
            break;
        }
        case 2:  // scattered changes on the same alignment, as changed addresses
            dest = source;
            for (size_t i = random() % 8; i < dest.size(); i += 3 + random() % 12)
                dest[i] = static_cast<uint8_t>(dest[i] + 1 + random() % 3);
            break;
        case 3:  // unrelated
            dest = randomBytes(random, 1 + random() % 3000);
            break;
        case 4:  // tiny
            source = randomBytes(random, 1 + random() % 20);
            dest = randomBytes(random, 1 + random() % 20);
            break;
        default:  // a copy of a middle part, repeated
            dest = join({slice(source, size / 3, size / 3), slice(source, size / 3, size / 3),
                         randomBytes(random, random() % 50)});
        }
        if (dest.empty())
            dest.push_back(7);
        expectRoundTrip(source, dest);
        if (HasFailure())
            break;
    }
}

TEST(WholeFileEncoderTest, RealignsAfterAMoveBeyondTheNearSearch)
{
    std::mt19937 random(10);
    const Bytes source = randomBytes(random, 200000);
    // 5000 new bytes at the front: the specified encoder writes the rest as difference blocks.
    const Bytes dest = join({randomBytes(random, 5000), source});
    uint64_t planned = 0;
    const Record whole = encodeWhole(source, dest, planned);
    EXPECT_LT(whole.stream.size(), 5100u);
    EXPECT_TRUE(replay(source, whole.stream, dest.size()) == dest);
}

// Sizes that only a global choice reaches: the heaviest increasing chain of matches, and a gap
// spent partly on the diagonal before it and partly on the one after.
TEST(WholeFileEncoderTest, ChoosesTheCheapestPlanAcrossTheWholeFile)
{
    std::mt19937 random(11);
    const Bytes front = randomBytes(random, 20000);
    const Bytes back = randomBytes(random, 60000);
    uint64_t planned = 0;
    // Swapped parts: copying the longer one and inserting the shorter one is the cheapest way
    // forward, although the shorter one comes first.
    const Bytes swapped = join({back, front});
    const Record moved = encodeWhole(join({front, back}), swapped, planned);
    EXPECT_LT(moved.stream.size(), 20100u);
    EXPECT_TRUE(replay(join({front, back}), moved.stream, swapped.size()) == swapped);

    // Changed addresses every few bytes, as in a program whose code moved: the same changes
    // with 4 bytes put in between cost those 4 bytes and a few tokens more.
    Bytes changed = back;
    for (size_t i = 0; i < changed.size(); i += 10 + random() % 7)
        changed[i] = static_cast<uint8_t>(changed[i] + 1);
    const Record plain = encodeWhole(back, changed, planned);
    for (const size_t at : {size_t{1000}, size_t{30001}, size_t{59000}}) {
        SCOPED_TRACE(at);
        Bytes grown = changed;
        grown.insert(grown.begin() + static_cast<long>(at), {1, 2, 3, 4});
        const Record record = encodeWhole(back, grown, planned);
        EXPECT_LE(record.stream.size(), plain.stream.size() + 4 + 12);
        EXPECT_TRUE(replay(back, record.stream, grown.size()) == grown);
    }
}
