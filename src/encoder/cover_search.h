// The search behind records of covers: which stretches of the new file to write as covers
// (stretches that the old file holds nearly as they are, at any place, stored as their byte
// differences) and which as literal bytes.
#pragma once
#include "format/cover_writer.h"

#include <cstdint>
#include <vector>

namespace zep {

// Covers of the destination by the source, in destination order, not overlapping, each inside
// both files. The search runs in two threads where the destination is large enough; the covers
// are the same in one. No memory for the source's index: std::bad_alloc.
std::vector<Cover> findCovers(const uint8_t* source, uint32_t sourceSize, const uint8_t* dest,
                              uint32_t destSize);

// The stored form of the smallest record of covers that the search finds: small destinations
// are also packed with no covers at all (literal bytes against the source, which serves text
// best), and the shorter of the two kept.
std::vector<uint8_t> packSmallestCovers(const uint8_t* source, uint32_t sourceSize,
                                        const uint8_t* dest, uint32_t destSize);

}  // namespace zep
