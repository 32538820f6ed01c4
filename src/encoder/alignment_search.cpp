// The searches are written once over the similarity score they use; the reference scores one
// byte at a time, the fast score compares 16 bytes in one vector step where both sides have
// them. Every tie-break lives in the shared search bodies, so both give the same answers.
#include "encoder/alignment_search.h"

#include "encoder/tuning.h"

#include <algorithm>
#include <bit>
#include <cstdlib>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

using Similarity = int32_t (*)(const uint8_t*, uint32_t, const uint8_t*, uint32_t);

// Scores of a full 15-byte window, by number of equal bytes.
constexpr int32_t kFullWindowScore[16] = {0,  6,  13, 20, 26, 33, 40, 46,
                                          53, 60, 66, 73, 80, 86, 93, 100};

template <Similarity score>
NearMatch nearSearch(const uint8_t* source, uint32_t sourceRemaining, const uint8_t* dest,
                     uint32_t destRemaining)
{
    const int32_t unshifted = score(source, sourceRemaining, dest, destRemaining);
    if (unshifted > matchThreshold)
        return {true, unshifted, 0, 0};

    int32_t best = 0;
    int64_t bestShift = 0;  // +i: i source bytes skipped; -i: i destination bytes skipped
    // Past both remaining counts no probe is made any more, so the loop may stop there.
    const int64_t lastShift =
        std::min<int64_t>(searchRange, std::max<int64_t>(sourceRemaining, destRemaining));
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
    if (best < matchThreshold)
        return {};
    if (bestShift >= 0)
        return {true, best, static_cast<uint32_t>(bestShift), 0};
    return {true, best, 0, static_cast<uint32_t>(-bestShift)};
}

// Puts matchThreshold back when the block search returns, on every path.
class ThresholdSwap {
  public:
    ThresholdSwap() : saved_(matchThreshold)
    {
        matchThreshold = deepThreshold;
    }
    ~ThresholdSwap()
    {
        matchThreshold = saved_;
    }
    ThresholdSwap(const ThresholdSwap&) = delete;
    ThresholdSwap& operator=(const ThresholdSwap&) = delete;

  private:
    int32_t saved_;
};

using NearSearch = NearMatch (*)(const uint8_t*, uint32_t, const uint8_t*, uint32_t);

template <NearSearch near>
BlockMatch blockSearch(const uint8_t* source, uint32_t sourceRemaining, const uint8_t* dest,
                       uint32_t destRemaining)
{
    int32_t bestScore = 0;
    int32_t bestStep = 0;  // +i: i destination blocks; -j: j source blocks; 0: none yet
    uint32_t bestInnerSourceSkip = 0;
    uint32_t bestInnerDestSkip = 0;
    {
        const ThresholdSwap raised;
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
            const uint32_t offset = static_cast<uint32_t>(i * blockSize);
            const NearMatch inner =
                near(source, sourceRemaining, dest + offset, destRemaining - offset);
            if (!inner.found)
                continue;
            if (inner.score == 100)
                return {true, 100, 0, static_cast<uint32_t>(i)};
            consider(inner, i);
        }
        for (int32_t j = 1; uint64_t{uint32_t(j)} * blockSize < sourceRemaining && j < 30; ++j) {
            const uint32_t offset = static_cast<uint32_t>(j * blockSize);
            const NearMatch inner =
                near(source + offset, sourceRemaining - offset, dest, destRemaining);
            if (!inner.found)
                continue;
            if (inner.score == 100)
                return {true, 100, static_cast<uint32_t>(j), 0};
            consider(inner, -j);
        }
    }
    if (bestScore < matchThreshold || bestStep == 0)
        return {};
    // The net shift decides: an inner skip back past the block step leaves no step at all.
    if (bestStep > 0) {
        const int64_t net = int64_t{bestStep} * blockSize + bestInnerDestSkip - bestInnerSourceSkip;
        return {true, bestScore, 0, net > 0 ? static_cast<uint32_t>(bestStep) : 0};
    }
    const int64_t net = int64_t{-bestStep} * blockSize + bestInnerSourceSkip - bestInnerDestSkip;
    return {true, bestScore, net > 0 ? static_cast<uint32_t>(-bestStep) : 0, 0};
}

