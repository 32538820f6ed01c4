// The whole-file encoder: a hash index of every 8-byte window of the source, a greedy walk over
// the destination that keeps source and destination positions increasing, and one emitter that
// both measures and writes instructions, so the measured size is the written size.
#include "encoder/whole_file_encoder.h"

#include "common/checksum.h"
#include "common/output_buffer.h"
#include "common/progress.h"
#include "encoder/delta_encoder.h"
#include "format/instruction_stream.h"
#include "format/record_header.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

namespace {

constexpr uint32_t kWindow = 8;           // bytes hashed per source position
constexpr uint32_t kMinMatch = 16;        // shorter exact matches are not worth a jump
constexpr uint32_t kChainSteps = 16;      // index entries looked at per destination position
constexpr uint64_t kShortJump = 64;       // moves off the diagonal taken for any match
constexpr uint32_t kJumpMatch = 32;       // shortest match for a move up to
constexpr uint64_t kNearJump = 4096;      // ... this far
constexpr uint32_t kFarMatch = 256;       // ... and farther ones only for matches this long
constexpr uint32_t kMaxCutSearch = 1020;  // gap tails tried as differences, in steps of 15
constexpr uint32_t kNone = UINT32_MAX;

uint32_t tokenSize(uint32_t n)
{
    return n <= 15 ? 1 : n <= 2047 ? 2 : n <= 65535 ? 3 : 5;
}

uint64_t load64(const uint8_t* at)
{
    uint64_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// Equal bytes from the start of both, up to limit.
uint32_t equalPrefix(const uint8_t* a, const uint8_t* b, uint32_t limit)
{
    uint32_t n = 0;
    while (n + 8 <= limit) {
        const uint64_t difference = load64(a + n) ^ load64(b + n);
        if (difference != 0)
            return n + static_cast<uint32_t>(std::countr_zero(difference) / 8);
        n += 8;
    }
    while (n < limit && a[n] == b[n])
        ++n;
    return n;
}

struct CountingSink {
    uint64_t bytes = 0;
    void token(uint32_t n, uint8_t)
    {
        bytes += tokenSize(n);
    }
    void data(const uint8_t*, uint32_t count)
    {
        bytes += count;
    }
    void progress(uint32_t, uint32_t) {}
    void region(const WholeFileStep& step, const uint8_t*, const uint8_t*)
    {
        bytes += step.cost;
    }
};

struct WritingSink {
    FileSlot& diff;
    void token(uint32_t n, uint8_t op)
    {
        writeToken(diff, n, op);
    }
    void data(const uint8_t* bytes, uint32_t count)
    {
        writeStream(diff, bytes, count);
    }
    void progress(uint32_t sourceRemaining, uint32_t destRemaining)
    {
        showProgress(sourceRemaining, destRemaining);
    }
    void region(const WholeFileStep& step, const uint8_t* source, const uint8_t* dest)
    {
        encodeRegion(diff, source + step.sourceAt, step.length, dest + step.destAt,
                     step.destLength);
    }
};

// Turns steps into instructions. Equal stretches on a diagonal become copy runs, merged across
// steps until something else is written; a 15-byte group with one changed byte becomes a poke,
// with more a difference block. A group instruction always covers 15 positions unless a file
// ends first, so a shorter changed group (never written by the planner) is spelled out as an
// insert and a skip.
template <typename Sink> class Emitter {
  public:
    Emitter(Sink& sink, const uint8_t* source, uint32_t sourceSize, const uint8_t* dest,
            uint32_t destSize, uint32_t sourceAt, uint32_t destAt)
        : sink_(sink), source_(source), dest_(dest), sourceSize_(sourceSize), destSize_(destSize),
          sourceAt_(sourceAt), destAt_(destAt)
    {
    }

    void run(const WholeFileStep& step)
    {
        sink_.progress(sourceSize_ - sourceAt_, destSize_ - destAt_);
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
            flushCopy();
            sink_.region(step, source_, dest_);
            sourceAt_ += step.length;
            destAt_ += step.destLength;
            break;
        }
    }

    void skip(uint32_t count)
    {
        if (count == 0)
            return;
        flushCopy();
        sink_.token(count, OP_SKIP);
        sourceAt_ += count;
    }

    void insert(uint32_t count)
    {
        if (count == 0)
            return;
        flushCopy();
        sink_.token(count, OP_INSERT);
        sink_.data(dest_ + destAt_, count);
        destAt_ += count;
    }

    void diagonal(uint32_t length)
    {
        while (length != 0) {
            const uint8_t* s = source_ + sourceAt_;
            const uint8_t* d = dest_ + destAt_;
            // Whole equal groups at once.
            const uint32_t equal = equalPrefix(s, d, length);
            if (equal >= 15 || equal == length) {
                const uint32_t groups = equal == length ? equal : equal - equal % 15;
                copy_ += groups;
                advance(groups);
                length -= groups;
                continue;
            }
            const uint32_t group = std::min(15u, length);
            const uint32_t positions =
                std::min({15u, sourceSize_ - sourceAt_, destSize_ - destAt_});
            if (group != positions) {
                insert(group);
                skip(group);
                length -= group;
                continue;
            }
            uint32_t bitmap = 0;
            uint8_t bytes[2 + 15];
            uint32_t changed = 0;
            for (uint32_t k = 0; k < group; ++k)
                if (s[k] != d[k]) {
                    bitmap |= 1u << k;
                    bytes[2 + changed++] = static_cast<uint8_t>(d[k] - s[k]);
                }
            flushCopy();
            if (changed == 1) {
                sink_.token(static_cast<uint32_t>(std::countr_zero(bitmap)) + 1, OP_POKE);
                sink_.data(bytes + 2, 1);
            } else {
                bytes[0] = static_cast<uint8_t>(bitmap >> 8);
                bytes[1] = static_cast<uint8_t>(bitmap);
                sink_.data(bytes, 2 + changed);
            }
            advance(group);
            length -= group;
        }
    }

    void finish()
    {
        flushCopy();
    }

  private:
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
};

class Planner {
  public:
    Planner(const uint8_t* source, uint32_t sourceSize, const uint8_t* dest, uint32_t destSize,
            WholeFilePlan& plan)
        : source_(source), dest_(dest), sourceSize_(sourceSize), destSize_(destSize), plan_(plan)
    {
        openForWrite("/dev/null", nowhere_);
    }
    ~Planner()
    {
        closeChecked("/dev/null", nowhere_);
    }
    Planner(const Planner&) = delete;
    Planner& operator=(const Planner&) = delete;

