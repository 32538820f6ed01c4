// The searches are written once over the similarity score they use; the reference scores one
// byte at a time, the fast score compares 16 bytes in one vector step where both sides have
// them. Every tie-break lives in the shared search bodies, so both give the same answers.
#include "encoder/alignment_search.h"

#include "common/byte_order.h"
#include "common/cpu_features.h"
#include "encoder/tuning.h"
#include "encoder/vector_search.h"

#include <algorithm>
#include <bit>
#include <cstdlib>

#ifdef ZEP_X86_VECTORS
#include <immintrin.h>
#endif

namespace zep {

namespace {

using Similarity = int32_t (*)(const uint8_t*, uint32_t, const uint8_t*, uint32_t);

// Scores of a full 15-byte window, by number of equal bytes.
constexpr int32_t kFullWindowScore[16] = {0,  6,  13, 20, 26, 33, 40, 46,
                                          53, 60, 66, 73, 80, 86, 93, 100};

template <Similarity score>
NearMatch nearSearch(const SearchLimits& limits, const uint8_t* source, uint32_t sourceRemaining,
                     const uint8_t* dest, uint32_t destRemaining)
{
    const int32_t unshifted = score(source, sourceRemaining, dest, destRemaining);
    if (unshifted > limits.threshold)
        return {true, unshifted, 0, 0};

    int32_t best = 0;
    int64_t bestShift = 0;  // +i: i source bytes skipped; -i: i destination bytes skipped
    // Past both remaining counts no probe is made any more, so the loop may stop there.
    const int64_t lastShift =
        std::min<int64_t>(limits.range, std::max<int64_t>(sourceRemaining, destRemaining));
    for (int64_t i = 0; i < lastShift; ++i) {
        const uint32_t shift = static_cast<uint32_t>(i);
        if (shift < sourceRemaining) {
            const int32_t s = score(source + shift, sourceRemaining - shift, dest, destRemaining);
            if (s == 100)
                return {true, 100, shift, 0};
            if (s > best) {
                best = s;
                bestShift = i;
            }
        }
        if (shift < destRemaining) {
            const int32_t s = score(source, sourceRemaining, dest + shift, destRemaining - shift);
            if (s == 100)
                return {true, 100, 0, shift};
            if (s > best) {
                best = s;
                bestShift = -i;
            }
        }
    }
    if (best < limits.threshold)
        return {};
    if (bestShift >= 0)
        return {true, best, static_cast<uint32_t>(bestShift), 0};
    return {true, best, 0, static_cast<uint32_t>(-bestShift)};
}

// The block filter of the widest vector search in use, or none.
BlockFilter blockFilter();

// The block search; with a filter, the near searches it rules out are not run (they would
// find nothing), which changes nothing in the outcome.
template <NearSearch near, bool filtered>
BlockMatch blockSearch(const SearchLimits& limits, const uint8_t* source, uint32_t sourceRemaining,
                       const uint8_t* dest, uint32_t destRemaining)
{
    int32_t bestScore = 0;
    int32_t bestStep = 0;  // +i: i destination blocks; -j: j source blocks; 0: none yet
    uint32_t bestInnerSourceSkip = 0;
    uint32_t bestInnerDestSkip = 0;
    {
        // The near searches of the blocks accept from the raised threshold.
        const SearchLimits raised{limits.range, deepThreshold};
        BlockCandidates candidates{};
        const BlockFilter filterFor = filtered ? blockFilter() : nullptr;
        const bool filter = filterFor != nullptr && filterFor(raised, source, sourceRemaining, dest,
                                                              destRemaining, candidates);
        // Only a strictly better and strictly nearer candidate displaces the best one.
        const auto consider = [&](const NearMatch& inner, int32_t step) {
            if (inner.score > bestScore && (bestStep == 0 || std::abs(step) < std::abs(bestStep))) {
                bestScore = inner.score;
                bestStep = step;
                bestInnerSourceSkip = inner.sourceSkip;
                bestInnerDestSkip = inner.destSkip;
            }
        };
        for (int32_t i = 1; uint64_t{uint32_t(i)} * blockSize < destRemaining && i < 30; ++i) {
            if (filter && !candidates.dest[i - 1])
                continue;
            const uint32_t offset = static_cast<uint32_t>(i * blockSize);
            const NearMatch inner =
                near(raised, source, sourceRemaining, dest + offset, destRemaining - offset);
            if (!inner.found)
                continue;
            if (inner.score == 100)
                return {true, 100, 0, static_cast<uint32_t>(i)};
            consider(inner, i);
        }
        for (int32_t j = 1; uint64_t{uint32_t(j)} * blockSize < sourceRemaining && j < 30; ++j) {
            if (filter && !candidates.source[j - 1])
                continue;
            const uint32_t offset = static_cast<uint32_t>(j * blockSize);
            const NearMatch inner =
                near(raised, source + offset, sourceRemaining - offset, dest, destRemaining);
            if (!inner.found)
                continue;
            if (inner.score == 100)
                return {true, 100, static_cast<uint32_t>(j), 0};
            consider(inner, -j);
        }
    }
    if (bestScore < limits.threshold || bestStep == 0)
        return {};
    // The net shift decides: an inner skip back past the block step leaves no step at all.
    if (bestStep > 0) {
        const int64_t net = int64_t{bestStep} * blockSize + bestInnerDestSkip - bestInnerSourceSkip;
        return {true, bestScore, 0, net > 0 ? static_cast<uint32_t>(bestStep) : 0};
    }
    const int64_t net = int64_t{-bestStep} * blockSize + bestInnerSourceSkip - bestInnerDestSkip;
    return {true, bestScore, net > 0 ? static_cast<uint32_t>(-bestStep) : 0, 0};
}

#ifdef ZEP_X86_VECTORS
__m128i loadSse(const uint8_t* at)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}
__m128i broadcastSse(uint8_t byte)
{
    return _mm_set1_epi8(static_cast<char>(byte));
}
__m128i countEqualSse(__m128i count, __m128i a, __m128i b)
{
    return _mm_sub_epi8(count, _mm_cmpeq_epi8(a, b));
}
// Lanes where either count reaches the given value (counts are 0-15, so signed compares work).
unsigned lanesReachingSse(__m128i a, __m128i b, int32_t reaching)
{
    const __m128i below = _mm_set1_epi8(static_cast<char>(reaching - 1));
    return static_cast<unsigned>(
        _mm_movemask_epi8(_mm_or_si128(_mm_cmpgt_epi8(a, below), _mm_cmpgt_epi8(b, below))));
}
void storeSse(uint8_t* to, __m128i counts)
{
    _mm_store_si128(reinterpret_cast<__m128i*>(to), counts);
}

NearMatch sseNearSearch(const SearchLimits& limits, const uint8_t* source, uint32_t sourceRemaining,
                        const uint8_t* dest, uint32_t destRemaining)
{
    return countingNearSearch<__m128i, 16, loadSse, broadcastSse, countEqualSse, lanesReachingSse,
                              storeSse>(limits, source, sourceRemaining, dest, destRemaining);
}

bool sseBlockFilter(const SearchLimits& limits, const uint8_t* source, uint32_t sourceRemaining,
                    const uint8_t* dest, uint32_t destRemaining, BlockCandidates& candidates)
{
    return blockCandidates<__m128i, 16, loadSse, broadcastSse, countEqualSse, lanesReachingSse,
                           storeSse>(limits, source, sourceRemaining, dest, destRemaining,
                                     candidates);
}
#endif

// The widest near search the processor may run: 32 lanes with AVX2, 16 with SSE2, else one
// shift at a time.
NearMatch vectorNearSearch(const SearchLimits& limits, const uint8_t* source,
                           uint32_t sourceRemaining, const uint8_t* dest, uint32_t destRemaining)
{
#ifdef ZEP_X86_VECTORS
    if (cpuFeatures().avx2)
        return avx2NearSearch(limits, source, sourceRemaining, dest, destRemaining);
    if (cpuFeatures().sse2)
        return sseNearSearch(limits, source, sourceRemaining, dest, destRemaining);
#endif
    return scalarNearSearch(limits, source, sourceRemaining, dest, destRemaining);
}

BlockFilter blockFilter()
{
#ifdef ZEP_X86_VECTORS
    if (cpuFeatures().avx2)
        return avx2BlockFilter;
    if (cpuFeatures().sse2)
        return sseBlockFilter;
#endif
    return nullptr;
}

}  // namespace

