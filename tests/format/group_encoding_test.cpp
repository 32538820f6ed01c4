// The bytes of a difference group: poke or block by the number of changes, the same from the
// plain path and the vector path, and the sizes and costs that planners weigh groups by.
#include "common/cpu_features.h"
#include "format/group_encoding.h"

#include <gtest/gtest.h>
#include <random>
#include <vector>

// The library's own units, as the tests reach them.
using namespace zep;

namespace {

using Bytes = std::vector<uint8_t>;

// The group of the first width positions, read from buffers of 16 bytes.
Bytes groupOf(const Bytes& source, const Bytes& dest, uint32_t width)
{
    uint8_t bytes[kGroupRoom];
    return Bytes(bytes, bytes + encodeGroup(source.data(), dest.data(), width, 16, bytes));
}

class GroupEncodingTest : public ::testing::Test {
  protected:
    void TearDown() override
    {
        useCpuFeatures(processorFeatures());
    }
};

}  // namespace

TEST_F(GroupEncodingTest, OneChangeIsAPokeAndAnyOtherCountABlock)
{
    const Bytes source(16, 0xFF);
    struct Case {
        std::vector<uint32_t> changed;  // positions 1-15
        uint32_t width;
        Bytes bytes;
    };
    const Case cases[] = {
        {{1}, 15, {0x83, 0x02}},
        {{15}, 15, {0xBB, 0x02}},
        {{1, 15}, 15, {0x40, 0x01, 0x02, 0x02}},
        {{}, 15, {0x00, 0x00}},
        {{}, 4, {0x00, 0x00}},  // a short last group is written even when it is equal
        {{3, 4}, 4, {0x00, 0x0C, 0x02, 0x02}},
    };
    for (const bool plain : {false, true}) {
        useCpuFeatures(plain ? CpuFeatures{} : processorFeatures());
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << "plain " << plain << ", width " << c.width
                                            << ", changes " << c.changed.size());
            Bytes dest = source;
            for (const uint32_t position : c.changed)
                dest[position - 1] = 0x01;  // 0xFF + 2 modulo 256
            EXPECT_EQ(groupOf(source, dest, c.width), c.bytes);
            EXPECT_EQ(groupSize(countChanges(source.data(), dest.data(), c.width)), c.bytes.size());
        }
    }
}

TEST_F(GroupEncodingTest, PlainAndVectorPathsWriteTheSameGroups)
{
    std::mt19937 random(31);
    for (int round = 0; round < 3000; ++round) {
        SCOPED_TRACE(round);
        Bytes source(16);
        for (auto& b : source)
            b = static_cast<uint8_t>(random());
        Bytes dest = source;
        const uint32_t changes = round % 16;
        for (uint32_t k = 0; k < changes; ++k)
            dest[random() % 16] += static_cast<uint8_t>(1 + random() % 255);
        useCpuFeatures(CpuFeatures{});
        const Bytes plain = groupOf(source, dest, kGroupWidth);
        useCpuFeatures(processorFeatures());
        ASSERT_EQ(groupOf(source, dest, kGroupWidth), plain);
        const uint32_t changed = countChanges(source.data(), dest.data(), kGroupWidth);
        ASSERT_EQ(plain.size(), groupSize(changed));
        ASSERT_EQ(groupCost(source.data(), dest.data(), kGroupWidth),
                  changed == 0 ? 1u : plain.size());
    }
}