    void indexSource()
    {
        const uint32_t positions = sourceSize_ >= kWindow ? sourceSize_ - kWindow + 1 : 0;
        // At most one head per position: with the chain links, 8 bytes per source byte.
        bits_ = 10;
        while (bits_ < 30 && (uint64_t{1} << (bits_ + 1)) <= positions)
            ++bits_;
        head_.assign(size_t{1} << bits_, kNone);
        next_.assign(positions, kNone);
        // Back to front, so that every chain runs in increasing positions from its first.
        for (uint32_t p = positions; p-- > 0;) {
            const uint32_t h = hash(source_ + p);
            next_[p] = head_[h];
            head_[h] = p;
        }
    }

    void walk()
    {
        uint32_t d = 0;
        while (d + kWindow <= destSize_) {
            uint32_t p = 0;
            uint32_t length = 0;
            if (!findMatch(d, p, length)) {
                ++d;
                continue;
            }
            while (p > sourceAt_ && d > destAt_ && source_[p - 1] == dest_[d - 1]) {
                --p;
                --d;
                ++length;
            }
            gapThenMatch(p, d, length);
            d = destAt_;
        }
        tail();
    }

  private:
    uint32_t hash(const uint8_t* at) const
    {
        return static_cast<uint32_t>((load64(at) * 0x9E3779B97F4A7C15ull) >> (64 - bits_));
    }

    uint32_t matchLength(uint32_t p, uint32_t d) const
    {
        return equalPrefix(source_ + p, dest_ + d, std::min(sourceSize_ - p, destSize_ - d));
    }

