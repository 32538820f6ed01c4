// Suffix sorting by induction (SA-IS): the leftmost-smaller suffixes are sorted by their
// substrings, renamed into a string half as long whose suffix array, built the same way, puts
// them in final order, and they in turn induce the order of all the others. The shorter strings
// and their buckets live inside the result array, so the extra memory is a bit a position for the
// types, and buckets of their own only for a reduced string with very many distinct names.
#include "encoder/suffix_array.h"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <new>
#include <span>

namespace zep {

namespace {

constexpr int32_t kEmpty = -1;

// The sort's progress in units of a whole of kSortWork, told between steps and every 1/64 of an
// induction pass (at least kLeastBlock positions).
constexpr uint64_t kSortWork = uint64_t{1} << 30;
constexpr size_t kLeastBlock = size_t{1} << 14;

// A share [from, from + span) of the sort's progress.
class SortMeter {
  public:
    SortMeter(const WorkMeter& meter, uint64_t from, uint64_t span)
        : meter_(meter), from_(from), span_(span)
    {
    }
    // Tells that part of parts of this share is done.
    void at(uint64_t part, uint64_t parts) const
    {
        if (meter_)
            meter_(from_ + span_ * part / parts, kSortWork);
    }
    // The share of the percentages [first, last) of this one: the steps of a sort are weighted
    // by the time each takes on large sources.
    SortMeter steps(uint64_t first, uint64_t last) const
    {
        return {meter_, from_ + span_ * first / 100, span_ * (last - first) / 100};
    }

  private:
    const WorkMeter& meter_;
    uint64_t from_;
    uint64_t span_;
};

// Whether each suffix is S-type (smaller than the suffix after it) or L-type (larger). The text
// is taken to end in a sentinel below every character, so the last suffix is L-type.
class SuffixTypes {
  public:
    template <typename Char>
    SuffixTypes(const Char* text, size_t size) : words_((size + 63) / 64, 0)
    {
        bool nextIsSmaller = false;  // the sentinel's suffix is the smallest of all
        for (size_t i = size; i-- > 1;) {
            const bool isSmaller =
                text[i - 1] < text[i] || (text[i - 1] == text[i] && nextIsSmaller);
            if (isSmaller)
                words_[(i - 1) / 64] |= uint64_t(1) << ((i - 1) % 64);
            nextIsSmaller = isSmaller;
        }
    }

    bool isS(size_t i) const
    {
        return (words_[i / 64] >> (i % 64) & 1) != 0;
    }
    // Leftmost S-type: an S-type suffix right after an L-type one.
    bool isLms(size_t i) const
    {
        return i > 0 && isS(i) && !isS(i - 1);
    }

