// The whole-file encoder: a hash index of every 12-byte window of the source, exact matches for
// the destination found anywhere in it, the heaviest chain of them whose positions increase in
// both files, gaps between them spent by size, and one emitter that both measures and writes
// instructions, so the measured size is the written size.
#include "encoder/whole_file_encoder.h"

#include "common/byte_order.h"
#include "common/checksum.h"
#include "common/output_buffer.h"
#include "common/progress.h"
#include "encoder/alignment_search.h"
#include "encoder/delta_encoder.h"
#include "encoder/stream_sink.h"
#include "format/group_encoding.h"
#include "format/instruction_stream.h"
#include "format/record_header.h"

#include <algorithm>
#include <bit>
#include <new>

namespace {

constexpr uint32_t kWindow = 12;       // bytes hashed per source position
constexpr uint32_t kMinMatch = 12;     // shorter exact matches are not worth a jump
constexpr uint32_t kLookupStride = 2;  // destination positions apart looked up in the index
constexpr uint32_t kChainSteps = 16;   // index entries looked at per destination position
constexpr uint32_t kLinkSpan = 65536;  // farthest matches on one diagonal weighed as a pair
constexpr uint32_t kLinkWork = 16;     // gap bytes weighed per destination byte, at most
constexpr uint32_t kNone = UINT32_MAX;

// Turns steps into instructions. Equal stretches on a diagonal become copy runs, merged across
// steps until something else is written; a 15-byte group with one changed byte becomes a poke,
// with more a difference block. A group instruction always covers 15 positions unless a file
// ends first, so a shorter changed group (never written by the planner) is spelled out as an
// insert and a skip.
template <StreamSink Sink> class Emitter {
  public:
    Emitter(Sink& sink, const uint8_t* source, uint32_t sourceSize, const uint8_t* dest,
            uint32_t destSize, uint32_t sourceAt, uint32_t destAt)
        : sink_(sink), source_(source), dest_(dest), sourceSize_(sourceSize), destSize_(destSize),
          sourceAt_(sourceAt), destAt_(destAt)
    {
    }

    void run(const WholeFileStep& step)
    {
        if constexpr (Sink::kWrites)
            showProgress(sourceSize_ - sourceAt_, destSize_ - destAt_);
        switch (step.kind) {
        case WholeFileStep::SKIP:
            skip(step.length);
            break;
        case WholeFileStep::INSERT:
            insert(step.length);
            break;
        case WholeFileStep::DIAGONAL:
            diagonal(step.length);
            break;
        case WholeFileStep::REGION:
            replayDiagonal();
            flushCopy();
            // The planner measured the region already; only writing it runs the encoder.
            if constexpr (Sink::kWrites)
                encodeRegion(sink_.file(), source_ + step.sourceAt, step.length,
                             dest_ + step.destAt, step.destLength);
            else
                sink_.add(step.cost);
            sourceAt_ += step.length;
            destAt_ += step.destLength;
            break;
        }
    }

    void skip(uint32_t count)
    {
        if (count == 0)
            return;
        replayDiagonal();
        flushCopy();
        sink_.token(count, OP_SKIP);
        sourceAt_ += count;
    }

    void insert(uint32_t count)
    {
        if (count == 0)
            return;
        replayDiagonal();
        flushCopy();
        sink_.token(count, OP_INSERT);
        sink_.data(dest_ + destAt_, count);
        destAt_ += count;
    }

    // Diagonal stretches that follow each other are replayed as one, so that their groups run
    // on across the joins.
    void diagonal(uint32_t length)
    {
        diagonal_ += length;
    }

    void finish()
    {
        replayDiagonal();
        flushCopy();
    }

  private:
    void replayDiagonal()
    {
        uint32_t length = diagonal_;
        diagonal_ = 0;
        while (length != 0) {
            const uint8_t* s = source_ + sourceAt_;
            const uint8_t* d = dest_ + destAt_;
            // Whole equal groups at once.
            const uint32_t equal = fastEqualPrefix(s, d, length);
            if (equal >= 15 || equal == length) {
                const uint32_t groups = equal == length ? equal : equal - equal % 15;
                copy_ += groups;
                advance(groups);
                length -= groups;
                continue;
            }
            const uint32_t group = std::min(15u, length);
            const uint32_t readable = std::min(sourceSize_ - sourceAt_, destSize_ - destAt_);
            const uint32_t positions = std::min(15u, readable);
            if (group != positions) {
                insert(group);
                skip(group);
                length -= group;
                continue;
            }
            uint8_t bytes[kGroupRoom];
            const uint32_t size = encodeGroup(s, d, group, readable, bytes);
            flushCopy();
            sink_.data(bytes, size);
            advance(group);
            length -= group;
        }
    }

    void advance(uint32_t count)
    {
        sourceAt_ += count;
        destAt_ += count;
    }
    void flushCopy()
    {
        if (copy_ == 0)
            return;
        sink_.token(copy_, OP_COPY);
        copy_ = 0;
    }

    Sink& sink_;
    const uint8_t* source_;
    const uint8_t* dest_;
    uint32_t sourceSize_;
    uint32_t destSize_;
    uint32_t sourceAt_;
    uint32_t destAt_;
    uint32_t copy_ = 0;
    uint32_t diagonal_ = 0;  // not yet replayed
};

class Planner {
  public:
    Planner(const uint8_t* source, uint32_t sourceSize, const uint8_t* dest, uint32_t destSize,
            WholeFilePlan& plan)
        : source_(source), dest_(dest), sourceSize_(sourceSize), destSize_(destSize), plan_(plan)
    {
    }

