// Matches found through the source index are real, ordered and maximal where they are found,
// and the chain keeps the heavier of crossing matches.
#include "encoder/match_chain.h"
#include "encoder/source_index.h"
#include "support/encode_record.h"

#include <gtest/gtest.h>
#include <random>

// The library's own units, as the tests reach them.
using namespace zep;

namespace {

std::vector<Match> matchesOf(const Bytes& source, const Bytes& dest)
{
    const SourceIndex index(source.data(), static_cast<uint32_t>(source.size()));
    return collectMatches(index, source.data(), static_cast<uint32_t>(source.size()), dest.data(),
                          static_cast<uint32_t>(dest.size()));
}

}  // namespace

TEST(MatchChainTest, MatchesAreEqualStretchesInDestinationOrder)
{
    std::mt19937 random(77);
    const Bytes a = randomBytes(random, 3000);
    const Bytes b = randomBytes(random, 5000);
    const Bytes c = randomBytes(random, 400);
    // b moved in front of a, with new bytes between.
    const Bytes source = join({a, b});
    const Bytes dest = join({b, c, a});
    const std::vector<Match> matches = matchesOf(source, dest);
    ASSERT_FALSE(matches.empty());
    uint32_t covered = 0;
    for (const Match& match : matches) {
        EXPECT_GE(match.length, 12u);
        EXPECT_GE(match.destAt, covered);
        EXPECT_TRUE(std::equal(dest.begin() + match.destAt,
                               dest.begin() + match.destAt + match.length,
                               source.begin() + match.sourceAt));
        covered = match.destAt + match.length;
    }
    // Each moved part is found whole, where it is in the source.
    EXPECT_EQ(matches.front().sourceAt, a.size());
    EXPECT_EQ(matches.front().length, b.size());
    EXPECT_EQ(matches.back().destAt, b.size() + c.size());
    EXPECT_EQ(matches.back().length, a.size());
}

TEST(MatchChainTest, TheChainKeepsTheHeavierOfCrossingMatches)
{
    std::mt19937 random(78);
    const Bytes shorter = randomBytes(random, 2000);
    const Bytes longer = randomBytes(random, 6000);
    const Bytes source = join({shorter, longer});
    const Bytes dest = join({longer, shorter});  // the two cross: only one can be copied
    const std::vector<Match> chain = heaviestChain(matchesOf(source, dest), source.data(),
                                                   dest.data(), static_cast<uint32_t>(dest.size()));
    ASSERT_EQ(chain.size(), 1u);
    EXPECT_EQ(chain[0].sourceAt, shorter.size());
    EXPECT_EQ(chain[0].destAt, 0u);
    EXPECT_EQ(chain[0].length, longer.size());
}
