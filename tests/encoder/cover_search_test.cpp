// The cover search on new versions of many shapes: its covers are always in destination order,
// apart and inside both files (the writer and the replay rely on it), they hold what the two
// versions share, and they replay to the destination.
#include "encoder/cover_search.h"
#include "support/encode_record.h"

#include <gtest/gtest.h>
#include <random>

// The library's own units, as the tests reach them.
using namespace zep;

namespace {

struct Shape {
    const char* name;
    Bytes source, dest;
    double shared;  // the least share of the destination that covers must hold
};

// A program-like text: records of a few repeated opcodes and random fields.
Bytes recordsOf(std::mt19937& random, size_t size)
{
    Bytes bytes;
    while (bytes.size() < size) {
        bytes.push_back(static_cast<uint8_t>(0xE8 + random() % 2));
        for (int i = 0; i < 4; ++i)
            bytes.push_back(static_cast<uint8_t>(random()));
        bytes.push_back(0x48);
        bytes.push_back(0x89);
    }
    bytes.resize(size);
    return bytes;
}

// Every eleventh byte of a copy changed.
Bytes sprinkled(Bytes bytes)
{
    for (size_t at = 5; at < bytes.size(); at += 11)
        bytes[at] ^= 0x5A;
    return bytes;
}

}  // namespace

TEST(CoverSearchTest, CoversAreOrderedApartInsideAndHoldWhatIsShared)
{
    std::mt19937 random(53);
    const Bytes base = randomBytes(random, 40000);
    const Bytes code = recordsOf(random, 30000);
    const Bytes large = randomBytes(random, 1500000);  // scanned as two halves
    const std::vector<Shape> shapes = {
        {"same", base, base, 1.0},
        {"one byte", Bytes{7}, Bytes{7}, 0.0},
        {"unrelated", base, randomBytes(random, 5000), 0.0},
        {"moved blocks", base,
         join({slice(base, 30000, 10000), slice(base, 0, 20000), slice(base, 20000, 10000)}), 0.99},
        {"inserted and cut", base,
         join({slice(base, 0, 15000), randomBytes(random, 700), slice(base, 16000, 24000)}), 0.95},
        {"sprinkled", base, sprinkled(base), 0.95},
        {"code shifted", code, join({randomBytes(random, 3), sprinkled(code)}), 0.9},
        {"periodic", Bytes(5000, 'a'), Bytes(9000, 'a'), 0.5},
        {"large", large, join({slice(large, 700000, 800000), slice(large, 0, 700000)}), 0.99},
    };
    for (const Shape& shape : shapes) {
        SCOPED_TRACE(shape.name);
        const auto sourceSize = static_cast<uint32_t>(shape.source.size());
        const auto destSize = static_cast<uint32_t>(shape.dest.size());
        const std::vector<Cover> covers =
            findCovers(shape.source.data(), sourceSize, shape.dest.data(), destSize);
        uint64_t end = 0;
        uint64_t held = 0;
        for (const Cover& cover : covers) {
            ASSERT_GT(cover.length, 0u);
            ASSERT_GE(cover.destPosition, end);
            end = uint64_t{cover.destPosition} + cover.length;
            ASSERT_LE(end, destSize);
            ASSERT_LE(uint64_t{cover.sourcePosition} + cover.length, sourceSize);
            held += cover.length;
        }
        EXPECT_GE(static_cast<double>(held), shape.shared * destSize);
    }
}
