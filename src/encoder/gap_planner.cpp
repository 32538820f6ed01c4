// Spending a gap: the best cut on a grid of groups in one pass, weighed exactly through the
// counting emitter, against the whole gap as a region of the default encoder.
#include "encoder/gap_planner.h"

#include "encoder/delta_encoder.h"
#include "encoder/step_emitter.h"
#include "encoder/stream_sink.h"
#include "format/group_encoding.h"

#include <algorithm>

namespace zep {

namespace {

class GapPlanner {
  public:
    GapPlanner(const uint8_t* source, uint32_t sourceSize, const uint8_t* dest, uint32_t destSize,
               std::vector<WholeFileStep>& steps)
        : source_(source), dest_(dest), sourceSize_(sourceSize), destSize_(destSize), steps_(steps)
    {
    }

    void walk(const std::vector<Match>& chain)
    {
        for (const Match& match : chain) {
            uint32_t p = match.sourceAt;
            uint32_t d = match.destAt;
            uint32_t length = match.length;
            const uint32_t overlap =
                std::max(p < sourceAt_ ? sourceAt_ - p : 0u, d < destAt_ ? destAt_ - d : 0u);
            if (overlap >= length)
                continue;
            p += overlap;
            d += overlap;
            length -= overlap;
            while (p > sourceAt_ && d > destAt_ && source_[p - 1] == dest_[d - 1]) {
                --p;
                --d;
                ++length;
            }
            gapThenMatch(p, d, length);
        }
        // What is left of both files.
        spendGap(sourceSize_, destSize_, 0);
    }

  private:
    // How a gap between the current positions and a diagonal that starts at (p, d) is spent:
    // its first head bytes replayed as differences on the current diagonal, its last tail bytes
    // on the coming one, and the rest of each file's gap skipped or inserted.
    struct Cut {
        uint32_t head = 0;
        uint32_t tail = 0;
    };

    StepEmitter<CountingSink> emitterAt(CountingSink& sink, uint32_t sourceAt,
                                        uint32_t destAt) const
    {
        return {sink, source_, sourceSize_, dest_, destSize_, sourceAt, destAt};
    }

    // Exact stream bytes of a cut and the first following bytes of the coming diagonal.
    uint64_t cutCost(uint32_t p, uint32_t d, Cut cut, uint32_t following) const
    {
        CountingSink sink;
        StepEmitter<CountingSink> emitter = emitterAt(sink, sourceAt_, destAt_);
        emitter.diagonal(cut.head);
        emitter.skip(p - sourceAt_ - cut.head - cut.tail);
        emitter.insert(d - destAt_ - cut.head - cut.tail);
        emitter.diagonal(cut.tail + following);
        emitter.finish();
        return sink.bytes();
    }

    // The cut on one grid of 15-byte groups from the start of the shorter gap: its first groups
    // replayed on the current diagonal, its last ones on the coming one (shifted by the longer
    // gap's surplus), and the groups between, with the surplus, skipped and inserted. Each
    // group's cost is known for either diagonal, so the best pair of boundaries is one pass.
    Cut bestCut(uint32_t p, uint32_t d)
    {
        const uint32_t sourceGap = p - sourceAt_;
        const uint32_t destGap = d - destAt_;
        const uint32_t narrow = std::min(sourceGap, destGap);
        const uint32_t surplusSource = sourceGap - narrow;
        const uint32_t surplusDest = destGap - narrow;
        const uint32_t groups = (narrow + kGroupWidth - 1) / kGroupWidth;
        // Inserting costs the bytes and a token or two, paid once whatever the middle's size.
        const int64_t middleTokens = 4;
        // tailCosts_[j]: groups j and on replayed on the coming diagonal, less their bytes.
        tailCosts_.assign(groups + 1, 0);
        for (uint32_t j = groups; j-- > 0;) {
            const uint32_t at = kGroupWidth * j;
            const uint32_t length = std::min(kGroupWidth, narrow - at);
            tailCosts_[j] = tailCosts_[j + 1] - length +
                            groupCost(source_ + sourceAt_ + surplusSource + at,
                                      dest_ + destAt_ + surplusDest + at, length);
        }
        // With the middle as groups a to b: head(a) - a's bytes + tail(b) + middleTokens,
        // against narrow's bytes inserted in full; the best a up to each b is carried along.
        int64_t head = 0;      // groups before j on the current diagonal, less their bytes
        int64_t bestHead = 0;  // the least of head over the boundaries so far
        uint32_t bestHeadEnd = 0;
        Cut best{0, narrow};
        int64_t bestCost = tailCosts_[0];
        for (uint32_t j = 0; j <= groups; ++j) {
            // Middle from bestHeadEnd to j (empty when they are equal).
            const int64_t cost = bestHead + tailCosts_[j] + (bestHeadEnd < j ? middleTokens : 0);
            if (cost < bestCost) {
                bestCost = cost;
                best = {std::min(narrow, kGroupWidth * bestHeadEnd),
                        narrow - std::min(narrow, kGroupWidth * j)};
            }
            if (j == groups)
                break;
            const uint32_t at = kGroupWidth * j;
            const uint32_t length = std::min(kGroupWidth, narrow - at);
            head += static_cast<int64_t>(
                        groupCost(source_ + sourceAt_ + at, dest_ + destAt_ + at, length)) -
                    length;
            if (head < bestHead || (head == bestHead && bestHeadEnd == j)) {
                bestHead = head;
                bestHeadEnd = j + 1;
            }
        }
        return best;
    }

