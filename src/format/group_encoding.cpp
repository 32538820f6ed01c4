// Building a group's bitmap and deltas, one position at a time or 16 bytes at once.
#include "format/group_encoding.h"

#include "common/cpu_features.h"

#include <bit>

#ifdef ZEP_X86_VECTORS
#include <array>
#include <immintrin.h>
#endif

namespace zep {

namespace {

#ifdef ZEP_X86_VECTORS
// For each 8-bit mask, the byte shuffle that packs the marked bytes of 8 to the front.
constexpr std::array<uint64_t, 256> makePacks()
{
    std::array<uint64_t, 256> packs{};
    for (uint32_t bits = 0; bits < 256; ++bits) {
        uint64_t pack = 0x8080808080808080ull;
        uint32_t next = 0;
        for (uint32_t k = 0; k < 8; ++k)
            if ((bits >> k) & 1) {
                pack &= ~(uint64_t{0xFF} << (8 * next));
                pack |= uint64_t{k} << (8 * next++);
            }
        packs[bits] = pack;
    }
    return packs;
}
constexpr std::array<uint64_t, 256> kPacks = makePacks();

// A whole group's bitmap (bit k: position k differs) and its deltas packed into deltas, from
// 16-byte reads of both sides; deltas needs room for 16 bytes. Returns the number of deltas.
__attribute__((target("ssse3,popcnt"))) uint32_t packGroup(const uint8_t* from, const uint8_t* to,
                                                           uint32_t& bitmap, uint8_t* deltas)
{
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(to));
    bitmap = ~static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(a, b))) & 0x7FFFu;
    const __m128i difference = _mm_sub_epi8(b, a);
    const uint32_t low = bitmap & 0xFFu;
    const __m128i lowPacked =
        _mm_shuffle_epi8(difference, _mm_cvtsi64_si128(static_cast<int64_t>(kPacks[low])));
    const __m128i highPacked =
        _mm_shuffle_epi8(_mm_srli_si128(difference, 8),
                         _mm_cvtsi64_si128(static_cast<int64_t>(kPacks[bitmap >> 8])));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(deltas), lowPacked);
    const auto lowCount = static_cast<uint32_t>(std::popcount(low));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(deltas + lowCount), highPacked);
    return lowCount + static_cast<uint32_t>(std::popcount(bitmap >> 8));
}
#endif

}  // namespace

uint32_t encodeGroup(const uint8_t* source, const uint8_t* dest, uint32_t width,
                     [[maybe_unused]] uint32_t readable, uint8_t* bytes)
{
    uint32_t bitmap = 0;
    uint32_t changes = 0;
#ifdef ZEP_X86_VECTORS
    if (cpuFeatures().shuffle && width == kGroupWidth && readable >= 16) {
        changes = packGroup(source, dest, bitmap, bytes + 2);
    } else
#endif
        for (uint32_t k = 0; k < width; ++k)
            if (source[k] != dest[k]) {
                bitmap |= 1u << k;
                bytes[2 + changes++] = static_cast<uint8_t>(dest[k] - source[k]);
            }
    if (changes == 1) {
        // OP_POKE counts positions from 1, the bitmap from 0.
        const uint8_t delta = bytes[2];
        encodeToken(static_cast<uint32_t>(std::countr_zero(bitmap)) + 1, OP_POKE, bytes);
        bytes[1] = delta;
        return groupSize(1);
    }
    bytes[0] = static_cast<uint8_t>(bitmap >> 8);
    bytes[1] = static_cast<uint8_t>(bitmap);
    return groupSize(changes);
}

}  // namespace zep
