// The suffix array of a source: every suffix's start, in lexicographic order, built in house by
// induced sorting so that the tool links no suffix-sorting library on any architecture.
#pragma once
#include "common/progress.h"

#include <cstdint>
#include <vector>

namespace zep {

// The starts of the suffixes of text[0, size) in lexicographic order; a suffix that is a prefix
// of another sorts first. Takes the 4 bytes a byte of the result, an eighth of a byte a byte for
// the suffix types and, for rare texts, buckets that can reach as much again; throws std::bad_alloc
// when that memory is not there. The meter hears, on this thread, how far the sort is.
std::vector<int32_t> buildSuffixArray(const uint8_t* text, uint32_t size,
                                      const WorkMeter& meter = {});

}  // namespace zep