  private:
    std::vector<uint64_t> words_;
};

template <typename Char>
void countCharacters(const Char* text, size_t size, std::span<int32_t> buckets)
{
    std::fill(buckets.begin(), buckets.end(), 0);
    for (size_t i = 0; i < size; ++i)
        ++buckets[static_cast<size_t>(text[i])];
}

// Each bucket's first slot, or one past its last, in the suffix array.
template <typename Char>
void findBuckets(const Char* text, size_t size, std::span<int32_t> buckets, bool ends)
{
    countCharacters(text, size, buckets);
    int32_t sum = 0;
    for (int32_t& bucket : buckets) {
        sum += bucket;
        bucket = ends ? sum : sum - bucket;
    }
}

// Given the LMS suffixes at the ends of their buckets, fills in the L-type suffixes left to right
// and then the S-type ones right to left; each is placed when the suffix one after it is met, so
// the order of the placed ones carries over. With the LMS suffixes in their final order this
// sorts every suffix; with them sorted only by their LMS substrings it sorts those substrings.
template <typename Char>
void induce(const Char* text, std::span<int32_t> sa, std::span<int32_t> buckets,
            const SortMeter& meter)
{
    const size_t size = sa.size();
    const size_t meterBlock = std::max(kLeastBlock, size / 64);
    findBuckets(text, size, buckets, false);
    // The sentinel's suffix comes first and places the last suffix, always L-type.
    sa[static_cast<size_t>(buckets[static_cast<size_t>(text[size - 1])]++)] =
        static_cast<int32_t>(size - 1);
    for (size_t block = 0; block < size; block += meterBlock) {
        const size_t blockEnd = std::min(size, block + meterBlock);
        for (size_t i = block; i < blockEnd; ++i) {
            const int32_t next = sa[i];
            // Only L-type and LMS suffixes are in place yet, and the suffix before either is
            // L-type exactly when its character is not below the next one's.
            if (next > 0 && text[next - 1] >= text[next])
                sa[static_cast<size_t>(buckets[static_cast<size_t>(text[next - 1])]++)] = next - 1;
        }
        meter.at(blockEnd, 2 * size);
    }
    findBuckets(text, size, buckets, true);
    for (size_t blockEnd = size; blockEnd > 0;) {
        const size_t block = blockEnd - std::min(blockEnd, meterBlock);
        for (size_t i = blockEnd; i-- > block;) {
            const int32_t next = sa[i];
            if (next <= 0)
                continue;
            const auto c = static_cast<size_t>(text[next]);
            // A suffix in the part of its bucket already filled from the right is S-type;
            // asking that spares a look-up of its type.
            const bool nextIsS = i >= static_cast<size_t>(buckets[c]);
            if (text[next - 1] < text[next] || (text[next - 1] == text[next] && nextIsS))
                sa[static_cast<size_t>(--buckets[static_cast<size_t>(text[next - 1])])] = next - 1;
        }
        blockEnd = block;
        meter.at(2 * size - blockEnd, 2 * size);
    }
}

// Puts the LMS suffixes at the ends of their buckets in text order, which is as good as any
// for sorting their substrings, and empties every other slot.
template <typename Char>
void placeLmsUnsorted(const Char* text, std::span<int32_t> sa, std::span<int32_t> buckets,
                      const SuffixTypes& types)
{
    findBuckets(text, sa.size(), buckets, true);
    std::fill(sa.begin(), sa.end(), kEmpty);
    for (size_t i = 1; i < sa.size(); ++i)
        if (types.isLms(i))
            sa[static_cast<size_t>(--buckets[static_cast<size_t>(text[i])])] =
                static_cast<int32_t>(i);
}

// Puts the LMS suffixes, sorted in sa[0, count), at the ends of their buckets in that order,
// and empties every other slot.
template <typename Char>
void placeLmsSorted(const Char* text, std::span<int32_t> sa, size_t count,
                    std::span<int32_t> buckets)
{
    findBuckets(text, sa.size(), buckets, true);
    std::fill(sa.begin() + static_cast<ptrdiff_t>(count), sa.end(), kEmpty);
    // The k-th smallest LMS suffix's slot is at least k, so reading the list from its end never
    // meets a slot already written.
    for (size_t i = count; i-- > 0;) {
        const int32_t at = sa[i];
        sa[i] = kEmpty;
        sa[static_cast<size_t>(--buckets[static_cast<size_t>(text[at])])] = at;
    }
}

// Moves the LMS suffixes, in the order sa holds them, to sa's front; returns how many there are.
size_t gatherLms(std::span<int32_t> sa, const SuffixTypes& types)
{
    size_t count = 0;
    for (const int32_t at : sa)
        if (types.isLms(static_cast<size_t>(at)))
            sa[count++] = at;
    return count;
}

// Names the LMS substrings, whose sorted starts are in sa[0, count): equal substrings get equal
// names, in sorted order. The names end up in sa[size - count, size) in text order, as the
// reduced string; returns how many distinct names there are. Its three passes take about a
// third of the time each.
template <typename Char>
int32_t nameLmsSubstrings(const Char* text, std::span<int32_t> sa, size_t count,
                          const SuffixTypes& types, const SortMeter& meter)
{
    const size_t size = sa.size();
    // LMS starts are at least two apart, so start / 2 gives each its own slot after the list;
    // the slot first holds the substring's length (to the next LMS start, inclusive).
    std::fill(sa.begin() + static_cast<ptrdiff_t>(count), sa.end(), kEmpty);
    size_t last = size;
    for (size_t i = size; i-- > 1;) {
        if (types.isLms(i)) {
            // The last substring takes in the sentinel, so it runs past the text and equals
            // no other.
            sa[count + i / 2] = static_cast<int32_t>(last - i + 1);
            last = i;
        }
    }
    meter.at(1, 3);
    int32_t names = 0;
    size_t previous = size;
    int32_t previousLength = 0;
    for (size_t k = 0; k < count; ++k) {
        const auto at = static_cast<size_t>(sa[k]);
        const int32_t length = sa[count + at / 2];
        const bool runsOut = at + static_cast<size_t>(length) > size ||
                             previous + static_cast<size_t>(length) > size;
        // Equal characters up to a common length and both ending on an LMS start imply equal
        // types too, since types follow from characters going right to left.
        const bool same = previous < size && length == previousLength && !runsOut &&
                          std::equal(text + at, text + at + length, text + previous);
        if (!same)
            ++names;
        sa[count + at / 2] = names - 1;
        previous = at;
        previousLength = length;
    }
    meter.at(2, 3);
    size_t to = size;
    for (size_t i = size; i-- > count;)
        if (sa[i] != kEmpty)
            sa[--to] = sa[i];
    return names;
}

template <typename Char>
void sortSuffixes(const Char* text, std::span<int32_t> sa, std::span<int32_t> buckets,
                  const SortMeter& meter);

// Sorts the reduced string held in sa's tail into sa[0, count), with its own buckets in the
// unused middle of sa when they fit there.
void sortReduced(std::span<int32_t> sa, size_t count, int32_t names, const SortMeter& meter)
{
    const int32_t* reduced = sa.data() + sa.size() - count;
    if (static_cast<size_t>(names) == count) {
        // Every LMS substring differs: the names already are the suffixes' ranks.
        for (size_t i = 0; i < count; ++i)
            sa[static_cast<size_t>(reduced[i])] = static_cast<int32_t>(i);
        return;
    }
    const size_t middle = sa.size() - 2 * count;
    std::vector<int32_t> ownBuckets;
    std::span<int32_t> buckets = sa.subspan(count, static_cast<size_t>(names));
    if (static_cast<size_t>(names) > middle) {
        ownBuckets.resize(static_cast<size_t>(names));
        buckets = ownBuckets;
    }
    sortSuffixes(reduced, sa.first(count), buckets, meter);
}

template <typename Char>
void sortSuffixes(const Char* text, std::span<int32_t> sa, std::span<int32_t> buckets,
                  const SortMeter& meter)
{
    const size_t size = sa.size();
    size_t count = 0;
    int32_t names = 0;
    {
        // The types are dropped during the recursion and found again after: a scan costs less
        // than holding a bit a position at every level at once.
        const SuffixTypes types(text, size);
        meter.at(6, 100);
        placeLmsUnsorted(text, sa, buckets, types);
        meter.at(12, 100);
        induce(text, sa, buckets, meter.steps(12, 26));
        count = gatherLms(sa, types);
        meter.at(29, 100);
        names = nameLmsSubstrings(text, sa, count, types, meter.steps(29, 41));
        meter.at(41, 100);
    }
    sortReduced(sa, count, names, meter.steps(41, 73));
    const SuffixTypes types(text, size);
    meter.at(76, 100);
    // The reduced string's positions stand for the LMS starts in text order.
    int32_t* starts = sa.data() + size - count;
    size_t listed = 0;
    for (size_t i = 1; i < size; ++i)
        if (types.isLms(i))
            starts[listed++] = static_cast<int32_t>(i);
    meter.at(79, 100);
    for (size_t k = 0; k < count; ++k)
        sa[k] = starts[static_cast<size_t>(sa[k])];
    meter.at(82, 100);
    placeLmsSorted(text, sa, count, buckets);
    meter.at(85, 100);
    induce(text, sa, buckets, meter.steps(85, 100));
}

}  // namespace

std::vector<int32_t> buildSuffixArray(const uint8_t* text, uint32_t size, const WorkMeter& meter)
{
    // Positions are int32_t, as the names in the recursion are.
    if (size > uint32_t(std::numeric_limits<int32_t>::max()))
        throw std::bad_alloc();
    std::vector<int32_t> sa(size);
    if (size == 0)
        return sa;
    std::vector<int32_t> buckets(256);
    sortSuffixes(text, std::span<int32_t>(sa), std::span<int32_t>(buckets),
                 SortMeter(meter, 0, kSortWork));
    return sa;
}

}  // namespace zep
