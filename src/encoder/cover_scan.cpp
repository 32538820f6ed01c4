// Scanning for covers: the destination from start to end, asking the source's suffix array for
// the longest match at each position, while following the diagonal (source position minus
// destination position) of the last cover. A match there or no longer than what that diagonal
// agrees on lets the scan skip ahead; a match well longer starts a new cover. Each cover is then
// extended forwards, and the new one backwards, across bytes that mostly agree: once
// compressed, a few differing bytes inside a cover cost far less than literals.
#include "encoder/cover_scan.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace zep {

namespace {

// A match replaces the followed diagonal only where it is longer, by this many bytes, than the
// stretch on which that diagonal agrees: shorter ones cost more as a new cover than the
// differences they save.
constexpr uint32_t kSwitchMargin = 8;
// A scan tells how far it is, and hears whether to stop, every 1/64 of its stretch, at most
// every this many destination bytes.
constexpr uint32_t kScanReport = 64 * 1024;
// Probes of the scan: up to this many windows of this many bytes, at most 1/32 of a stretch.
constexpr uint32_t kProbes = 64;
constexpr uint32_t kProbeWindow = 512;

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

}  // namespace

CoverScan::CoverScan(const uint8_t* source, uint32_t sourceSize, const uint8_t* dest,
                     const std::vector<int32_t>& suffixes)
    : source_(source), sourceSize_(sourceSize), dest_(dest), suffixes_(suffixes),
      bucketStarts_(pairBuckets(source, sourceSize))
{
}

Match CoverScan::longestMatch(uint32_t at, uint32_t end) const
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

Match CoverScan::matchAt(uint32_t position, const uint8_t* wanted, uint32_t left) const
{
    return {position,
            commonLength(source_ + position, wanted, std::min(sourceSize_ - position, left))};
}

bool CoverScan::agrees(uint32_t at, int64_t diagonal) const
{
    const int64_t position = at + diagonal;
    return position >= 0 && position < sourceSize_ && source_[position] == dest_[at];
}

uint32_t CoverScan::extendForward(uint32_t at, int64_t diagonal, uint32_t limit) const
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

uint32_t CoverScan::extendBackward(uint32_t at, int64_t diagonal, uint32_t limit) const
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
    uint64_t total = 0;
    for (uint32_t i = 0; i < probes; ++i) {
        const uint32_t window =
            begin + static_cast<uint32_t>(static_cast<uint64_t>(length) * i / probes);
        uint64_t searches = 0;
        static_cast<void>(run(window, window + kProbeWindow, nullptr, &searches));
        total += searches;
    }
    return total * length / (static_cast<uint64_t>(probes) * kProbeWindow);
}

}  // namespace zep
