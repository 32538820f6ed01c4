// The similarity score and both searches, each case run against the reference and the fast
// version: their answers must agree to the last tie-break.
#include "common/cpu_features.h"
#include "encoder/alignment_search.h"
#include "encoder/tuning.h"

#include <gtest/gtest.h>
#include <random>
#include <vector>

// The library's own units, as the tests reach them.
using namespace zep;

namespace {

using Bytes = std::vector<uint8_t>;

struct Searches {
    const char* name;
    int32_t (*score)(const uint8_t*, uint32_t, const uint8_t*, uint32_t);
    NearMatch (*near)(const SearchLimits&, const uint8_t*, uint32_t, const uint8_t*, uint32_t);
    BlockMatch (*block)(const SearchLimits&, const uint8_t*, uint32_t, const uint8_t*, uint32_t);
};

class AlignmentSearchTest : public ::testing::TestWithParam<Searches> {
  protected:
    NearMatch near(const Bytes& source, const Bytes& dest)
    {
        return GetParam().near({searchRange, matchThreshold}, source.data(),
                               static_cast<uint32_t>(source.size()), dest.data(),
                               static_cast<uint32_t>(dest.size()));
    }
    BlockMatch block(const Bytes& source, const Bytes& dest)
    {
        return GetParam().block({searchRange, matchThreshold}, source.data(),
                                static_cast<uint32_t>(source.size()), dest.data(),
                                static_cast<uint32_t>(dest.size()));
    }
    int32_t searchRange = 47;
    int32_t matchThreshold = 65;
};

// Bytes that never repeat within 256 positions and never meet the other side's bytes.
Bytes distinct(size_t count, uint8_t start)
{
    Bytes bytes(count);
    for (size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<uint8_t>(start + i);
    return bytes;
}

Bytes concat(const Bytes& a, const Bytes& b)
{
    Bytes joined = a;
    joined.insert(joined.end(), b.begin(), b.end());
    return joined;
}

// A copy of base where the positions listed are replaced by bytes found nowhere else.
Bytes damaged(Bytes base, std::initializer_list<size_t> positions)
{
    for (size_t at : positions)
        base[at] = static_cast<uint8_t>(0xF0 + at % 16);
    return base;
}

void expectNear(const NearMatch& got, bool found, int32_t score, uint32_t sourceSkip,
                uint32_t destSkip)
{
    EXPECT_EQ(got.found, found);
    if (!found)
        return;
    EXPECT_EQ(got.score, score);
    EXPECT_EQ(got.sourceSkip, sourceSkip);
    EXPECT_EQ(got.destSkip, destSkip);
}

}  // namespace

TEST_P(AlignmentSearchTest, ScoresCountEqualBytesOverTheShorterWindow)
{
    const Bytes a = distinct(40, 0);
    const auto score = GetParam().score;
    EXPECT_EQ(score(a.data(), 40, a.data(), 40), 100);
    const Bytes tenEqual = damaged(a, {0, 3, 6, 9, 12});
    EXPECT_EQ(score(a.data(), 40, tenEqual.data(), 40), 66);
    const Bytes elevenEqual = damaged(a, {0, 3, 6, 9});
    EXPECT_EQ(score(a.data(), 40, elevenEqual.data(), 40), 73);
    // Only the first 15 bytes count; byte 15 differs without effect.
    EXPECT_EQ(score(a.data(), 40, damaged(a, {15}).data(), 40), 100);
    // Short windows near an end.
    EXPECT_EQ(score(a.data(), 3, damaged(a, {1}).data(), 40), 66);
    EXPECT_EQ(score(a.data(), 40, damaged(a, {0}).data(), 2), 50);
    EXPECT_EQ(score(a.data(), 1, a.data(), 1), 100);
    // Every equal count with a full window, also with 16 or more bytes behind it.
    for (uint32_t equal = 0; equal <= 15; ++equal) {
        Bytes b = a;
        for (uint32_t k = equal; k < 15; ++k)
            b[k] ^= 0x80;
        EXPECT_EQ(score(a.data(), 15, b.data(), 15), static_cast<int32_t>(equal * 100 / 15));
        EXPECT_EQ(score(a.data(), 40, b.data(), 40), static_cast<int32_t>(equal * 100 / 15));
    }
}

TEST_P(AlignmentSearchTest, EqualWindowIsTakenWithoutShifting)
{
    const Bytes source = distinct(60, 0);
    expectNear(near(source, source), true, 100, 0, 0);
    // Also when the threshold cannot be beaten: the probe at shift 0 finds the exact match.
    matchThreshold = 100;
    expectNear(near(source, source), true, 100, 0, 0);
    searchRange = 0;
    expectNear(near(source, source), false, 0, 0, 0);
}

TEST_P(AlignmentSearchTest, FindsBytesPutInFrontOnEitherSide)
{
    const Bytes data = distinct(60, 0);
    expectNear(near(data, concat(distinct(3, 0x80), data)), true, 100, 0, 3);
    expectNear(near(concat(distinct(3, 0x80), data), data), true, 100, 3, 0);
    // Beyond the search range nothing is found.
    expectNear(near(data, concat(distinct(47, 0x80), data)), false, 0, 0, 0);
    expectNear(near(data, concat(distinct(46, 0x80), data)), true, 100, 0, 46);
    searchRange = 10;
    expectNear(near(data, concat(distinct(10, 0x80), data)), false, 0, 0, 0);
    expectNear(near(data, concat(distinct(9, 0x80), data)), true, 100, 0, 9);
}

// Source bytes 0..size-1, destination bytes from a range the source never uses; plant() then
// copies source bytes into the destination so that one shift sees chosen equal positions.
struct Pair {
    Bytes source;
    Bytes dest;
    explicit Pair(size_t size) : source(distinct(size, 0)), dest(distinct(size, 0x80)) {}
    // At source shift s (s >= 0) or destination shift -s, the window positions listed are equal.
    void plant(int shift, std::initializer_list<size_t> positions)
    {
        for (size_t k : positions) {
            if (shift >= 0)
                dest[k] = source[shift + k];
            else
                dest[-shift + k] = source[k];
        }
    }
};

TEST_P(AlignmentSearchTest, TiesGoToTheSmallerShiftThenToTheSource)
{
    matchThreshold = 50;
    Pair sameShift(80);  // 8 of 15 (53) at source shift 2 and at destination shift 2
    sameShift.plant(2, {0, 1, 3, 5, 7, 9, 11, 13});
    sameShift.plant(-2, {0, 2, 4, 6, 8, 10, 13, 14});
    expectNear(near(sameShift.source, sameShift.dest), true, 53, 2, 0);

    Pair smallerShift(80);  // 8 of 15 at source shift 2 and at destination shift 1
    smallerShift.plant(2, {0, 2, 4, 6, 8, 10, 12, 14});
    smallerShift.plant(-1, {0, 2, 4, 6, 8, 10, 12, 14});
    expectNear(near(smallerShift.source, smallerShift.dest), true, 53, 0, 1);

    // The first exact match ends the search, though a nearer shift already scored.
    Pair exactFarther(80);
    exactFarther.plant(-5, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14});
    exactFarther.plant(1, {0, 1, 2});  // dest[0..4] are not touched by the exact copy
    expectNear(near(exactFarther.source, exactFarther.dest), true, 100, 0, 5);
}

