// The vector near search, shared by the 16-lane (SSE2) build of alignment_search.cpp and the
// 32-lane one in near_search_avx2.cpp, which alone is compiled for AVX2. Everything the loop
// calls is compiled once, without AVX2, and the loop uses no library templates (their shared
// copies could come from the AVX2 file), so no AVX2 code is reached on a CPU without it; the
// loop itself has internal linkage in each file.
#pragma once
#include "encoder/alignment_search.h"
#include "encoder/tuning.h"

#include <cstdint>

using NearSearch = NearMatch (*)(const uint8_t*, uint32_t, const uint8_t*, uint32_t);

// The best shift so far of a search, by count of equal bytes in a full window.
struct ChunkBest {
    int32_t count = 0;
    uint32_t shift = 0;
    bool isSource = true;
};

// The smallest count of equal bytes in a full window whose score reaches matchThreshold; a
// search whose every count stays below it finds nothing, whichever count is highest.
int32_t countReachingThreshold();
// Goes through one chunk's per-shift counts in search order (smaller shift first, the source
// side before the destination side), as the one-at-a-time search would: a count of 15 ends the
// search (true, with exact set), a strictly higher count becomes the best.
bool scanChunk(const uint8_t* sourceCounts, const uint8_t* destCounts, uint32_t base,
               uint32_t lanes, ChunkBest& best, NearMatch& exact);
NearMatch bestOfCounts(const ChunkBest& best);
// The one-at-a-time near search over the fast score, for what the vectors cannot cover.
NearMatch scalarNearSearch(const uint8_t* source, uint32_t sourceRemaining, const uint8_t* dest,
                           uint32_t destRemaining);
// In near_search_avx2.cpp; call only where the CPU has AVX2.
NearMatch avx2NearSearch(const uint8_t* source, uint32_t sourceRemaining, const uint8_t* dest,
                         uint32_t destRemaining);

// Lane j of the source counter counts the window positions k where source[base + j + k] ==
// dest[k], lane j of the destination counter those where dest[base + j + k] == source[k]. With
// every window full, equal counts mean equal scores. A chunk where no lane reaches the
// threshold's count is passed over: it can neither end the search nor hold the best shift of a
// search that finds something.
template <typename Vector, int Width, Vector (*loadAt)(const uint8_t*),
          Vector (*broadcast)(uint8_t), Vector (*countEqual)(Vector, Vector, Vector),
          unsigned (*lanesReaching)(Vector, Vector, int32_t), void (*storeTo)(uint8_t*, Vector)>
static NearMatch countingNearSearch(const uint8_t* source, uint32_t sourceRemaining,
                                    const uint8_t* dest, uint32_t destRemaining)
{
    static_assert(blockSize == 15, "one vector lane per shift of a 15-byte window");
    const int64_t range = searchRange;
    const int64_t chunks = (range + Width - 1) / Width;
    // Every load and every window must lie inside both sides; elsewhere score one at a time.
    const int64_t needed = int64_t{Width} * (chunks > 1 ? chunks : 1) + 30;
    if (range <= 0 || sourceRemaining < needed || destRemaining < needed)
        return scalarNearSearch(source, sourceRemaining, dest, destRemaining);

    const int32_t unshifted = fastSimilarity(source, sourceRemaining, dest, destRemaining);
    if (unshifted > matchThreshold)
        return {true, unshifted, 0, 0};

    const int32_t reaching = countReachingThreshold();
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
    return bestOfCounts(best);
}
