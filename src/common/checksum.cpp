// CRC-32/MPEG-2 four ways, all giving the same value: one table lookup per byte (the
// definition), slicing by 16 (sixteen independent lookups per sixteen bytes), and, where the
// processor has carry-less multiplication, folding 64 bytes at a time, or 256 with 512-bit
// registers.
#include "common/checksum.h"

#include "common/byte_order.h"
#include "common/cpu_features.h"

#include <array>

#ifdef ZEP_X86_VECTORS
#include <immintrin.h>
#endif

namespace zep {

namespace {

constexpr uint32_t kPolynomial = 0x04C11DB7u;
constexpr int kSlices = 16;

using CrcTables = std::array<std::array<uint32_t, 256>, kSlices>;

// Table k advances a byte through k further zero bytes, so byte j of a 16-byte chunk is looked
// up in table 15 - j.
constexpr CrcTables makeTables()
{
    CrcTables tables{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t value = i << 24;
        for (int bit = 0; bit < 8; ++bit)
            value = (value & 0x80000000u) ? (value << 1) ^ kPolynomial : value << 1;
        tables[0][i] = value;
    }
    for (int k = 1; k < kSlices; ++k)
        for (uint32_t i = 0; i < 256; ++i) {
            const uint32_t previous = tables[k - 1][i];
            tables[k][i] = (previous << 8) ^ tables[0][previous >> 24];
        }
    return tables;
}

constexpr CrcTables kTables = makeTables();

}  // namespace

const std::array<uint32_t, 256> crcTable = kTables[0];

namespace {

uint32_t slicedCrc(const uint8_t* data, size_t count, uint32_t crc)
{
    const auto& t = kTables;
    while (count >= 16) {
        const uint32_t w0 = crc ^ loadBe32(data);
        const uint32_t w1 = loadBe32(data + 4);
        const uint32_t w2 = loadBe32(data + 8);
        const uint32_t w3 = loadBe32(data + 12);
        crc = t[15][w0 >> 24] ^ t[14][(w0 >> 16) & 0xFF] ^ t[13][(w0 >> 8) & 0xFF] ^
              t[12][w0 & 0xFF] ^ t[11][w1 >> 24] ^ t[10][(w1 >> 16) & 0xFF] ^
              t[9][(w1 >> 8) & 0xFF] ^ t[8][w1 & 0xFF] ^ t[7][w2 >> 24] ^ t[6][(w2 >> 16) & 0xFF] ^
              t[5][(w2 >> 8) & 0xFF] ^ t[4][w2 & 0xFF] ^ t[3][w3 >> 24] ^ t[2][(w3 >> 16) & 0xFF] ^
              t[1][(w3 >> 8) & 0xFF] ^ t[0][w3 & 0xFF];
        data += 16;
        count -= 16;
    }
    while (count-- > 0)
        crc = crcUpdate(*data++, crc);
    return crc;
}

#ifdef ZEP_X86_VECTORS
// x^n mod P, the factor that moves a bit n places further along the message.
constexpr uint64_t xPowerModP(int n)
{
    uint64_t value = 1;  // x^0
    for (int i = 0; i < n; ++i) {
        value <<= 1;
        if (value & 0x100000000ull)
            value ^= 0x100000000ull | kPolynomial;
    }
    return value;
}

// A 16-byte block read as one polynomial: the first byte's top bit is x^127.
__attribute__((target("pclmul,ssse3"))) inline __m128i loadBlock(const uint8_t* at)
{
    const __m128i reverse = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)), reverse);
}

// R * x^distance, kept below x^128: the high half moves by distance + 64, the low by distance.
__attribute__((target("pclmul,ssse3"))) inline __m128i fold(__m128i value, __m128i factors)
{
    return _mm_xor_si128(_mm_clmulepi64_si128(value, factors, 0x11),
                         _mm_clmulepi64_si128(value, factors, 0x00));
}

__attribute__((target("pclmul,ssse3"))) uint32_t finishFold(__m128i r, const uint8_t* data,
                                                            size_t count);

// Four running remainders, 64 bytes apart, each congruent to its share of the message; they
// are folded into one, whose 16 bytes have the message's checksum (the start value already
// went into the first four bytes).
__attribute__((target("pclmul,ssse3"))) uint32_t foldedCrc(const uint8_t* data, size_t count,
                                                           uint32_t crc)
{
    constexpr auto by128High = static_cast<int64_t>(xPowerModP(192));
    constexpr auto by128Low = static_cast<int64_t>(xPowerModP(128));
    constexpr auto by512High = static_cast<int64_t>(xPowerModP(576));
    constexpr auto by512Low = static_cast<int64_t>(xPowerModP(512));
    const __m128i by128 = _mm_set_epi64x(by128High, by128Low);
    const __m128i by512 = _mm_set_epi64x(by512High, by512Low);
    __m128i r0 = _mm_xor_si128(loadBlock(data), _mm_set_epi32(static_cast<int>(crc), 0, 0, 0));
    __m128i r1 = loadBlock(data + 16);
    __m128i r2 = loadBlock(data + 32);
    __m128i r3 = loadBlock(data + 48);
    data += 64;
    count -= 64;
    while (count >= 64) {
        r0 = _mm_xor_si128(fold(r0, by512), loadBlock(data));
        r1 = _mm_xor_si128(fold(r1, by512), loadBlock(data + 16));
        r2 = _mm_xor_si128(fold(r2, by512), loadBlock(data + 32));
        r3 = _mm_xor_si128(fold(r3, by512), loadBlock(data + 48));
        data += 64;
        count -= 64;
    }
    __m128i r = _mm_xor_si128(fold(r0, by128), r1);
    r = _mm_xor_si128(fold(r, by128), r2);
    r = _mm_xor_si128(fold(r, by128), r3);
    return finishFold(r, data, count);
}

