// Progress line. Percentages are formed in 64-bit arithmetic so that they stay within 0-100
// for any pair of 32-bit sizes.
#include "common/progress.h"

#include "common/report.h"

#include <algorithm>
#include <cstdio>

namespace {

uint64_t progressTotal = 1;
// Done counts from firstDone up to, not including, nextDone show the percentage printed last;
// inside that range nothing is computed or printed.
uint64_t firstDone = 1;
uint64_t nextDone = 0;
bool silenced = false;

uint64_t percentOf(uint64_t done)
{
    return done * 100 / progressTotal;
}

bool showsLastPercent(uint64_t done)
{
    return done >= firstDone && done < nextDone;
}

void printFor(uint64_t done)
{
    // A silenced run counts its own bytes (a region of another encoder's record, a trial): it
    // must not move what the visible run printed last.
    if (silenced || showsLastPercent(done))
        return;
    const uint64_t percent = percentOf(done);
    firstDone = (percent * progressTotal + 99) / 100;
    nextDone = ((percent + 1) * progressTotal + 99) / 100;
    reportProgress(static_cast<int>(percent));
}

}  // namespace

void startProgress(uint64_t total)
{
    progressTotal = total == 0 ? 1 : total;
    firstDone = 1;
    nextDone = 0;
}

void showProgress(uint32_t sourceRemaining, uint32_t destRemaining)
{
    printFor(progressTotal - sourceRemaining - destRemaining);
}

void showProgressSteps(uint32_t sourceRemaining, uint32_t destRemaining, uint64_t count,
                       uint64_t stride)
{
    const uint64_t first = progressTotal - sourceRemaining - destRemaining;
    if (silenced || count == 0 ||
        (showsLastPercent(first) && first + (count - 1) * stride < nextDone))
        return;
    uint64_t step = 0;
    while (step < count) {
        printFor(first + step * stride);
        if (stride == 0 || nextDone > progressTotal)
            return;  // 100 percent: no later step can show another value
        // Jump to the first step whose done count reaches the next percentage.
        const uint64_t reaching = (nextDone - first + stride - 1) / stride;
        step = std::max(step + 1, reaching);
    }
}

uint64_t progressQuietFor(uint32_t sourceRemaining, uint32_t destRemaining)
{
    const uint64_t done = progressTotal - sourceRemaining - destRemaining;
    return showsLastPercent(done) ? nextDone - done : 0;
}

void silenceProgress(bool silent)
{
    silenced = silent;
}
