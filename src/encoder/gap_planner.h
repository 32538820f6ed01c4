// The whole-file plan between the matches: each match of the chain becomes a diagonal step, and
// the gap before it, and the rest of both files after the last one, is spent by encoded size:
// partly replayed as differences on the diagonals on either side, the rest skipped and
// inserted, or all of it left to the default encoder as one region.
#pragma once
#include "encoder/match_chain.h"
#include "encoder/whole_file_plan.h"

#include <cstdint>
#include <vector>

namespace zep {

// The steps that cover both files from their starts to their ends, the source always to its end,
// so that its checksum covers the whole file. Overlaps between neighbours of the chain are
// trimmed, and each match grows back over equal bytes before it.
std::vector<WholeFileStep> planSteps(const std::vector<Match>& chain, const uint8_t* source,
                                     uint32_t sourceSize, const uint8_t* dest, uint32_t destSize);

}  // namespace zep
