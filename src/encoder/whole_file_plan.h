// What the whole-file encoder plans before it writes: the steps that take both files from start
// to end, which the gap planner makes, the step emitter writes and the encoder measures.
#pragma once
#include <cstdint>
#include <vector>

namespace zep {

struct WholeFileStep {
    // REGION: a stretch of both files left to the specified encoder, which follows small shifts
    // that no exact match marks.
    enum Kind : uint8_t { SKIP, INSERT, DIAGONAL, REGION };
    Kind kind;
    uint32_t sourceAt;  // where the step starts in each file
    uint32_t destAt;
    uint32_t length;      // DIAGONAL: bytes of both files side by side; REGION: source bytes
    uint32_t destLength;  // REGION: destination bytes
    uint32_t cost;        // REGION: its stream bytes
};

struct WholeFilePlan {
    std::vector<WholeFileStep> steps;
    uint64_t streamLength = 0;  // exactly what writing the plan puts in the stream
};

}  // namespace zep
