// Integers read from bytes in a stated byte order, whatever the machine's. The format's fields
// are little-endian; so is every multi-byte load whose value decides what the encoder writes
// (window hashes, where two stretches first differ), so that every machine writes the same
// records.
#pragma once
#include <bit>
#include <cstdint>

namespace zep {

inline uint32_t loadLe32(const uint8_t* p)
{
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

inline uint64_t loadLe64(const uint8_t* p)
{
    return uint64_t{loadLe32(p)} | uint64_t{loadLe32(p + 4)} << 32;
}

inline uint32_t loadBe32(const uint8_t* p)
{
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

// Equal bytes at the front of a and b, up to limit, compared 8 at a time: in a little-endian
// word byte i is bits 8i to 8i+7, so the lowest set bit of the XOR is in the first unequal byte.
inline uint32_t equalPrefix(const uint8_t* a, const uint8_t* b, uint32_t limit)
{
    uint32_t n = 0;
    for (; n + 8 <= limit; n += 8) {
        const uint64_t difference = loadLe64(a + n) ^ loadLe64(b + n);
        if (difference != 0)
            return n + static_cast<uint32_t>(std::countr_zero(difference)) / 8;
    }
    while (n < limit && a[n] == b[n])
        ++n;
    return n;
}

}  // namespace zep
