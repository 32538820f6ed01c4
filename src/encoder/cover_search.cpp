// Finding covers: the destination is scanned from start to end, asking the source's suffix
// array for the longest match at each position, while following the diagonal (source position
// minus destination position) of the last cover. A match there or no longer than what that
// diagonal agrees on lets the scan skip ahead; a match well longer starts a new cover. Each
// cover is then extended forwards, and the new one backwards, across bytes that mostly agree:
// once compressed, a few differing bytes inside a cover cost far less than literals.
#include "encoder/cover_search.h"

#include "encoder/phased_progress.h"
#include "encoder/suffix_array.h"
#include "format/compact_stream.h"
#include "platform/platform.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <exception>
#include <functional>
#include <system_error>
#include <thread>

namespace zep {

namespace {

// A match replaces the followed diagonal only where it is longer, by this many bytes, than the
// stretch on which that diagonal agrees: shorter ones cost more as a new cover than the
// differences they save.
constexpr uint32_t kSwitchMargin = 8;
// Destinations from twice this size on are scanned as two halves, one per thread. The halves
// are the same with one thread, so the record does not depend on the machine. More stretches
// would share the work out better, but a scan that starts afresh may follow another diagonal
// than a scan from the start would (libcrypto's record grows 3% with nine).
constexpr uint32_t kStretchSize = 512 * 1024;
constexpr uint32_t kMostStretches = 2;
// Destinations up to this size are also packed with no covers: a pack takes a few milliseconds
// here, and zstd's own matches against the source serve small text files best.
constexpr uint32_t kTrialLimit = 1 << 20;

// A scan tells how far it is, and hears whether to stop, every 1/64 of its stretch, at most
// every this many destination bytes.
constexpr uint32_t kScanReport = 64 * 1024;
// What the phases of a record of covers cost, in nanoseconds on a machine of 2024 for files of
// megabytes, for the progress line's pace alone: the sort a source byte; before the sort, when
// nothing tells yet how alike the files are, the scan and the packing a destination byte, as
// for programs of a new release (nearly equal files take a tenth of that).
constexpr uint64_t kSortCost = 60;
constexpr uint64_t kScanGuess = 50;
constexpr uint64_t kPackGuess = 35;
constexpr uint64_t kAlikeCost = 10;
// Probes of the scan: up to this many windows of this many bytes, at most 1/32 of a stretch.
constexpr uint32_t kProbes = 64;
constexpr uint32_t kProbeWindow = 512;

// A search's cost grows with the source, whose index it reads at random: more of its reads miss
// the caches.
uint64_t searchCost(uint32_t sourceSize)
{
    return std::min<uint64_t>(100 + sourceSize / 15000, 1000);
}

struct Match {
    uint32_t sourcePosition = 0;
    uint32_t length = 0;
};

// Where the suffixes that start with each pair of bytes begin in the suffix array (65,537
// entries, the last the end of the array), counted from the source: a binary search then
// starts two bytes in, among a few hundredths of the suffixes. The last byte's suffix is
// shorter than a pair and sorts before every pair it starts.
std::vector<uint32_t> pairBuckets(const uint8_t* source, uint32_t sourceSize)
{
    std::vector<uint32_t> starts(65537, 0);
    for (uint32_t i = 0; i + 1 < sourceSize; ++i)
        ++starts[(uint32_t{source[i]} << 8 | source[i + 1]) + 1];
    uint32_t last = source[sourceSize - 1];
    uint32_t total = 0;
    for (uint32_t pair = 0; pair <= 65536; ++pair) {
        if (pair == last << 8)
            ++total;  // the last byte's suffix
        total += starts[pair];
        starts[pair] = total;
    }
    return starts;
}

inline void prefetch(const void* address)
{
#if defined(__GNUC__)
    __builtin_prefetch(address);
#else
    (void)address;
#endif
}

// How many bytes a and b have in common from their start, at most limit: a word at a time,
// as matches run to thousands of bytes.
uint32_t commonLength(const uint8_t* a, const uint8_t* b, uint32_t limit)
{
    uint32_t length = 0;
    if constexpr (std::endian::native == std::endian::little) {
        for (; length + 8 <= limit; length += 8) {
            uint64_t x = 0;
            uint64_t y = 0;
            std::memcpy(&x, a + length, 8);
            std::memcpy(&y, b + length, 8);
            if (x != y)
                return length + static_cast<uint32_t>(std::countr_zero(x ^ y) / 8);
        }
    }
    while (length < limit && a[length] == b[length])
        ++length;
    return length;
}

class CoverScan {
  public:
    CoverScan(const uint8_t* source, uint32_t sourceSize, const uint8_t* dest,
              const std::vector<int32_t>& suffixes)
        : source_(source), sourceSize_(sourceSize), dest_(dest), suffixes_(suffixes),
          bucketStarts_(pairBuckets(source, sourceSize))
    {
    }

