// Progress. Percentages are formed in 64-bit arithmetic so that they stay within 0-100 for any
// pair of 32-bit sizes.
#include "common/progress.h"

#include <algorithm>

namespace zep {

uint64_t Progress::percentOf(uint64_t done) const
{
    return done * 100 / total_;
}

bool Progress::showsLastPercent(uint64_t done) const
{
    return done >= firstDone_ && done < nextDone_;
}

void Progress::reportFor(uint64_t done)
{
    if (showsLastPercent(done))
        return;
    const uint64_t percent = percentOf(done);
    firstDone_ = (percent * total_ + 99) / 100;
    nextDone_ = ((percent + 1) * total_ + 99) / 100;
    report_.progress(static_cast<int>(percent));
}

void Progress::start(uint64_t total)
{
    total_ = total == 0 ? 1 : total;
    firstDone_ = 1;
    nextDone_ = 0;
}

void Progress::show(uint32_t sourceRemaining, uint32_t destRemaining)
{
    reportFor(total_ - sourceRemaining - destRemaining);
}

void Progress::showSteps(uint32_t sourceRemaining, uint32_t destRemaining, uint64_t count,
                         uint64_t stride)
{
    const uint64_t first = total_ - sourceRemaining - destRemaining;
    if (count == 0 || (showsLastPercent(first) && first + (count - 1) * stride < nextDone_))
        return;
    uint64_t step = 0;
    while (step < count) {
        reportFor(first + step * stride);
        if (stride == 0 || nextDone_ > total_)
            return;  // 100 percent: no later step can show another value
        // Jump to the first step whose done count reaches the next percentage.
        const uint64_t reaching = (nextDone_ - first + stride - 1) / stride;
        step = std::max(step + 1, reaching);
    }
}

uint64_t Progress::quietFor(uint32_t sourceRemaining, uint32_t destRemaining) const
{
    const uint64_t done = total_ - sourceRemaining - destRemaining;
    return showsLastPercent(done) ? nextDone_ - done : 0;
}

}  // namespace zep