    // The longest exact match for the destination at d that starts at or after the current
    // source position: on the current diagonal, at the current source position, or among the
    // nearest occurrences from the index. Nearer candidates win ties, and a jump far ahead of
    // the diagonal must be long, since the source it passes over is lost to later matches.
    bool findMatch(uint32_t d, uint32_t& bestP, uint32_t& bestLength)
    {
        bestLength = 0;
        const auto consider = [&](uint32_t p) {
            if (p < sourceAt_ || p >= sourceSize_)
                return;
            const uint32_t length = matchLength(p, d);
            if (length > bestLength) {
                bestLength = length;
                bestP = p;
            }
        };
        const uint64_t onDiagonal = uint64_t{sourceAt_} + (d - destAt_);
        if (onDiagonal < sourceSize_)
            consider(static_cast<uint32_t>(onDiagonal));
        consider(sourceAt_);
        if (bestLength < 64) {
            // The source position only grows: entries behind it are dropped for good.
            uint32_t& first = head_[hash(dest_ + d)];
            while (first != kNone && first < sourceAt_)
                first = next_[first];
            uint32_t p = first;
            for (uint32_t steps = 0; p != kNone && steps < kChainSteps; ++steps, p = next_[p])
                consider(p);
        }
        if (bestLength < kMinMatch)
            return false;
        if (bestP == onDiagonal)
            return true;
        // Leaving the diagonal passes over source that later matches can no longer use: only
        // for a long match, and not while the diagonal still mostly agrees (changed addresses
        // in a program are cheaper as differences than as a jump and inserted bytes).
        if (diagonalAgrees(d, onDiagonal))
            return false;
        const uint64_t distance = bestP > onDiagonal ? bestP - onDiagonal : onDiagonal - bestP;
        if (distance <= kShortJump)
            return true;
        if (distance <= kNearJump)
            return bestLength >= kJumpMatch;
        return bestLength >= kFarMatch;
    }

    bool diagonalAgrees(uint32_t d, uint64_t onDiagonal) const
    {
        if (onDiagonal >= sourceSize_)
            return false;
        const uint32_t span =
            std::min({64u, static_cast<uint32_t>(sourceSize_ - onDiagonal), destSize_ - d});
        uint32_t equal = 0;
        for (uint32_t k = 0; k < span; ++k)
            equal += source_[onDiagonal + k] == dest_[d + k];
        return span >= 16 && 2 * equal >= span;
    }

    template <typename Sink>
    Emitter<Sink> emitterAt(Sink& sink, uint32_t sourceAt, uint32_t destAt) const
    {
        return Emitter<Sink>(sink, source_, sourceSize_, dest_, destSize_, sourceAt, destAt);
    }

    // Size of replaying the last m bytes of both gaps as differences (and the first bytes of
    // what follows on the same diagonal), after skipping and inserting the rest of the gaps.
    uint64_t gapCost(uint32_t sourceGap, uint32_t destGap, uint32_t m, uint32_t diagonalSource,
                     uint32_t diagonalDest, uint32_t diagonalLength) const
    {
        uint64_t cost = 0;
        if (sourceGap > m)
            cost += tokenSize(sourceGap - m);
        if (destGap > m)
            cost += tokenSize(destGap - m) + (destGap - m);
        CountingSink sink;
        Emitter<CountingSink> emitter = emitterAt(sink, diagonalSource - m, diagonalDest - m);
        emitter.diagonal(m + diagonalLength);
        emitter.finish();
        return cost + sink.bytes;
    }

    // The gaps from the current positions up to a diagonal that starts at (p, d): how many of
    // their last bytes to replay against the source, by size; ties keep fewer.
    uint32_t bestCut(uint32_t p, uint32_t d, uint32_t following) const
    {
        const uint32_t sourceGap = p - sourceAt_;
        const uint32_t destGap = d - destAt_;
        const uint32_t widest = std::min(sourceGap, destGap);
        uint32_t best = 0;
        uint64_t bestCost = gapCost(sourceGap, destGap, 0, p, d, following);
        const auto tryCut = [&](uint32_t m) {
            const uint64_t cost = gapCost(sourceGap, destGap, m, p, d, following);
            if (cost < bestCost) {
                bestCost = cost;
                best = m;
            }
        };
        for (uint32_t m = 15; m < widest && m <= kMaxCutSearch; m += 15)
            tryCut(m);
        if (widest != 0)
            tryCut(widest);
        return best;
    }

