// The encoder's tuning values: a create's options, passed to the searches that read them. The
// adjustable ones are signed: option values are stored as typed.
#pragma once
#include <cstdint>

namespace zep {

constexpr int32_t blockSize = 15;      // window of a similarity score, step of the block search
constexpr int32_t deepThreshold = 68;  // acceptance threshold while the block search runs

struct Tuning {
    int32_t searchRange = 47;     // -S: shifts tried per side by the near search
    int32_t matchThreshold = 65;  // -M: acceptance threshold of the near search, percent
    int32_t deepSearch = 1;       // -B sets 0: no block search when the near search fails
    int32_t wholeFileSearch = 0;  // -W sets 1: create searches the whole source instead
    int32_t compact = 0;          // -Z sets 1: the record's stream is stored in compact form
};

}  // namespace zep
