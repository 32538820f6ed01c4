// Building the source index in one pass over the source, back to front.
#include "encoder/source_index.h"

#include <algorithm>

namespace zep {

SourceIndex::SourceIndex(const uint8_t* source, uint32_t sourceSize)
{
    const uint32_t positions = sourceSize >= kWindow ? sourceSize - kWindow + 1 : 0;
    // At most one head per two positions: with the chain links and the filter below, at most
    // 7 bytes per source byte.
    while (bits_ < 30 && (uint64_t{1} << (bits_ + 1)) <= positions)
        ++bits_;
    head_.assign(size_t{1} << bits_, kNone);
    next_.assign(positions, kNone);
    // Eight bits per source byte (8 MiB at most), set for the windows present.
    presentBits_ = std::min(bits_ + 4, 26u);
    present_.assign((size_t{1} << presentBits_) / 64, 0);
    // Back to front, so that every chain runs in increasing positions from its first.
    for (uint32_t p = positions; p-- > 0;) {
        if (p >= 16) {
            const uint64_t ahead = mix(source + p - 16);
            __builtin_prefetch(&head_[bucket(ahead)], 1);
            __builtin_prefetch(&present_[presentBit(ahead) / 64], 1);
        }
        const uint64_t mixed = mix(source + p);
        const uint32_t h = bucket(mixed);
        next_[p] = head_[h];
        head_[h] = p;
        const uint64_t bit = presentBit(mixed);
        present_[bit / 64] |= uint64_t{1} << (bit % 64);
    }
}

}  // namespace zep