    void indexSource()
    {
        const uint32_t positions = sourceSize_ >= kWindow ? sourceSize_ - kWindow + 1 : 0;
        // At most one head per two positions: with the chain links and the filter below, at
        // most 7 bytes per source byte.
        bits_ = 10;
        while (bits_ < 30 && (uint64_t{1} << (bits_ + 1)) <= positions)
            ++bits_;
        head_.assign(size_t{1} << bits_, kNone);
        next_.assign(positions, kNone);
        // Eight bits per source byte (8 MiB at most), set for the windows present, answer most
        // lookups of windows the source does not have without touching the chains.
        presentBits_ = std::min(bits_ + 4, 26u);
        present_.assign((size_t{1} << presentBits_) / 64, 0);
        // Back to front, so that every chain runs in increasing positions from its first.
        for (uint32_t p = positions; p-- > 0;) {
            if (p >= 16) {
                const uint64_t ahead = mix(source_ + p - 16);
                __builtin_prefetch(&head_[bucket(ahead)], 1);
                __builtin_prefetch(&present_[presentBit(ahead) / 64], 1);
            }
            const uint64_t mixed = mix(source_ + p);
            const uint32_t h = bucket(mixed);
            next_[p] = head_[h];
            head_[h] = p;
            const uint64_t bit = presentBit(mixed);
            present_[bit / 64] |= uint64_t{1} << (bit % 64);
        }
    }