// The remainder r of everything before data, folded on through the last count bytes.
__attribute__((target("pclmul,ssse3"))) uint32_t finishFold(__m128i r, const uint8_t* data,
                                                            size_t count)
{
    constexpr auto by128High = static_cast<int64_t>(xPowerModP(192));
    constexpr auto by128Low = static_cast<int64_t>(xPowerModP(128));
    const __m128i by128 = _mm_set_epi64x(by128High, by128Low);
    while (count >= 16) {
        r = _mm_xor_si128(fold(r, by128), loadBlock(data));
        data += 16;
        count -= 16;
    }
    uint8_t bytes[16];
    const __m128i reverse = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(bytes), _mm_shuffle_epi8(r, reverse));
    return slicedCrc(data, count, slicedCrc(bytes, 16, 0));
}

#define ZEP_WIDE_CLMUL_TARGET "avx512f,avx512bw,vpclmulqdq,pclmul,ssse3"

// The same with four 64-byte registers, each four remainders wide: 256 bytes a round. At the
// end the registers fold into one, and its four lanes into one 16-byte remainder.
__attribute__((target(ZEP_WIDE_CLMUL_TARGET))) inline __m512i wideFold(__m512i value,
                                                                       __m512i factors)
{
    return _mm512_xor_si512(_mm512_clmulepi64_epi128(value, factors, 0x11),
                            _mm512_clmulepi64_epi128(value, factors, 0x00));
}

template <int distance> __attribute__((target(ZEP_WIDE_CLMUL_TARGET))) inline __m512i wideFactors()
{
    constexpr auto high = static_cast<long long>(xPowerModP(distance + 64));
    constexpr auto low = static_cast<long long>(xPowerModP(distance));
    return _mm512_set_epi64(high, low, high, low, high, low, high, low);
}

// Four 16-byte blocks, each read as loadBlock reads one.
__attribute__((target(ZEP_WIDE_CLMUL_TARGET))) inline __m512i load(const uint8_t* at)
{
    const long long low = 0x08090A0B0C0D0E0F;  // bytes 15 down to 8, then 7 down to 0
    const long long high = 0x0001020304050607;
    const __m512i reverse = _mm512_set_epi64(high, low, high, low, high, low, high, low);
    return _mm512_shuffle_epi8(_mm512_loadu_si512(at), reverse);
}

__attribute__((target(ZEP_WIDE_CLMUL_TARGET))) uint32_t wideFoldedCrc(const uint8_t* data,
                                                                      size_t count, uint32_t crc)
{
    const __m512i by2048 = wideFactors<2048>();
    const __m512i by512 = wideFactors<512>();
    // The start value goes into the message's first four bytes, the top of lane 0.
    __m512i r0 = _mm512_xor_si512(load(data), _mm512_set_epi32(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                               static_cast<int>(crc), 0, 0, 0));
    __m512i r1 = load(data + 64);
    __m512i r2 = load(data + 128);
    __m512i r3 = load(data + 192);
    data += 256;
    count -= 256;
    while (count >= 256) {
        r0 = _mm512_xor_si512(wideFold(r0, by2048), load(data));
        r1 = _mm512_xor_si512(wideFold(r1, by2048), load(data + 64));
        r2 = _mm512_xor_si512(wideFold(r2, by2048), load(data + 128));
        r3 = _mm512_xor_si512(wideFold(r3, by2048), load(data + 192));
        data += 256;
        count -= 256;
    }
    __m512i r = _mm512_xor_si512(wideFold(r0, by512), r1);
    r = _mm512_xor_si512(wideFold(r, by512), r2);
    r = _mm512_xor_si512(wideFold(r, by512), r3);
    while (count >= 64) {
        r = _mm512_xor_si512(wideFold(r, by512), load(data));
        data += 64;
        count -= 64;
    }
    // Lane 0 holds the earliest 16 bytes: it moves 48 bytes on, lane 1 32, lane 2 16.
    alignas(64) __m128i lanes[4];
    _mm512_store_si512(lanes, r);
    constexpr int64_t by384High = static_cast<int64_t>(xPowerModP(448));
    constexpr int64_t by384Low = static_cast<int64_t>(xPowerModP(384));
    constexpr int64_t by256High = static_cast<int64_t>(xPowerModP(320));
    constexpr int64_t by256Low = static_cast<int64_t>(xPowerModP(256));
    constexpr int64_t by128High = static_cast<int64_t>(xPowerModP(192));
    constexpr int64_t by128Low = static_cast<int64_t>(xPowerModP(128));
    __m128i folded = _mm_xor_si128(fold(lanes[0], _mm_set_epi64x(by384High, by384Low)),
                                   fold(lanes[1], _mm_set_epi64x(by256High, by256Low)));
    folded = _mm_xor_si128(folded, fold(lanes[2], _mm_set_epi64x(by128High, by128Low)));
    return finishFold(_mm_xor_si128(folded, lanes[3]), data, count);
}
#endif

}  // namespace

uint32_t crcBlock(const uint8_t* data, size_t count, uint32_t crc)
{
#ifdef ZEP_X86_VECTORS
    if (count >= 1024 && cpuFeatures().wideClmul)
        return wideFoldedCrc(data, count, crc);
    if (count >= 128 && cpuFeatures().clmul)
        return foldedCrc(data, count, crc);
#endif
    return slicedCrc(data, count, crc);
}

}  // namespace zep