#if defined(__SSE2__)
// Scores 16 shifts on each side at once: lane j of the source counter counts the window
// positions k where source[base + j + k] == dest[k]; lane j of the destination counter those
// where dest[base + j + k] == source[k]. With every window full, equal counts mean equal
// scores, so the first lane in search order holding a chunk's highest count is the shift the
// one-at-a-time search would keep.
NearMatch vectorNearSearch(const uint8_t* source, uint32_t sourceRemaining, const uint8_t* dest,
                           uint32_t destRemaining)
{
    static_assert(blockSize == 15, "one vector lane per shift of a 15-byte window");
    const int64_t range = searchRange;
    const int64_t chunks = (range + 15) / 16;
    // Every load and every window must lie inside both sides; elsewhere score one at a time.
    const int64_t needed = 16 * std::max<int64_t>(chunks, 1) + 30;
    if (range <= 0 || sourceRemaining < needed || destRemaining < needed)
        return nearSearch<fastSimilarity>(source, sourceRemaining, dest, destRemaining);

    const int32_t unshifted = fastSimilarity(source, sourceRemaining, dest, destRemaining);
    if (unshifted > matchThreshold)
        return {true, unshifted, 0, 0};

    const auto load = [](const uint8_t* at) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    };
    const __m128i full = _mm_set1_epi8(15);
    int32_t bestCount = 0;  // scores rise with counts; a count of 0 scores the initial 0
    uint32_t bestShift = 0;
    bool bestIsSource = true;
    for (int64_t chunk = 0; chunk < chunks; ++chunk) {
        const uint32_t base = static_cast<uint32_t>(16 * chunk);
        __m128i sourceCount = _mm_setzero_si128();
        __m128i destCount = _mm_setzero_si128();
        for (uint32_t k = 0; k < 15; ++k) {
            const __m128i sourceEqual =
                _mm_cmpeq_epi8(load(source + base + k), _mm_set1_epi8(static_cast<char>(dest[k])));
            const __m128i destEqual =
                _mm_cmpeq_epi8(load(dest + base + k), _mm_set1_epi8(static_cast<char>(source[k])));
            sourceCount = _mm_sub_epi8(sourceCount, sourceEqual);
            destCount = _mm_sub_epi8(destCount, destEqual);
        }
        const int64_t lanes = std::min<int64_t>(16, range - base);
        const unsigned valid = lanes == 16 ? 0xFFFFu : (1u << lanes) - 1;
        const auto lanesEqualTo = [valid](__m128i counts, __m128i value) {
            return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(counts, value))) & valid;
        };
        // The first shift in order (smaller first, source before destination) that matches.
        const auto firstOf = [](unsigned sourceLanes, unsigned destLanes) {
            const int sourceLane = sourceLanes ? std::countr_zero(sourceLanes) : 16;
            const int destLane = destLanes ? std::countr_zero(destLanes) : 16;
            return std::pair<int, bool>(std::min(sourceLane, destLane), sourceLane <= destLane);
        };
        const unsigned exactSource = lanesEqualTo(sourceCount, full);
        const unsigned exactDest = lanesEqualTo(destCount, full);
        if (exactSource | exactDest) {
            const auto [lane, isSource] = firstOf(exactSource, exactDest);
            const uint32_t shift = base + static_cast<uint32_t>(lane);
            return isSource ? NearMatch{true, 100, shift, 0} : NearMatch{true, 100, 0, shift};
        }
        // The chunk's highest count over its valid lanes, by halving the vector each step.
        const __m128i laneIndex =
            _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
        const __m128i validLanes =
            _mm_cmplt_epi8(laneIndex, _mm_set1_epi8(static_cast<char>(lanes)));
        __m128i top = _mm_and_si128(_mm_max_epu8(sourceCount, destCount), validLanes);
        top = _mm_max_epu8(top, _mm_srli_si128(top, 8));
        top = _mm_max_epu8(top, _mm_srli_si128(top, 4));
        top = _mm_max_epu8(top, _mm_srli_si128(top, 2));
        top = _mm_max_epu8(top, _mm_srli_si128(top, 1));
        const int32_t topCount = _mm_cvtsi128_si32(top) & 0xFF;
        if (topCount <= bestCount)
            continue;  // only a strictly higher score replaces the best
        const __m128i topVector = _mm_set1_epi8(static_cast<char>(topCount));
        const auto [lane, isSource] =
            firstOf(lanesEqualTo(sourceCount, topVector), lanesEqualTo(destCount, topVector));
        bestCount = topCount;
        bestShift = base + static_cast<uint32_t>(lane);
        bestIsSource = isSource;
    }
    const int32_t best = kFullWindowScore[bestCount];
    if (best < matchThreshold)
        return {};
    return bestIsSource ? NearMatch{true, best, bestShift, 0} : NearMatch{true, best, 0, bestShift};
}
#else
NearMatch vectorNearSearch(const uint8_t* source, uint32_t sourceRemaining, const uint8_t* dest,
                           uint32_t destRemaining)
{
    return nearSearch<fastSimilarity>(source, sourceRemaining, dest, destRemaining);
}
#endif

}  // namespace

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
#if defined(__SSE2__)
    static_assert(blockSize == 15, "the vector score covers one 15-byte window");
    // Sixteen bytes are loaded, so both sides must have them: a mapping may end at a page.
    if (aRemaining >= 16 && bRemaining >= 16) {
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

NearMatch alignSearch(const uint8_t* source, uint32_t sourceRemaining, const uint8_t* dest,
                      uint32_t destRemaining)
{
    return nearSearch<similarity>(source, sourceRemaining, dest, destRemaining);
}

NearMatch fastAlignSearch(const uint8_t* source, uint32_t sourceRemaining, const uint8_t* dest,
                          uint32_t destRemaining)
{
    return vectorNearSearch(source, sourceRemaining, dest, destRemaining);
}

BlockMatch deepAlignSearch(const uint8_t* source, uint32_t sourceRemaining, const uint8_t* dest,
                           uint32_t destRemaining)
{
    return blockSearch<alignSearch>(source, sourceRemaining, dest, destRemaining);
}

BlockMatch fastDeepAlignSearch(const uint8_t* source, uint32_t sourceRemaining, const uint8_t* dest,
                               uint32_t destRemaining)
{
    return blockSearch<vectorNearSearch>(source, sourceRemaining, dest, destRemaining);
}