    // Destination stretches of at least kMinMatch bytes that equal a source stretch anywhere in
    // the source, left to right, the longest at each position (the continuation of the last
    // match's diagonal among the candidates); the index is released afterwards.
    void collectMatches()
    {
        uint32_t d = 0;
        uint32_t covered = 0;   // end of the last match in the destination
        uint64_t diagonal = 0;  // source position minus destination position of the last match
        while (d + kWindow <= destSize_) {
            uint32_t bestP = 0;
            uint32_t bestD = 0;
            uint32_t bestLength = 0;
            // Positions are looked up kLookupStride apart until a match turns up, so a match may
            // start up to a stride before the position where it is found.
            const uint32_t reach = std::min(d - covered, kLookupStride - 1);
            const auto consider = [&](uint32_t p) {
                uint32_t back = 0;
                while (back < reach && back < p && source_[p - back - 1] == dest_[d - back - 1])
                    ++back;
                const uint32_t length = back + matchLength(p, d);
                if (length > bestLength) {
                    bestLength = length;
                    bestP = p - back;
                    bestD = d - back;
                }
            };
            if (d + diagonal < sourceSize_)
                consider(static_cast<uint32_t>(d + diagonal));
            // Most lookups miss the caches; while no match turns up, the positions ahead are
            // known, so their filter bits, buckets and first entries are fetched in advance.
            constexpr size_t kAhead = size_t{4} * kLookupStride;  // positions per stage
            if (d + 3 * kAhead + kWindow <= destSize_) {
                __builtin_prefetch(&present_[presentBit(mix(dest_ + d + 3 * kAhead)) / 64]);
                const uint64_t far = mix(dest_ + d + 2 * kAhead);
                if (isPresent(far))
                    __builtin_prefetch(&head_[bucket(far)]);
                const uint64_t near = mix(dest_ + d + kAhead);
                if (isPresent(near)) {
                    const uint32_t ahead = head_[bucket(near)];
                    if (ahead != kNone) {
                        __builtin_prefetch(source_ + ahead);
                        __builtin_prefetch(&next_[ahead]);
                    }
                }
            }
            const uint64_t mixed = mix(dest_ + d);
            if (isPresent(mixed)) {
                uint32_t p = head_[bucket(mixed)];
                for (uint32_t steps = 0; p != kNone && steps < kChainSteps; ++steps, p = next_[p])
                    consider(p);
            }
            if (bestLength < kMinMatch) {
                d += kLookupStride;
                continue;
            }
            matches_.push_back({bestP, bestD, bestLength});
            diagonal = bestP - uint64_t{bestD};
            d = covered = bestD + bestLength;
        }
        std::vector<uint32_t>().swap(head_);
        std::vector<uint32_t>().swap(next_);
        std::vector<uint64_t>().swap(present_);
    }

    // Heaviest chain by a Fenwick tree of prefix maxima over the matches' source ends: each
    // match extends the best chain that ends in the source at or before its start, or the
    // chain of the match before it on its diagonal together with the gap between them.
    void chainMatches()
    {
        std::vector<uint32_t> ends(matches_.size());
        std::transform(matches_.begin(), matches_.end(), ends.begin(),
                       [](const Match& match) { return match.sourceAt + match.length; });
        std::sort(ends.begin(), ends.end());
        ends.erase(std::unique(ends.begin(), ends.end()), ends.end());
        struct Best {
            int64_t weight = 0;
            uint32_t match = kNone;
        };
        // The match before each one on its own diagonal, if any.
        std::vector<uint32_t> sameDiagonal(matches_.size());
        for (uint32_t j = 0; j < matches_.size(); ++j)
            sameDiagonal[j] = j;
        const auto diagonalOf = [&](uint32_t j) {
            return matches_[j].sourceAt - uint64_t{matches_[j].destAt};
        };
        std::stable_sort(sameDiagonal.begin(), sameDiagonal.end(),
                         [&](uint32_t a, uint32_t b) { return diagonalOf(a) < diagonalOf(b); });
        std::vector<uint32_t> previous(matches_.size(), kNone);
        for (uint32_t k = 1; k < sameDiagonal.size(); ++k)
            if (diagonalOf(sameDiagonal[k - 1]) == diagonalOf(sameDiagonal[k]))
                previous[sameDiagonal[k]] = sameDiagonal[k - 1];
        std::vector<uint32_t>().swap(sameDiagonal);

        std::vector<Best> tree(ends.size() + 1);
        std::vector<int64_t> weights(matches_.size());
        uint64_t linkWork = uint64_t{kLinkWork} * destSize_;
        Best heaviest;
        for (uint32_t j = 0; j < matches_.size(); ++j) {
            const Match& match = matches_[j];
            Best before;
            for (size_t i =
                     std::upper_bound(ends.begin(), ends.end(), match.sourceAt) - ends.begin();
                 i > 0; i &= i - 1)
                if (tree[i].match != kNone && tree[i].weight > before.weight)
                    before = tree[i];
            // A match after another on the same diagonal can keep the differences between them
            // as groups; what they save over inserting counts with the pair.
            const uint32_t same = previous[j];
            if (same != kNone && match.destAt - matches_[same].destAt <= kLinkSpan &&
                linkWork >= match.destAt - matches_[same].destAt) {
                const Match& last = matches_[same];
                const uint32_t gap = match.destAt - last.destAt - last.length;
                int64_t saved = 0;
                for (uint32_t at = 0; at < gap; at += 15) {
                    const uint32_t length = std::min(15u, gap - at);
                    saved += static_cast<int64_t>(length) -
                             groupCost(source_ + last.sourceAt + last.length + at,
                                       dest_ + last.destAt + last.length + at, length);
                }
                linkWork -= match.destAt - last.destAt;
                const int64_t weight = weights[same] + saved;
                if (weight >= before.weight)
                    before = {weight, same};
            }
            const Best here{before.weight + match.length, j};
            weights[j] = here.weight;
            previous[j] = before.match;
            if (here.weight > heaviest.weight)
                heaviest = here;
            for (size_t i =
                     std::lower_bound(ends.begin(), ends.end(), match.sourceAt + match.length) -
                     ends.begin() + 1;
                 i <= ends.size(); i += i & (~i + 1))
                if (tree[i].match == kNone || here.weight > tree[i].weight)
                    tree[i] = here;
        }
        std::vector<Match> chain;
        for (uint32_t j = heaviest.match; j != kNone; j = previous[j])
            chain.push_back(matches_[j]);
        std::reverse(chain.begin(), chain.end());
        matches_.swap(chain);
    }