    // Stream bytes of the specified encoder over the stretches, written nowhere; nothing else
    // is being written while the plan is made.
    uint32_t regionCost(uint32_t sourceLength, uint32_t destLength)
    {
        const uint32_t savedLength = headerField32(HEADER_STREAM_LENGTH);
        const uint32_t savedCrc = streamCrc;
        setHeaderField32(HEADER_STREAM_LENGTH, 0);
        resetOutput();
        encodeRegion(nowhere_, source_ + sourceAt_, sourceLength, dest_ + destAt_, destLength);
        const uint32_t cost = headerField32(HEADER_STREAM_LENGTH);
        resetOutput();
        setHeaderField32(HEADER_STREAM_LENGTH, savedLength);
        streamCrc = savedCrc;
        return cost;
    }

    // The gaps up to (p, d) as a region, when that is shorter than the best cut.
    bool regionIsShorter(uint32_t p, uint32_t d, uint32_t following, uint32_t cut)
    {
        const uint32_t sourceGap = p - sourceAt_;
        const uint32_t destGap = d - destAt_;
        if (sourceGap == 0 || destGap == 0 || currentHeader.bytes == nullptr)
            return false;
        const uint64_t asCut = gapCost(sourceGap, destGap, cut, p, d, following);
        const uint64_t asRegion =
            regionCost(sourceGap, destGap) + gapCost(0, 0, 0, p, d, following);
        if (asRegion >= asCut)
            return false;
        plan_.steps.push_back(
            {WholeFileStep::REGION, sourceAt_, destAt_, sourceGap, destGap,
             static_cast<uint32_t>(asRegion - gapCost(0, 0, 0, p, d, following))});
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
        const uint32_t m = bestCut(p, d, following);
        if (regionIsShorter(p, d, following, m)) {
            add(WholeFileStep::DIAGONAL, length);
            return;
        }
        add(WholeFileStep::SKIP, p - m - sourceAt_);
        add(WholeFileStep::INSERT, d - m - destAt_);
        add(WholeFileStep::DIAGONAL, m + length);
    }

    // What is left of both files: differences against the source's end where they pay, the
    // rest inserted; the source is always passed over to its end, so that its checksum covers
    // the whole file.
    void tail()
    {
        const uint32_t m = bestCut(sourceSize_, destSize_, 0);
        if (regionIsShorter(sourceSize_, destSize_, 0, m))
            return;
        add(WholeFileStep::SKIP, sourceSize_ - m - sourceAt_);
        add(WholeFileStep::INSERT, destSize_ - m - destAt_);
        add(WholeFileStep::DIAGONAL, m);
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
    FileSlot nowhere_;
};

template <typename Sink>
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
        planner.walk();
    } catch (const std::bad_alloc&) {
        plan = WholeFilePlan{};
        return false;
    }
    CountingSink counter;
    emitPlan(counter, plan, source, sourceSize, dest, destSize);
    plan.streamLength = counter.bytes;
    return true;
}

void writeWholeFileRecord(FileSlot& diff, const WholeFilePlan& plan, const uint8_t* source,
                          const uint8_t* dest)
{
    const uint32_t sourceSize = headerField32(HEADER_SOURCE_SIZE);
    const uint32_t destSize = headerField32(HEADER_DEST_SIZE);
    beginRecord(diff);
    WritingSink writer{diff};
    emitPlan(writer, plan, source, sourceSize, dest, destSize);
    // Every byte of both files is passed over once, in order.
    sourceCrc = crcBlock(source, sourceSize, sourceCrc);
    destCrc = crcBlock(dest, destSize, destCrc);
    completeRecord(diff);
    endRecord();
}