TEST_P(AlignmentSearchTest, ThresholdIsStrictUnshiftedAndInclusiveAfterShifts)
{
    Pair pair(80);
    pair.plant(0, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9});  // 10 of 15: 66
    matchThreshold = 66;
    expectNear(near(pair.source, pair.dest), true, 66, 0, 0);   // no shift scores higher
    pair.plant(3, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});  // 13 of 15 at source shift 3,
    pair.dest[10] = 0xEE;                                       // which breaks no unshifted byte
    const NearMatch got = near(pair.source, pair.dest);
    EXPECT_TRUE(got.found);
    EXPECT_GT(got.score, 66);
    EXPECT_EQ(got.sourceSkip, 3u);

    Pair low(80);
    low.plant(0, {0, 1, 2, 3, 4, 5, 6, 7, 8});  // 9 of 15: 60
    matchThreshold = 65;
    expectNear(near(low.source, low.dest), false, 0, 0, 0);
    matchThreshold = 60;
    expectNear(near(low.source, low.dest), true, 60, 0, 0);

    // With no shifts at all only a score above the threshold counts.
    searchRange = 0;
    matchThreshold = 60;
    expectNear(near(low.source, low.dest), false, 0, 0, 0);
    matchThreshold = 59;
    expectNear(near(low.source, low.dest), true, 60, 0, 0);
}

