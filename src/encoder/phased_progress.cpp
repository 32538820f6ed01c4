// Phases' shares of the progress line, in integer arithmetic: a fraction of a phase is taken to
// 20 bits before it scales the phase's share.
#include "encoder/phased_progress.h"

#include <algorithm>

namespace zep {

PhasedProgress::PhasedProgress(Progress& progress) : progress_(progress)
{
    progress_.start(kLine);
    progress_.showDone(0);
}

void PhasedProgress::begin(uint64_t cost, uint64_t later)
{
    phaseStart_ = at_;
    cost_ = std::max<uint64_t>(cost, 1);
    const uint64_t left = kLine - at_;
    // The units stay below 2^44 for any pair of 32-bit sizes, so the product stays in 64 bits.
    const uint64_t fraction = (cost_ << kFractionBits) / (cost_ + later);
    share_ = (left * fraction) >> kFractionBits;
}

void PhasedProgress::show(uint64_t done)
{
    const uint64_t fraction = (std::min(done, cost_) << kFractionBits) / cost_;
    // 100 is left to the record's frame, once the record is on disk.
    at_ = std::min(std::max(at_, phaseStart_ + ((share_ * fraction) >> kFractionBits)), kLine - 1);
    progress_.showDone(at_);
}

WorkMeter PhasedProgress::meter(uint64_t from, uint64_t to)
{
    return [this, from, to](uint64_t done, uint64_t total) {
        const uint64_t fraction =
            (std::min(done, total) << kFractionBits) / std::max<uint64_t>(total, 1);
        show(from + (((to - from) * fraction) >> kFractionBits));
    };
}

}  // namespace zep
