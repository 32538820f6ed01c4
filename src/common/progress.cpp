// Progress line. Percentages are formed in 64-bit arithmetic so that they stay within 0-100
// for any pair of 32-bit sizes.
#include "common/progress.h"

#include <algorithm>
#include <cstdio>

namespace {

uint64_t progressTotal = 1;
int64_t lastPercent = -1;

uint64_t percentOf(uint64_t done)
{
    return done * 100 / progressTotal;
}

void printPercent(uint64_t percent)
{
    if (static_cast<int64_t>(percent) == lastPercent)
        return;
    lastPercent = static_cast<int64_t>(percent);
    std::fprintf(stderr, "%02ld%%\r", static_cast<long>(percent));
}

}  // namespace

void startProgress(uint64_t total)
{
    progressTotal = total == 0 ? 1 : total;
    lastPercent = -1;
}

void showProgress(uint32_t sourceRemaining, uint32_t destRemaining)
{
    printPercent(percentOf(progressTotal - sourceRemaining - destRemaining));
}

void showProgressSteps(uint32_t sourceRemaining, uint32_t destRemaining, uint64_t count,
                       uint64_t stride)
{
    const uint64_t first = progressTotal - sourceRemaining - destRemaining;
    uint64_t step = 0;
    while (step < count) {
        const uint64_t percent = percentOf(first + step * stride);
        printPercent(percent);
        if (percent >= 100 || stride == 0)
            return;
        // The first step whose done count reaches the next percentage.
        const uint64_t nextDone = ((percent + 1) * progressTotal + 99) / 100;
        const uint64_t nextStep = (nextDone - first + stride - 1) / stride;
        step = std::max(step + 1, nextStep);
    }
}