TEST_P(AlignmentSearchTest, BlockSearchFindsTheContinuationBlocksAway)
{
    const Bytes data = distinct(120, 0);
    // 100 new bytes in front: destination step 4 with an inner shift of 40 is exact, and no
    // nearer step reaches that far.
    const Bytes inserted = concat(distinct(100, 0x80), data);
    BlockMatch got = block(data, inserted);
    EXPECT_TRUE(got.found);
    EXPECT_EQ(got.score, 100);
    EXPECT_EQ(got.destSteps, 4u);
    EXPECT_EQ(got.sourceSteps, 0u);
    got = block(inserted, data);
    EXPECT_TRUE(got.found);
    EXPECT_EQ(got.sourceSteps, 4u);
    EXPECT_EQ(got.destSteps, 0u);
    // Nothing related: not found.
    got = block(data, distinct(120, 0x80));
    EXPECT_FALSE(got.found);
}

TEST_P(AlignmentSearchTest, BlockSearchWeighsPartialMatchesAgainstTheThreshold)
{
    // From offset 30 on the destination continues the source in 11 of each 15 bytes (73).
    Pair pair(120);
    for (size_t m = 0; m + 30 < 120; ++m)
        if (m % 15 < 11)
            pair.dest[30 + m] = pair.source[m];
    // Step 1 already reaches it through an inner destination shift of 15, and the first
    // destination step that succeeds stays the best.
    BlockMatch got = block(pair.source, pair.dest);
    EXPECT_TRUE(got.found);
    EXPECT_EQ(got.score, 73);
    EXPECT_EQ(got.destSteps, 1u);
    matchThreshold = 80;  // above the block search's own 68: a 73 is not enough
    got = block(pair.source, pair.dest);
    EXPECT_FALSE(got.found);
    // An exact match is returned whatever the threshold.
    const Bytes data = distinct(120, 0);
    got = block(data, concat(distinct(30, 0x80), data));
    EXPECT_TRUE(got.found);
    EXPECT_EQ(got.score, 100);
    EXPECT_EQ(got.destSteps, 1u);
}

TEST_P(AlignmentSearchTest, BlockSearchTriesNoStepOnAShortSide)
{
    const Bytes data = distinct(100, 0);
    // The destination holds 15 bytes: no destination step; source step 1 reaches the match
    // 45 bytes on through an inner source shift of 30.
    const Bytes shortDest(data.begin() + 45, data.begin() + 60);
    BlockMatch got = block(data, shortDest);
    EXPECT_TRUE(got.found);
    EXPECT_EQ(got.sourceSteps, 1u);
    EXPECT_EQ(got.destSteps, 0u);
    got = block(shortDest, data);
    EXPECT_TRUE(got.found);
    EXPECT_EQ(got.destSteps, 1u);
    EXPECT_EQ(got.sourceSteps, 0u);
    const Bytes tiny(data.begin(), data.begin() + 15);
    EXPECT_FALSE(block(tiny, distinct(15, 0x80)).found);
}

