// The progress line of a create that works in phases whose costs are known only roughly, and
// some only once the phases before them are done: each phase takes the share of what is left
// of the line that its estimated cost has of the estimated cost of everything left. A wrong
// estimate changes the pace of the line, never its order: it neither goes back nor jumps. It
// stops short of 100, which the record's frame shows once the record is on disk.
#pragma once
#include "common/progress.h"

#include <cstdint>

namespace zep {

class PhasedProgress {
  public:
    // Shows 0 at once.
    explicit PhasedProgress(Progress& progress);
    // Starts a phase of the given estimated cost, with later the estimated cost of the phases
    // still to come after it; the previous phase counts as done.
    void begin(uint64_t cost, uint64_t later);
    // Shows done units of the current phase's cost (more counts as all of it).
    void show(uint64_t done);
    // A meter for a lower layer's work, spread over the current phase's units [from, to).
    WorkMeter meter(uint64_t from, uint64_t to);
    uint64_t cost() const
    {
        return cost_;
    }

  private:
    static constexpr uint64_t kLine = uint64_t{1} << 32;  // the whole line in Progress units
    static constexpr int kFractionBits = 20;

    Progress& progress_;
    uint64_t at_ = 0;          // shown so far, in line units
    uint64_t phaseStart_ = 0;  // in line units
    uint64_t share_ = 0;       // the current phase's part of the line
    uint64_t cost_ = 1;        // the current phase's estimated cost
};

}  // namespace zep
