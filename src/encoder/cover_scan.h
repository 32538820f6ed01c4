// One scan of the destination for covers: at each position the longest match that the source's
// suffix array holds, the diagonal of the last cover followed while it agrees, each cover
// extended over bytes that mostly agree. The search runs scans over stretches of the
// destination, in threads.
#pragma once
#include "format/cover_writer.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace zep {

// The longest match found at a destination position.
struct Match {
    uint32_t sourcePosition = 0;
    uint32_t length = 0;
};

class CoverScan {
  public:
    CoverScan(const uint8_t* source, uint32_t sourceSize, const uint8_t* dest,
              const std::vector<int32_t>& suffixes);

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
    Match longestMatch(uint32_t at, uint32_t end) const;
    Match matchAt(uint32_t position, const uint8_t* wanted, uint32_t left) const;
    // Whether the destination byte at `at` equals the source byte on the diagonal.
    bool agrees(uint32_t at, int64_t diagonal) const;
    // How far from `at` on the diagonal a cover reaches, at most `limit` bytes forwards: as far
    // as the bytes that agree outnumber those that differ by most.
    uint32_t extendForward(uint32_t at, int64_t diagonal, uint32_t limit) const;
    // How far before `at` a cover starting there on the diagonal reaches, at most `limit` bytes.
    uint32_t extendBackward(uint32_t at, int64_t diagonal, uint32_t limit) const;

    const uint8_t* source_;
    uint32_t sourceSize_;
    const uint8_t* dest_;
    const std::vector<int32_t>& suffixes_;
    std::vector<uint32_t> bucketStarts_;
};

}  // namespace zep