TEST_P(AlignmentSearchTest, BlockStepUndoneByItsInnerSkipLeavesNoStep)
{
    // Destination step 1 finds its best partial match at an inner source shift of 20, a net
    // move of -5 bytes: found, but with no step on either side.
    Pair pair(120);
    for (size_t k = 0; k < 11; ++k)
        pair.dest[15 + k] = pair.source[20 + k];
    const BlockMatch got = block(pair.source, pair.dest);
    EXPECT_TRUE(got.found);
    EXPECT_EQ(got.score, 73);
    EXPECT_EQ(got.destSteps, 0u);
    EXPECT_EQ(got.sourceSteps, 0u);
}

TEST(AlignmentSearchAgreementTest, FastVersionAgreesOnRandomNearMisses)
{
    // Data with many partial matches: small alphabets and planted copies with noise; every
    // vector width this CPU has: none, 16 lanes, and 32 lanes where it has AVX2.
    CpuFeatures sixteenLanes;
    sixteenLanes.sse2 = true;
    const CpuFeatures widths[] = {CpuFeatures{}, sixteenLanes, processorFeatures()};
    std::mt19937 random(1208);
    for (int round = 0; round < 9000; ++round) {
        useCpuFeatures(widths[round % 3]);
        const uint32_t alphabet = 2 + random() % 6;
        // Every fourth pair is long enough for the block search to share work between blocks.
        const uint32_t longest = round % 4 == 0 ? 3000 : 600;
        Bytes source(1 + random() % longest), dest(1 + random() % longest);
        for (auto& b : source)
            b = static_cast<uint8_t>(random() % alphabet);
        for (auto& b : dest)
            b = static_cast<uint8_t>(random() % alphabet);
        if (round % 2 == 1 && source.size() > 1) {
            // The destination continues the source somewhere near, with some bytes changed:
            // partial scores of every height, at shifts on either side.
            const size_t from =
                random() % std::min<size_t>(source.size(), round % 4 == 0 ? 1200 : 500);
            dest.assign(source.begin() + from, source.end());
            if (random() % 2)
                std::swap(source, dest);
            const uint32_t noise = random() % 40;
            for (auto& b : dest)
                if (random() % 100 < noise)
                    b = static_cast<uint8_t>(random());
            if (dest.empty())
                dest.push_back(0);
        }
        const SearchLimits limits{static_cast<int32_t>(random() % (round % 5 == 0 ? 200 : 60)) - 3,
                                  static_cast<int32_t>(random() % 110) - 5};
        const auto sR = static_cast<uint32_t>(source.size());
        const auto dR = static_cast<uint32_t>(dest.size());
        const NearMatch a = alignSearch(limits, source.data(), sR, dest.data(), dR);
        const NearMatch b = fastAlignSearch(limits, source.data(), sR, dest.data(), dR);
        ASSERT_EQ(a.found, b.found) << round;
        if (a.found) {
            ASSERT_EQ(a.score, b.score) << round;
            ASSERT_EQ(a.sourceSkip, b.sourceSkip) << round;
            ASSERT_EQ(a.destSkip, b.destSkip) << round;
        }
        const BlockMatch c = deepAlignSearch(limits, source.data(), sR, dest.data(), dR);
        const BlockMatch d = fastDeepAlignSearch(limits, source.data(), sR, dest.data(), dR);
        ASSERT_EQ(c.found, d.found) << round;
        if (c.found) {
            ASSERT_EQ(c.score, d.score) << round;
            ASSERT_EQ(c.sourceSteps, d.sourceSteps) << round;
            ASSERT_EQ(c.destSteps, d.destSteps) << round;
        }
    }
    useCpuFeatures(processorFeatures());
}

INSTANTIATE_TEST_SUITE_P(
    BothVersions, AlignmentSearchTest,
    ::testing::Values(Searches{"reference", similarity, alignSearch, deepAlignSearch},
                      Searches{"fast", fastSimilarity, fastAlignSearch, fastDeepAlignSearch}),
    [](const auto& param) { return std::string(param.param.name); });
