// The whole-file encoder's index of the source: every 12-byte window hashed into a chain of the
// positions that share its bucket, and a filter with one bit per hash that answers most lookups
// of windows the source does not hold without touching the chains.
#pragma once
#include "common/byte_order.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zep {

class SourceIndex {
  public:
    static constexpr uint32_t kWindow = 12;        // bytes hashed per source position
    static constexpr uint32_t kNone = UINT32_MAX;  // past the end of a chain

    // Indexes every window of the source, at most 7 bytes per source byte; throws
    // std::bad_alloc where there is no memory for it.
    SourceIndex(const uint8_t* source, uint32_t sourceSize);

    // The window's hash; its bytes are read in one order on every machine, so that every
    // machine finds the same candidates and writes the same record.
    static uint64_t mix(const uint8_t* at)
    {
        return (loadLe64(at) ^ (uint64_t{loadLe32(at + 8)} * 0xC2B2AE3D27D4EB4Full)) *
               0x9E3779B97F4A7C15ull;
    }

    // False only where no window of the source has this hash.
    bool mayHold(uint64_t mixed) const
    {
        const uint64_t bit = presentBit(mixed);
        return (present_[bit / 64] >> (bit % 64)) & 1;
    }
    // The positions of the hash's bucket, in increasing order, up to kNone; a position in the
    // chain may hold another window, so the caller compares the bytes.
    uint32_t first(uint64_t mixed) const
    {
        return head_[bucket(mixed)];
    }
    uint32_t next(uint32_t position) const
    {
        return next_[position];
    }

    // Lookups mostly miss the caches; a caller that knows its coming lookups fetches their
    // filter words, bucket heads and chain links in advance.
    void prefetchFilter(uint64_t mixed) const
    {
        __builtin_prefetch(&present_[presentBit(mixed) / 64]);
    }
    void prefetchFirst(uint64_t mixed) const
    {
        __builtin_prefetch(&head_[bucket(mixed)]);
    }
    void prefetchNext(uint32_t position) const
    {
        __builtin_prefetch(&next_[position]);
    }

  private:
    uint32_t bucket(uint64_t mixed) const
    {
        return static_cast<uint32_t>(mixed >> (64 - bits_));
    }
    // The filter takes its bits from the other end of the mix than the bucket.
    uint64_t presentBit(uint64_t mixed) const
    {
        return (mixed >> 8) & ((uint64_t{1} << presentBits_) - 1);
    }

    uint32_t bits_ = 10;
    std::vector<uint32_t> head_;
    std::vector<uint32_t> next_;
    uint32_t presentBits_ = 0;
    std::vector<uint64_t> present_;
};

}  // namespace zep
