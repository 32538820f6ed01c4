// CRC-32/MPEG-2 (polynomial 0x04C11DB7, most significant bit first, start 0xFFFFFFFF, no final
// XOR) and the three running checksums kept by create and apply. Values are stored and compared
// as computed, never inverted.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

namespace zep {

// The standard most-significant-bit-first table: entry i is i in the top byte of a zero
// register, shifted left eight times with the polynomial folded in.
extern const std::array<uint32_t, 256> crcTable;

constexpr uint32_t crcInit()
{
    return 0xFFFFFFFFu;
}
// The three checksums a create or an apply keeps while it runs.
struct RunningCrcs {
    uint32_t source = crcInit();  // every source byte passed over
    uint32_t dest = crcInit();    // every destination byte produced
    uint32_t stream = crcInit();  // every instruction-stream byte written or replayed
};

inline uint32_t crcUpdate(uint8_t byte, uint32_t crc)
{
    return (crc << 8) ^ crcTable[(crc >> 24) ^ byte];
}

// The value after feeding count bytes in order; the same however a buffer is split.
uint32_t crcBlock(const uint8_t* data, size_t count, uint32_t crc);

// Consumes count bytes of a side: folds them into the checksum, moves the cursor past them and
// counts them off. The caller passes only bytes that remain.
inline void crcAdvance(const uint8_t*& cursor, uint32_t& remaining, uint32_t& crc, uint32_t count)
{
    crc = crcBlock(cursor, count, crc);
    cursor += count;
    remaining -= count;
}

}  // namespace zep
