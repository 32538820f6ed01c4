// Writing compact records of layout 3 (covers): the destination as literal bytes and covers,
// stretches that the source holds nearly as they are at any place, in seven pieces. Where the
// files are x86-64 code, the covers' differences may be taken against predicted branch and
// address fields (format/code_prediction.h), whichever gives the shorter record.
#pragma once
#include "common/progress.h"

#include <cstdint>
#include <vector>

namespace zep {

// A stretch of the destination that the source holds nearly as it is, at any place: the
// destination bytes [destPosition, destPosition + length) against the source bytes from
// sourcePosition on.
struct Cover {
    uint32_t sourcePosition = 0;
    uint32_t destPosition = 0;
    uint32_t length = 0;
};

// About how long packCovers takes, in nanoseconds on a machine of 2024: for a progress line.
uint64_t packingCost(const uint8_t* source, const uint8_t* dest, uint32_t destSize,
                     const std::vector<Cover>& covers);

// The stored form (layout 3) of a record that writes the destination as the covers (in
// destination order, not overlapping, each inside both files) and the literal bytes between and
// around them. No memory: Status::NO_MEMORY. The meter hears, on the calling thread, how far
// the packing is.
std::vector<uint8_t> packCovers(const uint8_t* source, uint32_t sourceSize, const uint8_t* dest,
                                uint32_t destSize, const std::vector<Cover>& covers,
                                const WorkMeter& meter = {});

}  // namespace zep
