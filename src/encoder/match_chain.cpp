// Collecting matches through the source index, and the heaviest chain by a Fenwick tree of
// prefix maxima.
#include "encoder/match_chain.h"

#include "encoder/alignment_search.h"
#include "format/group_encoding.h"

#include <algorithm>

namespace zep {

namespace {

constexpr uint32_t kMinMatch = 12;     // shorter exact matches are not worth a jump
constexpr uint32_t kLookupStride = 2;  // destination positions apart looked up in the index
constexpr uint32_t kChainSteps = 16;   // index entries looked at per destination position
constexpr uint32_t kLinkSpan = 65536;  // farthest matches on one diagonal weighed as a pair
constexpr uint32_t kLinkWork = 16;     // gap bytes weighed per destination byte, at most
constexpr uint32_t kNone = SourceIndex::kNone;

static_assert(kMinMatch >= SourceIndex::kWindow, "a match holds a whole indexed window");

}  // namespace

std::vector<Match> collectMatches(const SourceIndex& index, const uint8_t* source,
                                  uint32_t sourceSize, const uint8_t* dest, uint32_t destSize)
{
    constexpr uint32_t kWindow = SourceIndex::kWindow;
    std::vector<Match> matches;
    uint32_t d = 0;
    uint32_t covered = 0;   // end of the last match in the destination
    uint64_t diagonal = 0;  // source position minus destination position of the last match
    while (d + kWindow <= destSize) {
        uint32_t bestP = 0;
        uint32_t bestD = 0;
        uint32_t bestLength = 0;
        // Positions are looked up kLookupStride apart until a match turns up, so a match may
        // start up to a stride before the position where it is found.
        const uint32_t reach = std::min(d - covered, kLookupStride - 1);
        const auto consider = [&](uint32_t p) {
            uint32_t back = 0;
            while (back < reach && back < p && source[p - back - 1] == dest[d - back - 1])
                ++back;
            const uint32_t length = back + fastEqualPrefix(source + p, dest + d,
                                                           std::min(sourceSize - p, destSize - d));
            if (length > bestLength) {
                bestLength = length;
                bestP = p - back;
                bestD = d - back;
            }
        };
        if (d + diagonal < sourceSize)
            consider(static_cast<uint32_t>(d + diagonal));
        // Most lookups miss the caches; while no match turns up, the positions ahead are known,
        // so their filter bits, buckets and first entries are fetched in advance.
        constexpr size_t kAhead = size_t{4} * kLookupStride;  // positions per stage
        if (d + 3 * kAhead + kWindow <= destSize) {
            index.prefetchFilter(SourceIndex::mix(dest + d + 3 * kAhead));
            const uint64_t far = SourceIndex::mix(dest + d + 2 * kAhead);
            if (index.mayHold(far))
                index.prefetchFirst(far);
            const uint64_t near = SourceIndex::mix(dest + d + kAhead);
            if (index.mayHold(near)) {
                const uint32_t ahead = index.first(near);
                if (ahead != kNone) {
                    __builtin_prefetch(source + ahead);
                    index.prefetchNext(ahead);
                }
            }
        }
        const uint64_t mixed = SourceIndex::mix(dest + d);
        if (index.mayHold(mixed)) {
            uint32_t p = index.first(mixed);
            for (uint32_t steps = 0; p != kNone && steps < kChainSteps; ++steps, p = index.next(p))
                consider(p);
        }
        if (bestLength < kMinMatch) {
            d += kLookupStride;
            continue;
        }
        matches.push_back({bestP, bestD, bestLength});
        diagonal = bestP - uint64_t{bestD};
        d = covered = bestD + bestLength;
    }
    return matches;
}

// Each match extends the best chain that ends in the source at or before its start, or the
// chain of the match before it on its diagonal together with the gap between them.
std::vector<Match> heaviestChain(const std::vector<Match>& matches, const uint8_t* source,
                                 const uint8_t* dest, uint32_t destSize)
{
    std::vector<uint32_t> ends(matches.size());
    std::transform(matches.begin(), matches.end(), ends.begin(),
                   [](const Match& match) { return match.sourceAt + match.length; });
    std::sort(ends.begin(), ends.end());
    ends.erase(std::unique(ends.begin(), ends.end()), ends.end());
    struct Best {
        int64_t weight = 0;
        uint32_t match = kNone;
    };
    // The match before each one on its own diagonal, if any.
    std::vector<uint32_t> sameDiagonal(matches.size());
    for (uint32_t j = 0; j < matches.size(); ++j)
        sameDiagonal[j] = j;
    const auto diagonalOf = [&](uint32_t j) {
        return matches[j].sourceAt - uint64_t{matches[j].destAt};
    };
    std::stable_sort(sameDiagonal.begin(), sameDiagonal.end(),
                     [&](uint32_t a, uint32_t b) { return diagonalOf(a) < diagonalOf(b); });
    std::vector<uint32_t> previous(matches.size(), kNone);
    for (uint32_t k = 1; k < sameDiagonal.size(); ++k)
        if (diagonalOf(sameDiagonal[k - 1]) == diagonalOf(sameDiagonal[k]))
            previous[sameDiagonal[k]] = sameDiagonal[k - 1];
    std::vector<uint32_t>().swap(sameDiagonal);

    std::vector<Best> tree(ends.size() + 1);
    std::vector<int64_t> weights(matches.size());
    uint64_t linkWork = uint64_t{kLinkWork} * destSize;
    Best heaviest;
    for (uint32_t j = 0; j < matches.size(); ++j) {
        const Match& match = matches[j];
        Best before;
        for (size_t i = std::upper_bound(ends.begin(), ends.end(), match.sourceAt) - ends.begin();
             i > 0; i &= i - 1)
            if (tree[i].match != kNone && tree[i].weight > before.weight)
                before = tree[i];
        // A match after another on the same diagonal can keep the differences between them as
        // groups; what they save over inserting counts with the pair.
        const uint32_t same = previous[j];
        if (same != kNone && match.destAt - matches[same].destAt <= kLinkSpan &&
            linkWork >= match.destAt - matches[same].destAt) {
            const Match& last = matches[same];
            const uint32_t gap = match.destAt - last.destAt - last.length;
            int64_t saved = 0;
            for (uint32_t at = 0; at < gap; at += 15) {
                const uint32_t length = std::min(15u, gap - at);
                saved += static_cast<int64_t>(length) -
                         groupCost(source + last.sourceAt + last.length + at,
                                   dest + last.destAt + last.length + at, length);
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
        for (size_t i = std::lower_bound(ends.begin(), ends.end(), match.sourceAt + match.length) -
                        ends.begin() + 1;
             i <= ends.size(); i += i & (~i + 1))
            if (tree[i].match == kNone || here.weight > tree[i].weight)
                tree[i] = here;
    }
    std::vector<Match> chain;
    for (uint32_t j = heaviest.match; j != kNone; j = previous[j])
        chain.push_back(matches[j]);
    std::reverse(chain.begin(), chain.end());
    return chain;
}

}  // namespace zep
