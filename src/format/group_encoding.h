// Difference groups: 15 paired positions of source and destination (fewer where a file ends)
// written as one poke when exactly one position differs, else as one difference block. One
// definition for every encoder that writes groups and every planner that weighs them.
#pragma once
#include "format/instruction_stream.h"

#include <cstdint>

namespace zep {

// Room encodeGroup needs: the vector path stores 16 delta bytes behind the bitmap, one more
// than a group can hold.
constexpr uint32_t kGroupRoom = 2 + 16;

// Stream bytes of a group with the given number of changed positions: a poke (one-byte token
// and the delta) for one, a block (bitmap and deltas) for any other number.
constexpr uint32_t groupSize(uint32_t changes)
{
    return changes == 1 ? 2 : 2 + changes;
}

// Writes the group of the first width positions (1 to kGroupWidth) into bytes, which has
// kGroupRoom bytes of room, and returns its size. Where at least 16 bytes can be read at both
// source and dest (readable), a full group is compared in vector registers where the CPU
// allows; the bytes are the same either way.
uint32_t encodeGroup(const uint8_t* source, const uint8_t* dest, uint32_t width, uint32_t readable,
                     uint8_t* bytes);

inline uint32_t countChanges(const uint8_t* source, const uint8_t* dest, uint32_t width)
{
    uint32_t changes = 0;
    for (uint32_t k = 0; k < width; ++k)
        changes += source[k] != dest[k];
    return changes;
}

// What replaying a group as differences adds to a stream, for weighing plans: its size, but 1
// for an equal group, which only lengthens the copy run around it (a share of the copy token).
inline uint32_t groupCost(const uint8_t* source, const uint8_t* dest, uint32_t width)
{
    const uint32_t changes = countChanges(source, dest, width);
    return changes == 0 ? 1 : groupSize(changes);
}

}  // namespace zep
