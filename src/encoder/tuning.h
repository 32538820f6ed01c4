// The encoder's tuning values. The command line sets the adjustable ones before any command
// runs; the searches read them at each use. All are signed: option values are stored as typed.
#pragma once
#include <cstdint>

constexpr int32_t blockSize = 15;      // window of a similarity score, step of the block search
constexpr int32_t deepThreshold = 68;  // acceptance threshold while the block search runs
extern int32_t searchRange;            // /S: shifts tried per side by the near search
extern int32_t matchThreshold;         // /M: acceptance threshold of the near search, percent
extern int32_t deepSearch;             // /B sets 0: no block search when the near search fails
extern int32_t wholeFileSearch;        // /W sets 1: create searches the whole source instead

// Puts the defaults back (47, 65, on, off); for tests that change the values.
void resetTuning();
