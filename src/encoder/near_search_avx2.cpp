// The 32-lane near search. This file alone is compiled for AVX2; the search picks it at run time
// only where the CPU has AVX2.
#include "common/cpu_features.h"
#include "encoder/vector_search.h"

#ifdef ZEP_X86_VECTORS
#include <immintrin.h>

namespace zep {

namespace {

__m256i loadAvx2(const uint8_t* at)
{
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
}
__m256i broadcastAvx2(uint8_t byte)
{
    return _mm256_set1_epi8(static_cast<char>(byte));
}
__m256i countEqualAvx2(__m256i count, __m256i a, __m256i b)
{
    return _mm256_sub_epi8(count, _mm256_cmpeq_epi8(a, b));
}
// Lanes where either count reaches the given value (counts are 0-15, so signed compares work).
unsigned lanesReachingAvx2(__m256i a, __m256i b, int32_t reaching)
{
    const __m256i below = _mm256_set1_epi8(static_cast<char>(reaching - 1));
    return static_cast<unsigned>(_mm256_movemask_epi8(
        _mm256_or_si256(_mm256_cmpgt_epi8(a, below), _mm256_cmpgt_epi8(b, below))));
}
void storeAvx2(uint8_t* to, __m256i counts)
{
    _mm256_store_si256(reinterpret_cast<__m256i*>(to), counts);
}

}  // namespace

NearMatch avx2NearSearch(const SearchLimits& limits, const uint8_t* source,
                         uint32_t sourceRemaining, const uint8_t* dest, uint32_t destRemaining)
{
    return countingNearSearch<__m256i, 32, loadAvx2, broadcastAvx2, countEqualAvx2,
                              lanesReachingAvx2, storeAvx2>(limits, source, sourceRemaining, dest,
                                                            destRemaining);
}

bool avx2BlockFilter(const SearchLimits& limits, const uint8_t* source, uint32_t sourceRemaining,
                     const uint8_t* dest, uint32_t destRemaining, BlockCandidates& candidates)
{
    return blockCandidates<__m256i, 32, loadAvx2, broadcastAvx2, countEqualAvx2, lanesReachingAvx2,
                           storeAvx2>(limits, source, sourceRemaining, dest, destRemaining,
                                      candidates);
}
}  // namespace zep

#endif