    // The covers of the destination bytes [begin, end), none reaching outside them. Every 1/64
    // of them (at most kScanReport bytes) `reached` hears how far the scan is and may ask it to
    // stop, with covers that then mean nothing; searches counts the searches made.
    std::vector<Cover> run(uint32_t begin, uint32_t end,
                           const std::function<bool(uint32_t at)>& reached = {},
                           uint64_t* searches = nullptr) const;

    // How many searches a scan of [begin, end) makes, from scans of a few windows spread
    // over it.
    uint64_t estimateSearches(uint32_t begin, uint32_t end) const;

  private:
    // The longest stretch of the source that starts like the destination at `at`, reading no
    // further than `end`: a binary search among the suffixes that start with the same two
    // bytes, keeping the two neighbours it ends between.
    Match longestMatch(uint32_t at, uint32_t end) const
    {
        const uint8_t* wanted = dest_ + at;
        const uint32_t left = end - at;
        if (left < 2)
            return {};
        const uint32_t pair = uint32_t{wanted[0]} << 8 | wanted[1];
        size_t low = bucketStarts_[pair];
        size_t high = bucketStarts_[pair + 1];
        if (low == high)
            return {};
        --high;
        while (high - low >= 2) {
            const size_t middle = low + (high - low) / 2;
            // The search waits on memory: the next step's two candidates are fetched meanwhile.
            prefetch(&suffixes_[low + (middle - low) / 2]);
            prefetch(&suffixes_[middle + (high - middle) / 2]);
            const auto position = static_cast<uint32_t>(suffixes_[middle]);
            const size_t length = std::min(sourceSize_ - position, left);
            if (std::memcmp(source_ + position + 2, wanted + 2, length - 2) < 0)
                low = middle;
            else
                high = middle;
        }
        const Match lower = matchAt(static_cast<uint32_t>(suffixes_[low]), wanted, left);
        const Match upper = matchAt(static_cast<uint32_t>(suffixes_[high]), wanted, left);
        return lower.length > upper.length ? lower : upper;
    }

    Match matchAt(uint32_t position, const uint8_t* wanted, uint32_t left) const
    {
        return {position,
                commonLength(source_ + position, wanted, std::min(sourceSize_ - position, left))};
    }

    // Whether the destination byte at `at` equals the source byte on the diagonal.
    bool agrees(uint32_t at, int64_t diagonal) const
    {
        const int64_t position = at + diagonal;
        return position >= 0 && position < sourceSize_ && source_[position] == dest_[at];
    }

    // How far from `at` on the diagonal a cover reaches, at most `limit` bytes forwards: as far
    // as the bytes that agree outnumber those that differ by most.
    uint32_t extendForward(uint32_t at, int64_t diagonal, uint32_t limit) const
    {
        const int64_t sourceLeft = sourceSize_ - (at + diagonal);
        limit = static_cast<uint32_t>(std::clamp<int64_t>(sourceLeft, 0, limit));
        const uint8_t* from = source_ + at + diagonal;
        int64_t score = 0;
        int64_t best = 0;
        uint32_t reach = 0;
        for (uint32_t i = 0; i < limit; ++i) {
            score += from[i] == dest_[at + i] ? 1 : -1;
            if (score > best) {
                best = score;
                reach = i + 1;
            }
        }
        return reach;
    }