    void walk()
    {
        for (const Match& match : matches_) {
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
        tail();
    }

  private:
    // The window's hash; its bytes are read in one order on every machine, so that every
    // machine finds the same candidates and writes the same record.
    static uint64_t mix(const uint8_t* at)
    {
        return (loadLe64(at) ^ (uint64_t{loadLe32(at + 8)} * 0xC2B2AE3D27D4EB4Full)) *
               0x9E3779B97F4A7C15ull;
    }
    uint32_t bucket(uint64_t mixed) const
    {
        return static_cast<uint32_t>(mixed >> (64 - bits_));
    }
    // The filter takes its bits from the other end of the mix than the bucket.
    uint64_t presentBit(uint64_t mixed) const
    {
        return (mixed >> 8) & ((uint64_t{1} << presentBits_) - 1);
    }
    bool isPresent(uint64_t mixed) const
    {
        const uint64_t bit = presentBit(mixed);
        return (present_[bit / 64] >> (bit % 64)) & 1;
    }

    uint32_t matchLength(uint32_t p, uint32_t d) const
    {
        return fastEqualPrefix(source_ + p, dest_ + d, std::min(sourceSize_ - p, destSize_ - d));
    }

    template <StreamSink Sink>
    Emitter<Sink> emitterAt(Sink& sink, uint32_t sourceAt, uint32_t destAt) const
    {
        return Emitter<Sink>(sink, source_, sourceSize_, dest_, destSize_, sourceAt, destAt);
    }

    // How a gap between the current positions and a diagonal that starts at (p, d) is spent:
    // its first head bytes replayed as differences on the current diagonal, its last tail bytes
    // on the coming one, and the rest of each file's gap skipped or inserted.
    struct Cut {
        uint32_t head = 0;
        uint32_t tail = 0;
    };

    // Exact stream bytes of a cut and the first following bytes of the coming diagonal.
    uint64_t cutCost(uint32_t p, uint32_t d, Cut cut, uint32_t following) const
    {
        CountingSink sink;
        Emitter<CountingSink> emitter = emitterAt(sink, sourceAt_, destAt_);
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
        const uint32_t groups = (narrow + 14) / 15;
        // Inserting costs the bytes and a token or two, paid once whatever the middle's size.
        const int64_t middleTokens = 4;
        // tailCosts_[j]: groups j and on replayed on the coming diagonal, less their bytes.
        tailCosts_.assign(groups + 1, 0);
        for (uint32_t j = groups; j-- > 0;) {
            const uint32_t at = 15 * j;
            const uint32_t length = std::min(15u, narrow - at);
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
                best = {std::min(narrow, 15 * bestHeadEnd), narrow - std::min(narrow, 15 * j)};
            }
            if (j == groups)
                break;
            const uint32_t at = 15 * j;
            const uint32_t length = std::min(15u, narrow - at);
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
            Emitter<CountingSink> emitter = emitterAt(sink, p, d);
            emitter.diagonal(following);
            emitter.finish();
            return sink.bytes();
        }();
        const uint64_t region =
            measureRegion(source_ + sourceAt_, sourceGap, dest_ + destAt_, destGap);
        if (region + matchCost >= asCut)
            return false;
        plan_.steps.push_back({WholeFileStep::REGION, sourceAt_, destAt_, sourceGap, destGap,
                               static_cast<uint32_t>(region)});
        sourceAt_ = p;
        destAt_ = d;
        return true;
    }

