// Finding covers for a record: the source's suffix array sorted, the destination scanned in
// stretches on two threads (cover_scan), the progress of both shown by the calling thread, and
// the smallest packing of what was found.
#include "encoder/cover_search.h"

#include "encoder/cover_scan.h"
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

// Destinations from twice this size on are scanned as two halves, one per thread. The halves
// are the same with one thread, so the record does not depend on the machine. More stretches
// would share the work out better, but a scan that starts afresh may follow another diagonal
// than a scan from the start would (libcrypto's record grows 3% with nine).
constexpr uint32_t kStretchSize = 512 * 1024;
constexpr uint32_t kMostStretches = 2;
// Destinations up to this size are also packed with no covers: a pack takes a few milliseconds
// here, and zstd's own matches against the source serve small text files best.
constexpr uint32_t kTrialLimit = 1 << 20;

// What the phases of a record of covers cost, in nanoseconds on a machine of 2024 for files of
// megabytes, for the progress line's pace alone: the sort a source byte; before the sort, when
// nothing tells yet how alike the files are, the scan and the packing a destination byte, as
// for programs of a new release (nearly equal files take a tenth of that).
constexpr uint64_t kSortCost = 60;
constexpr uint64_t kScanGuess = 50;
constexpr uint64_t kPackGuess = 35;
constexpr uint64_t kAlikeCost = 10;
// A search's cost grows with the source, whose index it reads at random: more of its reads miss
// the caches.
uint64_t searchCost(uint32_t sourceSize)
{
    return std::min<uint64_t>(100 + sourceSize / 15000, 1000);
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
