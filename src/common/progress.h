// The progress of one create or apply, as percentages handed to its report. A percentage is
// reported only when it differs from the one reported last, so a long run reports at most 101.
#pragma once
#include "common/report.h"

#include <cstdint>
#include <functional>

namespace zep {

// Told, on the calling thread, how much of a lower layer's work is done out of its total: it
// lets that layer show progress without knowing how the run's progress line is shared out.
// Empty where nobody watches.
using WorkMeter = std::function<void(uint64_t done, uint64_t total)>;

class Progress {
  public:
    explicit Progress(const Report& report) : report_(report) {}
    // Starts over for total = source size + destination size bytes (0 counts as 1).
    void start(uint64_t total);
    // Shows how far the run is, given the source and destination bytes that remain.
    void show(uint32_t sourceRemaining, uint32_t destRemaining);
    // Shows how far a run that counts its own units (start's total) is.
    void showDone(uint64_t done)
    {
        reportFor(done < total_ ? done : total_);
    }
    // The same as show at each of count steps, the first with the given remaining bytes, each
    // later one stride bytes further on in total; without a call per step.
    void showSteps(uint32_t sourceRemaining, uint32_t destRemaining, uint64_t count,
                   uint64_t stride);
    // Ends the progress line on the caller's console.
    void endLine() const
    {
        report_.line("\n");
    }
    // How many more bytes, in total, a run that has just shown its progress may move on before
    // show could report again (0 when it may report at once).
    uint64_t quietFor(uint32_t sourceRemaining, uint32_t destRemaining) const;

  private:
    uint64_t percentOf(uint64_t done) const;
    bool showsLastPercent(uint64_t done) const;
    void reportFor(uint64_t done);

    const Report& report_;
    uint64_t total_ = 1;
    // Done counts from firstDone_ up to, not including, nextDone_ show the percentage reported
    // last; inside that range nothing is computed or reported.
    uint64_t firstDone_ = 1;
    uint64_t nextDone_ = 0;
};

}  // namespace zep