    void add(WholeFileStep::Kind kind, uint32_t length)
    {
        if (length == 0)
            return;
        plan_.steps.push_back({kind, sourceAt_, destAt_, length, 0, 0});
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

    // What is left of both files; the source is always passed over to its end, so that its
    // checksum covers the whole file.
    void tail()
    {
        spendGap(sourceSize_, destSize_, 0);
    }

    const uint8_t* source_;
    const uint8_t* dest_;
    uint32_t sourceSize_;
    uint32_t destSize_;
    WholeFilePlan& plan_;
    uint32_t sourceAt_ = 0;
    uint32_t destAt_ = 0;
    uint32_t bits_ = 10;
    std::vector<uint32_t> head_;
    std::vector<uint32_t> next_;
    uint32_t presentBits_ = 0;
    std::vector<uint64_t> present_;
    struct Match {
        uint32_t sourceAt;
        uint32_t destAt;
        uint32_t length;
    };
    std::vector<Match> matches_;
    std::vector<int64_t> tailCosts_;
};

template <StreamSink Sink>
void emitPlan(Sink& sink, const WholeFilePlan& plan, const uint8_t* source, uint32_t sourceSize,
              const uint8_t* dest, uint32_t destSize)
{
    Emitter<Sink> emitter(sink, source, sourceSize, dest, destSize, 0, 0);
    for (const WholeFileStep& step : plan.steps)
        emitter.run(step);
    emitter.finish();
}

}  // namespace

bool planWholeFile(const uint8_t* source, uint32_t sourceSize, const uint8_t* dest,
                   uint32_t destSize, WholeFilePlan& plan)
{
    plan = WholeFilePlan{};
    try {
        Planner planner(source, sourceSize, dest, destSize, plan);
        planner.indexSource();
        planner.collectMatches();
        planner.chainMatches();
        planner.walk();
    } catch (const std::bad_alloc&) {
        plan = WholeFilePlan{};
        return false;
    }
    CountingSink counter;
    emitPlan(counter, plan, source, sourceSize, dest, destSize);
    plan.streamLength = counter.bytes();
    return true;
}

void writeWholeFileRecord(FileSlot& diff, const WholeFilePlan& plan, const uint8_t* source,
                          const uint8_t* dest)
{
    const uint32_t sourceSize = headerField32(HEADER_SOURCE_SIZE);
    const uint32_t destSize = headerField32(HEADER_DEST_SIZE);
    beginRecord(diff);
    WritingSink writer(diff);
    emitPlan(writer, plan, source, sourceSize, dest, destSize);
    // Every byte of both files is passed over once, in order.
    sourceCrc = crcBlock(source, sourceSize, sourceCrc);
    destCrc = crcBlock(dest, destSize, destCrc);
    completeRecord(diff);
    endRecord(diff);
}
