// The vector near search, shared by the 16-lane (SSE2) build of alignment_search.cpp and the
// 32-lane one in near_search_avx2.cpp, which alone is compiled for AVX2. Everything the loop
// calls is compiled once, without AVX2, and the loop uses no library templates (their shared
// copies could come from the AVX2 file), so no AVX2 code is reached on a CPU without it; the
// loop itself has internal linkage in each file.
#pragma once
#include "encoder/alignment_search.h"
#include "encoder/tuning.h"

#include <cstddef>
#include <cstdint>

namespace zep {

using NearSearch = NearMatch (*)(const SearchLimits&, const uint8_t*, uint32_t, const uint8_t*,
                                 uint32_t);

// Which near searches of a block search can find anything: index i - 1 for the destination
// block i, and for the source block i. Filled by a block filter, which returns false (ruling
// nothing out) where the inputs are too short or the search range too wide for it.
struct BlockCandidates {
    bool dest[29];
    bool source[29];
};
using BlockFilter = bool (*)(const SearchLimits&, const uint8_t*, uint32_t, const uint8_t*,
                             uint32_t, BlockCandidates&);

// The best shift so far of a search, by count of equal bytes in a full window.
struct ChunkBest {
    int32_t count = 0;
    uint32_t shift = 0;
    bool isSource = true;
};

// The smallest count of equal bytes in a full window whose score reaches the threshold; a
// search whose every count stays below it finds nothing, whichever count is highest.
int32_t countReachingThreshold(int32_t threshold);
// Goes through one chunk's per-shift counts in search order (smaller shift first, the source
// side before the destination side), as the one-at-a-time search would: a count of 15 ends the
// search (true, with exact set), a strictly higher count becomes the best.
bool scanChunk(const uint8_t* sourceCounts, const uint8_t* destCounts, uint32_t base,
               uint32_t lanes, ChunkBest& best, NearMatch& exact);
NearMatch bestOfCounts(const ChunkBest& best, int32_t threshold);
// The one-at-a-time near search over the fast score, for what the vectors cannot cover.
NearMatch scalarNearSearch(const SearchLimits& limits, const uint8_t* source,
                           uint32_t sourceRemaining, const uint8_t* dest, uint32_t destRemaining);
// In near_search_avx2.cpp; call only where the CPU has AVX2.
NearMatch avx2NearSearch(const SearchLimits& limits, const uint8_t* source,
                         uint32_t sourceRemaining, const uint8_t* dest, uint32_t destRemaining);
bool avx2BlockFilter(const SearchLimits& limits, const uint8_t* source, uint32_t sourceRemaining,
                     const uint8_t* dest, uint32_t destRemaining, BlockCandidates& candidates);

// Lane j of the source counter counts the window positions k where source[base + j + k] ==
// dest[k], lane j of the destination counter those where dest[base + j + k] == source[k]. With
// every window full, equal counts mean equal scores. A chunk where no lane reaches the
// threshold's count is passed over: it can neither end the search nor hold the best shift of a
// search that finds something.
template <typename Vector, int Width, Vector (*loadAt)(const uint8_t*),
          Vector (*broadcast)(uint8_t), Vector (*countEqual)(Vector, Vector, Vector),
          unsigned (*lanesReaching)(Vector, Vector, int32_t), void (*storeTo)(uint8_t*, Vector)>
static NearMatch countingNearSearch(const SearchLimits& limits, const uint8_t* source,
                                    uint32_t sourceRemaining, const uint8_t* dest,
                                    uint32_t destRemaining)
{
    static_assert(blockSize == 15, "one vector lane per shift of a 15-byte window");
    const int64_t range = limits.range;
    const int64_t chunks = (range + Width - 1) / Width;
    // Every load and every window must lie inside both sides; elsewhere score one at a time.
    const int64_t needed = int64_t{Width} * (chunks > 1 ? chunks : 1) + 30;
    if (range <= 0 || sourceRemaining < needed || destRemaining < needed)
        return scalarNearSearch(limits, source, sourceRemaining, dest, destRemaining);

    const int32_t unshifted = fastSimilarity(source, sourceRemaining, dest, destRemaining);
    if (unshifted > limits.threshold)
        return {true, unshifted, 0, 0};

    const int32_t reaching = countReachingThreshold(limits.threshold);
    Vector destBytes[15];
    Vector sourceBytes[15];
    for (int k = 0; k < 15; ++k) {
        destBytes[k] = broadcast(dest[k]);
        sourceBytes[k] = broadcast(source[k]);
    }
    ChunkBest best;
    for (int64_t chunk = 0; chunk < chunks; ++chunk) {
        const uint32_t base = static_cast<uint32_t>(Width * chunk);
        Vector sourceCount = broadcast(0);
        Vector destCount = broadcast(0);
        for (uint32_t k = 0; k < 15; ++k) {
            sourceCount = countEqual(sourceCount, loadAt(source + base + k), destBytes[k]);
            destCount = countEqual(destCount, loadAt(dest + base + k), sourceBytes[k]);
        }
        const uint32_t lanes = static_cast<uint32_t>(range - base < Width ? range - base : Width);
        const unsigned valid = lanes >= 32 ? ~0u : (1u << lanes) - 1;
        if ((lanesReaching(sourceCount, destCount, reaching) & valid) == 0)
            continue;
        alignas(32) uint8_t sourceCounts[Width];
        alignas(32) uint8_t destCounts[Width];
        storeTo(sourceCounts, sourceCount);
        storeTo(destCounts, destCount);
        NearMatch exact;
        if (scanChunk(sourceCounts, destCounts, base, lanes, best, exact))
            return exact;
    }
    return bestOfCounts(best, limits.threshold);
}

// Sets of byte pairs, one byte per possible pair (a lookup is one load and an add; bits took a
// shift and a mask more). A block search marks the pairs of a stretch, asks about its windows,
// and clears its marks again, so the maps are empty between searches.
struct PairMaps {
    uint8_t source[65536];
    uint8_t dest[65536];
};
static inline uint32_t pairAt(const uint8_t* at)
{
    return at[0] | (uint32_t{at[1]} << 8);
}
static inline void setPair(uint8_t* map, const uint8_t* at, bool on)
{
    map[pairAt(at)] = on ? 1 : 0;
}
// How many of the window's 7 aligned pairs occur in the marked stretch.
static inline int pairsFound(const uint8_t* map, const uint8_t* window)
{
    int found = 0;
    for (int h = 0; h < 7; ++h)
        found += map[pairAt(window + static_cast<ptrdiff_t>(2) * h)];
    return found;
}

// Whether any valid lane of a near search reaches the count: on its shared side, or else on the
// side counted here (lane j compares window[k] with other[j + k]), when counting it is asked
// for. Past 8 of the 15 positions a lane short of reaching - 7 can no longer reach it.
template <typename Vector, Vector (*loadAt)(const uint8_t*), Vector (*broadcast)(uint8_t),
          Vector (*countEqual)(Vector, Vector, Vector),
          unsigned (*lanesReaching)(Vector, Vector, int32_t)>
static inline bool nearSideMay(Vector shared, bool count, const uint8_t* other,
                               const uint8_t* window, unsigned valid, int32_t reaching)
{
    if ((lanesReaching(shared, shared, reaching) & valid) != 0)
        return true;
    if (!count)
        return false;
    Vector counts = broadcast(0);
    for (int k = 0; k < 8; ++k)
        counts = countEqual(counts, loadAt(other + k), broadcast(window[k]));
    if ((lanesReaching(counts, counts, reaching - 7) & valid) == 0)
        return false;
    for (int k = 8; k < 15; ++k)
        counts = countEqual(counts, loadAt(other + k), broadcast(window[k]));
    return (lanesReaching(counts, counts, reaching) & valid) != 0;
}

// The 58 near searches of a block search share much of their work: the destination side of
// the destination block i at shift d compares dest[15i + d + k] with source[k], one running
// correlation over all i, and so does the source side of the source blocks. With those two
// computed once, each near search needs only its own other side to tell whether any of its
// counts reaches the threshold's count; one that does not cannot find anything (its unshifted
// score is its first source-side lane).
template <typename Vector, int Width, Vector (*loadAt)(const uint8_t*),
          Vector (*broadcast)(uint8_t), Vector (*countEqual)(Vector, Vector, Vector),
          unsigned (*lanesReaching)(Vector, Vector, int32_t), void (*storeTo)(uint8_t*, Vector)>
static bool blockCandidates(const SearchLimits& limits, const uint8_t* source,
                            uint32_t sourceRemaining, const uint8_t* dest, uint32_t destRemaining,
                            BlockCandidates& candidates)
{
    constexpr int64_t kBlocks = 29;
    constexpr int64_t kMaxRange = 256;
    const int64_t range = limits.range;
    const int32_t reaching = countReachingThreshold(limits.threshold);
    if (range <= 0 || range > kMaxRange || reaching == 0)
        return false;
    const int64_t chunks = (range + Width - 1) / Width;
    // Shared counts cover every lane of every block: positions [0, span).
    const int64_t span = 15 * kBlocks + Width * chunks;
    // Loads reach Width + 14 bytes past the last counted position; keep a margin beyond it,
    // and enough for every near search to take its vector path.
    const int64_t width = Width;
    const int64_t needed = span + 2 * width + 64;
    if (sourceRemaining < needed || destRemaining < needed)
        return false;

    Vector destBytes[15];
    Vector sourceBytes[15];
    for (int k = 0; k < 15; ++k) {
        destBytes[k] = broadcast(dest[k]);
        sourceBytes[k] = broadcast(source[k]);
    }
    // destShared[p]: equal bytes of dest[p..p+15) and source[0..15); sourceShared the reverse.
    constexpr int64_t kSharedLength = 15 * kBlocks + kMaxRange + 3 * static_cast<int64_t>(Width);
    alignas(32) uint8_t destShared[kSharedLength];
    alignas(32) uint8_t sourceShared[kSharedLength];
    for (int64_t base = 0; base < span; base += Width) {
        Vector destCount = broadcast(0);
        Vector sourceCount = broadcast(0);
        for (int k = 0; k < 15; ++k) {
            destCount = countEqual(destCount, loadAt(dest + base + k), sourceBytes[k]);
            sourceCount = countEqual(sourceCount, loadAt(source + base + k), destBytes[k]);
        }
        storeTo(destShared + base, destCount);
        storeTo(sourceShared + base, sourceCount);
    }

    // The other side of each block's search is counted only where it may reach the count.
    // Where that is 11 of 15, at most 4 bytes differ, so at least 3 of the window's 7 aligned
    // byte pairs are equal: a block with fewer than 2 of its pairs anywhere in the other side's
    // searched stretch cannot reach it there.
    const auto sideMay = nearSideMay<Vector, loadAt, broadcast, countEqual, lanesReaching>;
    const bool byPairs = reaching >= 11;
    // Empty between searches; one set per thread, so that runs in several threads keep apart.
    thread_local PairMaps pairs;
    const int64_t stretch = range + 13;
    if (byPairs)
        for (int64_t at = 0; at < stretch; ++at) {
            setPair(pairs.source, source + at, true);
            setPair(pairs.dest, dest + at, true);
        }
    for (int64_t block = 1; block <= kBlocks; ++block) {
        const uint8_t* destBlock = dest + 15 * block;
        const uint8_t* sourceBlock = source + 15 * block;
        bool destMay = false;
        bool sourceMay = false;
        // Sides that may reach the count are counted; the others stay at zero.
        const bool countDest = !byPairs || pairsFound(pairs.source, destBlock) >= 2;
        const bool countSource = !byPairs || pairsFound(pairs.dest, sourceBlock) >= 2;
        for (int64_t chunk = 0; chunk < chunks && !(destMay && sourceMay); ++chunk) {
            const int64_t base = Width * chunk;
            const int64_t lanes = range - base < Width ? range - base : Width;
            const unsigned valid = lanes >= 32 ? ~0u : (1u << lanes) - 1;
            if (!destMay) {
                // Destination block: its destination side shared, its source side here.
                destMay = sideMay(loadAt(destShared + 15 * block + base), countDest, source + base,
                                  destBlock, valid, reaching);
            }
            if (!sourceMay) {
                // Source block: its source side shared, its destination side here.
                sourceMay = sideMay(loadAt(sourceShared + 15 * block + base), countSource,
                                    dest + base, sourceBlock, valid, reaching);
            }
        }
        candidates.dest[block - 1] = destMay;
        candidates.source[block - 1] = sourceMay;
    }
    if (byPairs)
        for (int64_t at = 0; at < stretch; ++at) {
            setPair(pairs.source, source + at, false);
            setPair(pairs.dest, dest + at, false);
        }
    return true;
}

}  // namespace zep
