// The pieces of layout 3 and their compression. Numbers go into columns of like numbers, and
// the covers' differences, mostly zero, into the lengths of their runs of zeros and the bytes
// that are not zero: zstd compresses each of these far better than the differences as they are.
#include "format/cover_writer.h"

#include "format/code_prediction.h"
#include "format/compact_stream.h"
#include "format/zstd_support.h"
#include "platform/platform.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <numeric>
#include <queue>
#include <system_error>
#include <thread>
#include <utility>

namespace zep {

namespace {

// Where the literal bytes go among the seven pieces.
constexpr int kLiteralPiece = 5;
// What packing costs, in nanoseconds on a machine of 2024: the calling thread's work for a byte
// that a cover holds (its difference found twice) and for a difference that is not zero (which
// the highest level compresses), and the other thread's for a literal byte (compressed against
// the source at the highest level).
constexpr uint64_t kCoveredCost = 9;
constexpr uint64_t kDifferingCost = 500;
constexpr uint64_t kLiteralCost = 150;

void putSigned(std::vector<uint8_t>& out, int64_t value)
{
    const uint64_t sign = value < 0 ? ~uint64_t{0} : 0;
    putLength(out, static_cast<size_t>((static_cast<uint64_t>(value) << 1) ^ sign));
}

struct CoverParts {
    std::vector<uint8_t> literalLengths, coverLengths, sourceDistances, literals;
};

struct Differences {
    std::vector<uint8_t> zeroRuns, values;
};

CoverParts coverParts(const uint8_t* dest, uint32_t destSize, const std::vector<Cover>& covers)
{
    CoverParts parts;
    uint32_t destAt = 0;
    uint32_t sourceAt = 0;
    for (const Cover& cover : covers) {
        putLength(parts.literalLengths, cover.destPosition - destAt);
        parts.literals.insert(parts.literals.end(), dest + destAt, dest + cover.destPosition);
        putLength(parts.coverLengths, cover.length);
        putSigned(parts.sourceDistances, int64_t{cover.sourcePosition} - sourceAt);
        destAt = cover.destPosition + cover.length;
        sourceAt = cover.sourcePosition + cover.length;
    }
    // The literal bytes behind the last cover need no record: they are what is left.
    parts.literals.insert(parts.literals.end(), dest + destAt, dest + destSize);
    return parts;
}

// Where each source byte went: for every stretch of the source, the shift of the longest cover
// over it; a stretch no cover holds keeps the shift before it.
ShiftMap shiftMapOf(const std::vector<Cover>& covers)
{
    std::vector<const Cover*> bySource(covers.size());
    std::transform(covers.begin(), covers.end(), bySource.begin(),
                   [](const Cover& cover) { return &cover; });
    std::sort(bySource.begin(), bySource.end(),
              [](const Cover* a, const Cover* b) { return a->sourcePosition < b->sourcePosition; });
    // The covers that hold the current position, longest first; ended ones leave lazily.
    const auto shorter = [](const Cover* a, const Cover* b) { return a->length < b->length; };
    std::priority_queue<const Cover*, std::vector<const Cover*>, decltype(shorter)> open(shorter);
    ShiftMap map;
    const auto mark = [&](uint64_t position, int64_t shift) {
        if (!map.shifts.empty() && map.shifts.back() == shift)
            return;
        if (!map.starts.empty() && map.starts.back() == position) {
            map.shifts.back() = shift;
            return;
        }
        map.starts.push_back(static_cast<uint32_t>(position));
        map.shifts.push_back(shift);
    };
    size_t next = 0;
    uint64_t at = 0;
    while (next < bySource.size() || !open.empty()) {
        while (!open.empty() && uint64_t{open.top()->sourcePosition} + open.top()->length <= at)
            open.pop();
        // cppcheck-suppress knownConditionTrueFalse ; the loop above may stop at a cover still open
        if (open.empty() && next < bySource.size())
            at = std::max<uint64_t>(at, bySource[next]->sourcePosition);
        while (next < bySource.size() && bySource[next]->sourcePosition <= at)
            open.push(bySource[next++]);
        if (open.empty())
            break;
        const Cover* top = open.top();
        mark(at, int64_t{top->destPosition} - top->sourcePosition);
        // The longest cover rules until it ends or a cover starts.
        uint64_t until = uint64_t{top->sourcePosition} + top->length;
        if (next < bySource.size())
            until = std::min<uint64_t>(until, bySource[next]->sourcePosition);
        at = std::max(until, at + 1);
    }
    if (!map.starts.empty())
        map.starts.front() = 0;
    return map;
}

// The covers' differences against the source bytes, or against them with the fields predicted.
// The meter hears how many of the covers are done, every 1/16 of them.
Differences differencesOf(const uint8_t* source, uint32_t sourceSize, const uint8_t* dest,
                          const std::vector<Cover>& covers, const ShiftMap* map,
                          const WorkMeter& meter)
{
    const size_t every = covers.size() / 16 + 1;
    size_t index = 0;
    Differences out;
    const ShiftMap none{};
    CoverPredictor predictor(source, sourceSize, map != nullptr ? *map : none);
    std::vector<uint8_t> predicted(size_t{64} * 1024);
    uint64_t zeros = 0;
    for (const Cover& cover : covers) {
        if (++index % every == 0 && meter)
            meter(index, covers.size());
        const uint8_t* to = dest + cover.destPosition;
        predictor.start(cover.sourcePosition, cover.length,
                        map != nullptr ? int64_t{cover.destPosition} - cover.sourcePosition : 0);
        for (size_t count; (count = predictor.next(predicted.data(), predicted.size())) != 0;) {
            for (size_t k = 0; k < count; ++k) {
                const auto difference = static_cast<uint8_t>(to[k] - predicted[k]);
                if (difference == 0) {
                    ++zeros;
                    continue;
                }
                putLength(out.zeroRuns, zeros);
                out.values.push_back(difference);
                zeros = 0;
            }
            to += count;
        }
    }
    if (zeros != 0)
        putLength(out.zeroRuns, zeros);
    return out;
}

std::vector<uint8_t> shiftMapPiece(const ShiftMap& map)
{
    std::vector<uint8_t> piece;
    uint32_t start = 0;
    int64_t shift = 0;
    for (size_t i = 0; i < map.starts.size(); ++i) {
        putLength(piece, map.starts[i] - start);
        putSigned(piece, map.shifts[i] - shift);
        start = map.starts[i];
        shift = map.shifts[i];
    }
    return piece;
}

// The length the differences' two pieces and the map would take at the trial level.
size_t trialSize(ZSTD_CCtx* context, const Differences& differences,
                 const std::vector<uint8_t>& map)
{
    return storePiece(context, differences.zeroRuns, nullptr, 0, kTrialLevel).size() +
           storePiece(context, differences.values, nullptr, 0, kTrialLevel).size() +
           storePiece(context, map, nullptr, 0, kTrialLevel).size();
}

}  // namespace

// How many of the covers' differences are not zero, from a sample of evenly spread bytes.
uint64_t differingBytes(const uint8_t* source, const uint8_t* dest,
                        const std::vector<Cover>& covers, uint64_t covered)
{
    constexpr uint64_t kSamples = 4096;
    uint64_t differing = 0;
    uint64_t next = 0;  // the next sample, counted in covered bytes
    uint64_t passed = 0;
    for (const Cover& cover : covers) {
        for (; next < passed + cover.length; next += covered / kSamples + 1) {
            const uint64_t at = next - passed;
            differing += source[cover.sourcePosition + at] != dest[cover.destPosition + at];
        }
        passed += cover.length;
    }
    return differing * (covered / kSamples + 1);
}

// This thread's part of packCovers.
uint64_t ownCost(const uint8_t* source, const uint8_t* dest, const std::vector<Cover>& covers,
                 uint64_t covered)
{
    return kCoveredCost * covered + kDifferingCost * differingBytes(source, dest, covers, covered);
}

namespace {

uint64_t coveredLength(const std::vector<Cover>& covers)
{
    return std::accumulate(covers.begin(), covers.end(), uint64_t{0},
                           [](uint64_t sum, const Cover& cover) { return sum + cover.length; });
}

}  // namespace

uint64_t packingCost(const uint8_t* source, const uint8_t* dest, uint32_t destSize,
                     const std::vector<Cover>& covers)
{
    const uint64_t covered = coveredLength(covers);
    // The two threads work at once.
    return std::max(ownCost(source, dest, covers, covered), kLiteralCost * (destSize - covered)) +
           1;
}

std::vector<uint8_t> packCovers(const uint8_t* source, uint32_t sourceSize, const uint8_t* dest,
                                uint32_t destSize, const std::vector<Cover>& covers,
                                const WorkMeter& meter)
{
    // This thread's steps are told in percent of its work (the differences twice, their trial,
    // then the pieces it compresses, by their sizes), within the cost of the whole packing; what
    // is left after them is the wait for the literal bytes.
    uint64_t whole = 0;
    uint64_t own = 0;
    if (meter) {
        whole = packingCost(source, dest, destSize, covers);
        own = std::min(ownCost(source, dest, covers, coveredLength(covers)), whole);
    }
    // Shows `from` percent of this thread's work, and done out of total of the percents from
    // `from` to `to`.
    const auto tell = [&](uint64_t from, uint64_t to = 0, uint64_t done = 0, uint64_t total = 1) {
        if (!meter)
            return;
        const uint64_t at =
            (from << 20) / 100 + (to - std::min(from, to)) * ((done << 20) / total) / 100;
        meter((own * at) >> 20, whole);
    };
    const std::unique_ptr<ZSTD_CCtx, FreeCCtx> context(ZSTD_createCCtx());
    if (context == nullptr)
        failSilently(Status::NO_MEMORY);
    const CoverParts parts = coverParts(dest, destSize, covers);
    // The literal bytes, compressed against the source, take longest: a second thread compresses
    // them while this one weighs and compresses the differences.
    const bool reference = referencesSource(sourceSize, parts.literals.size());
    std::vector<uint8_t> literals;
    std::exception_ptr failure;
    const auto compressLiterals = [&] {
        try {
            const std::unique_ptr<ZSTD_CCtx, FreeCCtx> second(ZSTD_createCCtx());
            if (second == nullptr)
                failSilently(Status::NO_MEMORY);
            literals = storePiece(second.get(), parts.literals, reference ? source : nullptr,
                                  sourceSize, kCompactLevel);
        } catch (...) {
            failure = std::current_exception();
        }
    };
    std::thread worker;
    try {
        worker = platform::startWorker(compressLiterals);
    } catch (const std::system_error&) {
        compressLiterals();  // no thread to be had: this one does it first
    }
    // Joined however this ends: the thread reads the parts.
    struct Joiner {
        std::thread& thread;
        ~Joiner()
        {
            if (thread.joinable())
                thread.join();
        }
    } joiner{worker};
    tell(1);
    Differences differences =
        differencesOf(source, sourceSize, dest, covers, nullptr,
                      [&](uint64_t done, uint64_t total) { tell(1, 12, done, total); });
    tell(12);
    // Predicted fields pay where the files are code whose stretches moved; a quick trial tells.
    const ShiftMap map = shiftMapOf(covers);
    std::vector<uint8_t> mapPiece = shiftMapPiece(map);
    Differences predicted =
        differencesOf(source, sourceSize, dest, covers, &map,
                      [&](uint64_t done, uint64_t total) { tell(12, 23, done, total); });
    tell(23);
    const bool code = !covers.empty() && trialSize(context.get(), predicted, mapPiece) <
                                             trialSize(context.get(), differences, {});
    tell(31);
    if (code)
        differences = std::move(predicted);
    else
        mapPiece.clear();
    const std::vector<uint8_t>* const plain[7] = {&parts.literalLengths,
                                                  &parts.coverLengths,
                                                  &parts.sourceDistances,
                                                  &differences.zeroRuns,
                                                  &differences.values,
                                                  &parts.literals,
                                                  &mapPiece};
    // Only the pieces that hold something have lengths, marked in a byte of their own: a small
    // file's record is then little more than its literal bytes.
    uint8_t present = 0;
    for (int i = 0; i < 7; ++i)
        if (!plain[i]->empty())
            present = static_cast<uint8_t>(present | 1u << i);
    std::vector<uint8_t> stored = {
        COMPACT_COVERS,
        static_cast<uint8_t>((reference ? COMPACT_REFERENCE : 0) | (code ? COMPACT_CODE : 0)),
        present};
    std::vector<uint8_t> pieces[7];
    size_t pieceBytes = 1;
    for (int i = 0; i < 7; ++i)
        if (i != kLiteralPiece)
            pieceBytes += plain[i]->size();
    size_t packed = 0;
    for (int i = 0; i < 7; ++i) {
        if (i == kLiteralPiece)
            continue;
        pieces[i] = storePiece(context.get(), *plain[i], nullptr, 0, kCompactLevel);
        packed += plain[i]->size();
        tell(31 + 64 * packed / pieceBytes);
    }
    if (worker.joinable())
        worker.join();
    if (meter)
        meter(whole, whole);
    if (failure)
        std::rethrow_exception(failure);
    pieces[kLiteralPiece] = std::move(literals);
    for (int i = 0; i < 7; ++i) {
        if (plain[i]->empty())
            continue;
        putLength(stored, plain[i]->size());
        putLength(stored, pieces[i].size());
    }
    for (const std::vector<uint8_t>& piece : pieces)
        stored.insert(stored.end(), piece.begin(), piece.end());
    return stored;
}

}  // namespace zep