int32_t countReachingThreshold(int32_t threshold)
{
    int32_t count = 0;
    while (count < 15 && kFullWindowScore[count] < threshold)
        ++count;
    return count;
}

bool scanChunk(const uint8_t* sourceCounts, const uint8_t* destCounts, uint32_t base,
               uint32_t lanes, ChunkBest& best, NearMatch& exact)
{
    for (uint32_t lane = 0; lane < lanes; ++lane) {
        const uint32_t shift = base + lane;
        if (sourceCounts[lane] == 15) {
            exact = {true, 100, shift, 0};
            return true;
        }
        if (sourceCounts[lane] > best.count)
            best = {sourceCounts[lane], shift, true};
        if (destCounts[lane] == 15) {
            exact = {true, 100, 0, shift};
            return true;
        }
        if (destCounts[lane] > best.count)
            best = {destCounts[lane], shift, false};
    }
    return false;
}

NearMatch bestOfCounts(const ChunkBest& best, int32_t threshold)
{
    const int32_t score = kFullWindowScore[best.count];
    if (score < threshold)
        return {};
    return best.isSource ? NearMatch{true, score, best.shift, 0}
                         : NearMatch{true, score, 0, best.shift};
}

NearMatch scalarNearSearch(const SearchLimits& limits, const uint8_t* source,
                           uint32_t sourceRemaining, const uint8_t* dest, uint32_t destRemaining)
{
    return nearSearch<fastSimilarity>(limits, source, sourceRemaining, dest, destRemaining);
}

