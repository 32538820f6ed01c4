// Exact matches of the destination anywhere in the source, and the heaviest chain of them whose
// positions increase in both files: the stretches a whole-file plan copies, in stream order.
#pragma once
#include "encoder/source_index.h"

#include <cstdint>
#include <vector>

namespace zep {

struct Match {
    uint32_t sourceAt;
    uint32_t destAt;
    uint32_t length;
};

// Destination stretches of at least 12 bytes that equal a source stretch anywhere in the source,
// left to right, the longest at each position (the continuation of the last match's diagonal
// among the candidates). Matches may overlap in the source, never in the destination.
std::vector<Match> collectMatches(const SourceIndex& index, const uint8_t* source,
                                  uint32_t sourceSize, const uint8_t* dest, uint32_t destSize);

// The matches, in destination order, whose positions increase in both files and whose lengths,
// with what keeping the gaps between neighbours on one diagonal as groups saves, weigh the most.
// Neighbours in the chain may still overlap; the planner trims them.
std::vector<Match> heaviestChain(const std::vector<Match>& matches, const uint8_t* source,
                                 const uint8_t* dest, uint32_t destSize);

}  // namespace zep
