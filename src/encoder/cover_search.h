// The search behind records of covers: which stretches of the new file to write as covers
// (stretches that the old file holds nearly as they are, at any place, stored as their byte
// differences) and which as literal bytes.
#pragma once
#include "format/cover_writer.h"

#include <cstdint>
#include <vector>

namespace zep {

class PhasedProgress;

// Covers of the destination by the source, in destination order, not overlapping, each inside
// both files. The search runs in two threads where the destination is large enough; the covers
// are the same in one. No memory for the source's index: std::bad_alloc. Where progress is
// given, the calling thread shows the sort and the scan on it as two phases, with later the
// estimated cost of what follows them.
std::vector<Cover> findCovers(const uint8_t* source, uint32_t sourceSize, const uint8_t* dest,
                              uint32_t destSize, PhasedProgress* progress = nullptr,
                              uint64_t later = 0);

// The stored form of the smallest record of covers that the search finds: small destinations
// are also packed with no covers at all (literal bytes against the source, which serves text
// best), and the shorter of the two kept. The search and each packing are phases of progress,
// where given, with later as for findCovers; trialCost is that of what the caller does after
// them where the files are small or nearly alike.
std::vector<uint8_t> packSmallestCovers(const uint8_t* source, uint32_t sourceSize,
                                        const uint8_t* dest, uint32_t destSize,
                                        PhasedProgress* progress = nullptr, uint64_t later = 0,
                                        uint64_t trialCost = 0);

}  // namespace zep