int32_t similarity(const uint8_t* a, uint32_t aRemaining, const uint8_t* b, uint32_t bRemaining)
{
    const uint32_t n = std::min({static_cast<uint32_t>(blockSize), aRemaining, bRemaining});
    uint32_t equal = 0;
    for (uint32_t k = 0; k < n; ++k)
        equal += a[k] == b[k];
    return static_cast<int32_t>(equal * 100 / n);
}

int32_t fastSimilarity(const uint8_t* a, uint32_t aRemaining, const uint8_t* b, uint32_t bRemaining)
{
#ifdef ZEP_X86_VECTORS
    static_assert(blockSize == 15, "the vector score covers one 15-byte window");
    // Sixteen bytes are loaded, so both sides must have them: a mapping may end at a page.
    if (cpuFeatures().sse2 && aRemaining >= 16 && bRemaining >= 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a));
        const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b));
        // Equal bytes become 1 in the first 15 lanes; the sum of absolute differences against
        // zero adds them up per half (baseline SSE2, unlike a population count).
        const __m128i firstFifteen = _mm_set_epi8(0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1);
        const __m128i ones = _mm_and_si128(_mm_cmpeq_epi8(x, y), firstFifteen);
        const __m128i sums = _mm_sad_epu8(ones, _mm_setzero_si128());
        return kFullWindowScore[_mm_cvtsi128_si32(sums) + _mm_extract_epi16(sums, 4)];
    }
#endif
    return similarity(a, aRemaining, b, bRemaining);
}

uint32_t fastEqualPrefix(const uint8_t* a, const uint8_t* b, uint32_t limit)
{
    uint32_t length = 0;
#ifdef ZEP_X86_VECTORS
    const auto load = [](const uint8_t* at) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    };
    for (; cpuFeatures().sse2 && length + 16 <= limit; length += 16) {
        const auto equal = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_cmpeq_epi8(load(a + length), load(b + length))));
        if (equal != 0xFFFFu)
            return length + static_cast<uint32_t>(std::countr_one(equal));
    }
#endif
    return length + equalPrefix(a + length, b + length, limit - length);
}

NearMatch alignSearch(const SearchLimits& limits, const uint8_t* source, uint32_t sourceRemaining,
                      const uint8_t* dest, uint32_t destRemaining)
{
    return nearSearch<similarity>(limits, source, sourceRemaining, dest, destRemaining);
}

NearMatch fastAlignSearch(const SearchLimits& limits, const uint8_t* source,
                          uint32_t sourceRemaining, const uint8_t* dest, uint32_t destRemaining)
{
    return vectorNearSearch(limits, source, sourceRemaining, dest, destRemaining);
}

BlockMatch deepAlignSearch(const SearchLimits& limits, const uint8_t* source,
                           uint32_t sourceRemaining, const uint8_t* dest, uint32_t destRemaining)
{
    return blockSearch<alignSearch, false>(limits, source, sourceRemaining, dest, destRemaining);
}

BlockMatch fastDeepAlignSearch(const SearchLimits& limits, const uint8_t* source,
                               uint32_t sourceRemaining, const uint8_t* dest,
                               uint32_t destRemaining)
{
    return blockSearch<vectorNearSearch, true>(limits, source, sourceRemaining, dest,
                                               destRemaining);
}

}  // namespace zep