    // The gaps up to (p, d) as a region, when that is shorter than the cut.
    bool regionIsShorter(uint32_t p, uint32_t d, uint32_t following, Cut cut)
    {
        const uint32_t sourceGap = p - sourceAt_;
        const uint32_t destGap = d - destAt_;
        if (sourceGap == 0 || destGap == 0)
            return false;
        const uint64_t asCut = cutCost(p, d, cut, following);
        const uint64_t matchCost = [&] {
            CountingSink sink;
            StepEmitter<CountingSink> emitter = emitterAt(sink, p, d);
            emitter.diagonal(following);
            emitter.finish();
            return sink.bytes();
        }();
        const uint64_t region =
            measureRegion(source_ + sourceAt_, sourceGap, dest_ + destAt_, destGap);
        if (region + matchCost >= asCut)
            return false;
        steps_.push_back({WholeFileStep::REGION, sourceAt_, destAt_, sourceGap, destGap,
                          static_cast<uint32_t>(region)});
        sourceAt_ = p;
        destAt_ = d;
        return true;
    }

    void add(WholeFileStep::Kind kind, uint32_t length)
    {
        if (length == 0)
            return;
        steps_.push_back({kind, sourceAt_, destAt_, length, 0, 0});
        if (kind != WholeFileStep::INSERT)
            sourceAt_ += length;
        if (kind != WholeFileStep::SKIP)
            destAt_ += length;
    }

    void gapThenMatch(uint32_t p, uint32_t d, uint32_t length)
    {
        // The cut is weighed with a little of the match, where the groups may run on into it.
        const uint32_t following = std::min(length, 30u);
        spendGap(p, d, following);
        add(WholeFileStep::DIAGONAL, length);
    }

    void spendGap(uint32_t p, uint32_t d, uint32_t following)
    {
        const Cut cut = bestCut(p, d);
        if (regionIsShorter(p, d, following, cut))
            return;
        add(WholeFileStep::DIAGONAL, cut.head);
        add(WholeFileStep::SKIP, p - cut.tail - sourceAt_);
        add(WholeFileStep::INSERT, d - cut.tail - destAt_);
        add(WholeFileStep::DIAGONAL, cut.tail);
    }

    const uint8_t* source_;
    const uint8_t* dest_;
    uint32_t sourceSize_;
    uint32_t destSize_;
    std::vector<WholeFileStep>& steps_;
    uint32_t sourceAt_ = 0;
    uint32_t destAt_ = 0;
    std::vector<int64_t> tailCosts_;
};

}  // namespace

std::vector<WholeFileStep> planSteps(const std::vector<Match>& chain, const uint8_t* source,
                                     uint32_t sourceSize, const uint8_t* dest, uint32_t destSize)
{
    std::vector<WholeFileStep> steps;
    GapPlanner(source, sourceSize, dest, destSize, steps).walk(chain);
    return steps;
}

}  // namespace zep
