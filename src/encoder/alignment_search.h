// How the destination at the current position relates to the source at the current position:
// the similarity of two 15-byte windows, the near search over shifts of up to the search range - 1
// bytes on either side, the block search over shifts of 1 to 29 whole blocks, and how far two
// stretches are equal. Each comes as a straightforward reference and as a fast version that
// gives the same result every time; the fast versions use the widest vectors that cpuFeatures()
// allows.
#pragma once
#include <cstdint>

namespace zep {

struct NearMatch {
    bool found = false;
    int32_t score = 0;        // 0-100
    uint32_t sourceSkip = 0;  // the match starts this many source bytes on (bytes dropped)
    uint32_t destSkip = 0;    // ... or this many destination bytes on (bytes new)
};

struct BlockMatch {
    bool found = false;
    int32_t score = 0;
    uint32_t sourceSteps = 0;  // whole blocks; both 0 means: encode one block as differences
    uint32_t destSteps = 0;
};

// Percentage of equal bytes at equal offsets over the shorter of blockSize and both remaining
// counts; both counts are at least 1.
int32_t similarity(const uint8_t* a, uint32_t aRemaining, const uint8_t* b, uint32_t bRemaining);
int32_t fastSimilarity(const uint8_t* a, uint32_t aRemaining, const uint8_t* b,
                       uint32_t bRemaining);

// How far the near search looks: shifts tried on each side, and the score (percent) a match
// must reach.
struct SearchLimits {
    int32_t range;
    int32_t threshold;
};

NearMatch alignSearch(const SearchLimits& limits, const uint8_t* source, uint32_t sourceRemaining,
                      const uint8_t* dest, uint32_t destRemaining);
NearMatch fastAlignSearch(const SearchLimits& limits, const uint8_t* source,
                          uint32_t sourceRemaining, const uint8_t* dest, uint32_t destRemaining);

// Equal bytes at the front of a and b, up to limit; equalPrefix's answer, 16 bytes a step where
// the CPU allows.
uint32_t fastEqualPrefix(const uint8_t* a, const uint8_t* b, uint32_t limit);

// The near searches of the block search accept from deepThreshold; the best of them must
// still reach the limits' own threshold.
BlockMatch deepAlignSearch(const SearchLimits& limits, const uint8_t* source,
                           uint32_t sourceRemaining, const uint8_t* dest, uint32_t destRemaining);
BlockMatch fastDeepAlignSearch(const SearchLimits& limits, const uint8_t* source,
                               uint32_t sourceRemaining, const uint8_t* dest,
                               uint32_t destRemaining);

}  // namespace zep