    // How far before `at` a cover starting there on the diagonal reaches, at most `limit` bytes.
    uint32_t extendBackward(uint32_t at, int64_t diagonal, uint32_t limit) const
    {
        limit = static_cast<uint32_t>(std::min<int64_t>(limit, at + diagonal));
        const uint8_t* from = source_ + at + diagonal;
        int64_t score = 0;
        int64_t best = 0;
        uint32_t reach = 0;
        for (uint32_t i = 1; i <= limit; ++i) {
            score += *(from - i) == dest_[at - i] ? 1 : -1;
            if (score > best) {
                best = score;
                reach = i;
            }
        }
        return reach;
    }

    const uint8_t* source_;
    uint32_t sourceSize_;
    const uint8_t* dest_;
    const std::vector<int32_t>& suffixes_;
    std::vector<uint32_t> bucketStarts_;
};

std::vector<Cover> CoverScan::run(uint32_t begin, uint32_t end,
                                  const std::function<bool(uint32_t at)>& reached,
                                  uint64_t* searches) const
{
    std::vector<Cover> covers;
    uint64_t searched = 0;
    const uint32_t reportEvery = std::clamp<uint32_t>((end - begin) / 64, 1, kScanReport);
    uint64_t nextReport = reached ? uint64_t{begin} + reportEvery : UINT64_MAX;
    uint32_t scan = begin;
    Match match;
    uint32_t lastDest = begin;  // where the followed cover starts in the destination
    int64_t lastDiagonal = 0;   // and its source position minus that
    while (scan < end) {
        scan += match.length;
        // The bytes of [scan, probe) that agree on the followed diagonal.
        uint32_t agreeing = 0;
        uint32_t probe = scan;
        for (; scan < end; ++scan) {
            if (scan >= nextReport) {
                if (!reached(scan))
                    return covers;
                nextReport = uint64_t{scan} + reportEvery;
            }
            ++searched;
            match = longestMatch(scan, end);
            for (; probe < scan + match.length; ++probe)
                agreeing += agrees(probe, lastDiagonal) ? 1 : 0;
            if ((match.length != 0 && match.length == agreeing) ||
                match.length > agreeing + kSwitchMargin)
                break;
            if (probe > scan && agrees(scan, lastDiagonal))
                --agreeing;
            probe = std::max(probe, scan + 1);
        }
        if (scan < end && match.length == agreeing)
            continue;  // the followed diagonal goes on
        const int64_t matchDiagonal = int64_t{match.sourcePosition} - scan;
        uint32_t forward = extendForward(lastDest, lastDiagonal, scan - lastDest);
        uint32_t backward = scan < end ? extendBackward(scan, matchDiagonal, scan - lastDest) : 0;
        if (lastDest + forward > scan - backward) {
            // Both claim the overlap: it is cut where the old diagonal's lead in agreeing bytes
            // over the new one is largest.
            const uint32_t overlap = lastDest + forward - (scan - backward);
            const uint32_t from = scan - backward;
            int64_t lead = 0;
            int64_t bestLead = 0;
            uint32_t cut = 0;
            for (uint32_t i = 0; i < overlap; ++i) {
                if (agrees(from + i, lastDiagonal))
                    ++lead;
                if (agrees(from + i, matchDiagonal))
                    --lead;
                if (lead > bestLead) {
                    bestLead = lead;
                    cut = i + 1;
                }
            }
            forward -= overlap - cut;
            backward -= cut;
        }
        if (forward > 0)
            covers.push_back({static_cast<uint32_t>(lastDest + lastDiagonal), lastDest, forward});
        lastDest = scan - backward;
        lastDiagonal = matchDiagonal;
    }
    if (searches != nullptr)
        *searches = searched;
    return covers;
}

uint64_t CoverScan::estimateSearches(uint32_t begin, uint32_t end) const
{
    const uint32_t length = end - begin;
    const uint32_t probes = std::min(kProbes, length / 32 / kProbeWindow);
    if (probes == 0)
        return length;
    uint64_t searched = 0;
    for (uint32_t i = 0; i < probes; ++i) {
        const uint32_t at = begin + static_cast<uint32_t>(uint64_t{length} * i / probes);
        uint64_t searches = 0;
        run(at, at + kProbeWindow, {}, &searches);
        searched += searches;
    }
    return searched * length / (uint64_t{probes} * kProbeWindow);
}

// How far the scan of each stretch is, as the threads that scan them tell it; only the calling
// thread shows it. The helper thread counts its reports in ticks, which the calling thread
// waits on once its own stretches are done.
struct ScanState {
    explicit ScanState(uint32_t stretches) : reached(stretches) {}
    std::vector<std::atomic<uint32_t>> reached;
    std::atomic<bool> stop{false};
    std::atomic<uint32_t> ticks{0};
    std::atomic<bool> helperDone{false};
};

}  // namespace

std::vector<Cover> findCovers(const uint8_t* source, uint32_t sourceSize, const uint8_t* dest,
                              uint32_t destSize, PhasedProgress* progress, uint64_t later)
{
    if (sourceSize == 0 || destSize == 0)
        return {};
    WorkMeter sortMeter;
    if (progress != nullptr) {
        progress->begin(kSortCost * sourceSize, kScanGuess * destSize + later);
        sortMeter = progress->meter(0, progress->cost());
    }
    const std::vector<int32_t> suffixes = buildSuffixArray(source, sourceSize, sortMeter);
    const CoverScan scan(source, sourceSize, dest, suffixes);
    // Stretches of the destination, scanned each on its own by whichever thread is free.
    const uint32_t stretches = std::clamp<uint32_t>(destSize / kStretchSize, 1, kMostStretches);
    const uint32_t stretchSize = destSize / stretches;
    const auto stretchBegin = [&](uint32_t i) { return i * stretchSize; };
    const auto stretchEnd = [&](uint32_t i) {
        return i + 1 == stretches ? destSize : (i + 1) * stretchSize;
    };
    ScanState state(stretches);
    std::vector<uint64_t> costs(stretches, 1);
    for (uint32_t i = 0; i < stretches; ++i) {
        state.reached[i].store(stretchBegin(i), std::memory_order_relaxed);
        if (progress != nullptr)
            costs[i] +=
                searchCost(sourceSize) * scan.estimateSearches(stretchBegin(i), stretchEnd(i));
    }
    std::vector<std::vector<Cover>> found(stretches);
    std::atomic<uint32_t> next{0};
    const auto scanStretches = [&](std::exception_ptr& failure, const std::function<bool()>& told) {
        try {
            for (uint32_t i; (i = next.fetch_add(1)) < stretches;) {
                const auto reached = [&, i](uint32_t at) {
                    state.reached[i].store(at, std::memory_order_relaxed);
                    return told();
                };
                found[i] = scan.run(stretchBegin(i), stretchEnd(i), reached);
                state.reached[i].store(stretchEnd(i), std::memory_order_relaxed);
            }
        } catch (...) {
            failure = std::current_exception();
            next = stretches;   // the other thread takes no further stretch
            state.stop = true;  // nor finishes the one it has
        }
    };
    std::exception_ptr failures[2];
    std::thread helper;
    if (stretches > 1) {
        try {
            helper = platform::startWorker([&] {
                scanStretches(failures[1], [&] {
                    state.ticks.fetch_add(1);
                    state.ticks.notify_one();
                    return !state.stop.load();
                });
                state.helperDone = true;
                state.ticks.fetch_add(1);
                state.ticks.notify_one();
            });
        } catch (const std::system_error&) {
            // No thread to be had: this one scans every stretch.
        }
    }
    // Joined however this ends, told to stop first where it would go on: it reads the index.
    struct Joiner {
        std::thread& thread;
        std::atomic<bool>& stop;
        ~Joiner()
        {
            if (thread.joinable()) {
                stop = true;
                thread.join();
            }
        }
    } joiner{helper, state.stop};
    // The scan takes as long as its longest stretch where two threads share them, as all of
    // them where one thread scans them all.
    const bool shared = helper.joinable();
    const auto scanDone = [&] {
        uint64_t whole = 0;
        uint64_t left = 0;
        for (uint32_t i = 0; i < stretches; ++i) {
            // The part scanned, to 20 bits: costs stay below 2^42.
            const uint64_t length = stretchEnd(i) - stretchBegin(i);
            const uint64_t done =
                state.reached[i].load(std::memory_order_relaxed) - stretchBegin(i);
            const uint64_t remaining = costs[i] - ((costs[i] * ((done << 20) / length)) >> 20);
            whole = shared ? std::max(whole, costs[i]) : whole + costs[i];
            left = shared ? std::max(left, remaining) : left + remaining;
        }
        return whole - left;
    };
    uint64_t scanCost = 0;
    for (const uint64_t cost : costs)
        scanCost = shared ? std::max(scanCost, cost) : scanCost + cost;
    if (progress != nullptr)
        progress->begin(scanCost, later);
    scanStretches(failures[0], [&] {
        if (progress != nullptr)
            progress->show(scanDone());
        return !state.stop.load();
    });
    // This thread's stretches are done: it shows the helper's progress as the helper reports it.
    if (shared && !failures[0]) {
        try {
            for (;;) {
                const uint32_t seen = state.ticks.load();
                if (state.helperDone)
                    break;
                if (progress != nullptr)
                    progress->show(scanDone());
                state.ticks.wait(seen);
            }
        } catch (...) {
            failures[0] = std::current_exception();
        }
    }
    state.stop = true;
    if (helper.joinable())
        helper.join();
    for (const std::exception_ptr& failure : failures)
        if (failure)
            std::rethrow_exception(failure);
    // A cover that a stretch's end cut in two is one again: the shift map takes the longest
    // cover over each part of the source, so a cut one could lose to a shorter one elsewhere.
    std::vector<Cover> covers;
    for (const std::vector<Cover>& part : found)
        for (const Cover& cover : part) {
            Cover* last = covers.empty() ? nullptr : &covers.back();
            if (last != nullptr && last->destPosition + last->length == cover.destPosition &&
                last->sourcePosition + last->length == cover.sourcePosition)
                last->length += cover.length;
            else
                covers.push_back(cover);
        }
    return covers;
}

std::vector<uint8_t> packSmallestCovers(const uint8_t* source, uint32_t sourceSize,
                                        const uint8_t* dest, uint32_t destSize,
                                        PhasedProgress* progress, uint64_t later,
                                        uint64_t trialCost)
{
    const bool small = destSize <= kTrialLimit;
    const std::vector<Cover> covers =
        findCovers(source, sourceSize, dest, destSize, progress,
                   kPackGuess * destSize + later + (small ? trialCost : 0));
    WorkMeter meter;
    if (progress != nullptr) {
        const uint64_t packCost = packingCost(source, dest, destSize, covers);
        // A packing that costs little more than a pass over the covers means files nearly
        // alike, which the caller's trial follows.
        if (small || packCost < kAlikeCost * destSize)
            later += trialCost;
        progress->begin(packCost, later);
        meter = progress->meter(0, packCost);
    }
    std::vector<uint8_t> stored = packCovers(source, sourceSize, dest, destSize, covers, meter);
    // Where the fields of code were worth predicting, the files are programs, which covers serve
    // best: the trial would cost a compression at the highest level for nothing.
    if (destSize <= kTrialLimit && !covers.empty() && (stored[1] & COMPACT_CODE) == 0) {
        if (progress != nullptr) {
            const uint64_t packCost = packingCost(source, dest, destSize, {});
            progress->begin(packCost, later);
            meter = progress->meter(0, packCost);
        }
        std::vector<uint8_t> plain = packCovers(source, sourceSize, dest, destSize, {}, meter);
        if (plain.size() < stored.size())
            stored.swap(plain);
    }
    return stored;
}

}  // namespace zep
