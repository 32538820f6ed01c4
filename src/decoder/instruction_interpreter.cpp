// The instruction interpreter. Stretches are copied whole, and no instruction computes a
// checksum: the source is passed over strictly in order and the stream consumed strictly in
// order, so their checksums are one pass each over the stretch covered at the end, and the
// destination's is folded in as the output buffer is flushed. What each checksum sees is
// exactly what a byte-by-byte replay would feed it.
#include "decoder/instruction_interpreter.h"

#include "common/checksum.h"
#include "common/cpu_features.h"
#include "common/file_layer.h"
#include "format/instruction_stream.h"
#include "format/record_header.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>

#ifdef ZEP_X86_VECTORS
#include <immintrin.h>
#endif

namespace {

void passSource(const uint8_t*& source, uint32_t count, uint32_t& sourceRemaining)
{
    source += count;
    sourceRemaining -= count;
}

void consumeStream(const uint8_t*& stream, uint32_t count, uint32_t& streamRemaining)
{
    stream += count;
    streamRemaining -= count;
}

// Positions a difference block or a poke processes: 15, or fewer near either end.
uint32_t groupPositions(uint32_t sourceRemaining, uint32_t destRemaining)
{
    return std::min({kGroupWidth, sourceRemaining, destRemaining});
}

uint32_t copyRoutine(ReplayTarget& to, const uint8_t*& source, const uint8_t*,
                     uint32_t& sourceRemaining, uint32_t& destRemaining, uint32_t n)
{
    const uint32_t count = std::min({n, sourceRemaining, destRemaining});
    to.out.writeRaw(to.file, source, count);
    passSource(source, count, sourceRemaining);
    destRemaining -= count;
    return 0;
}

uint32_t skipRoutine(ReplayTarget&, const uint8_t*& source, const uint8_t*,
                     uint32_t& sourceRemaining, uint32_t&, uint32_t n)
{
    passSource(source, std::min(n, sourceRemaining), sourceRemaining);
    return 0;
}

uint32_t insertRoutine(ReplayTarget& to, const uint8_t*&, const uint8_t* operand, uint32_t&,
                       uint32_t& destRemaining, uint32_t n)
{
    const uint32_t count = std::min(n, destRemaining);
    to.out.writeRaw(to.file, operand, count);
    destRemaining -= count;
    return count;  // literal bytes beyond the destination's end stay unconsumed
}

uint32_t pokeRoutine(ReplayTarget& to, const uint8_t*& source, const uint8_t* operand,
                     uint32_t& sourceRemaining, uint32_t& destRemaining, uint32_t n)
{
    const uint32_t count = groupPositions(sourceRemaining, destRemaining);
    uint8_t bytes[kGroupWidth];
    std::copy(source, source + count, bytes);
    if (n >= 1 && n <= count)
        bytes[n - 1] = static_cast<uint8_t>(bytes[n - 1] + *operand);
    to.out.writeRaw(to.file, bytes, count);
    passSource(source, count, sourceRemaining);
    destRemaining -= count;
    return 1;  // the delta byte is consumed even when its position is never reached
}

// Stream bytes an instruction uses behind its token or bitmap; an instruction is replayed only
// when all of them lie inside the stream.
uint32_t operandBytes(const Token& token, uint32_t destRemaining)
{
    switch (token.op) {
    case OP_INSERT:
        return std::min(token.length, destRemaining);
    case OP_POKE:
        return 1;
    default:
        return 0;
    }
}

uint32_t blockDeltas(uint16_t bitmap, uint32_t positions)
{
    return static_cast<uint32_t>(std::popcount(bitmap & ((1u << positions) - 1)));
}

#ifdef ZEP_X86_VECTORS
// For each 8-bit piece of a bitmap, the byte shuffle that moves the piece's delta bytes to
// their positions: position k takes delta number popcount(bits below k), unmarked positions
// take 0x80, which the shuffle turns into zero.
constexpr std::array<uint64_t, 256> makeSpreads()
{
    std::array<uint64_t, 256> spreads{};
    for (uint32_t bits = 0; bits < 256; ++bits) {
        uint64_t spread = 0;
        uint32_t next = 0;
        for (uint32_t k = 0; k < 8; ++k)
            spread |= uint64_t{(bits >> k) & 1 ? next++ : 0x80u} << (8 * k);
        spreads[bits] = spread;
    }
    return spreads;
}
constexpr std::array<uint64_t, 256> kSpreads = makeSpreads();

// A whole difference block into out: 16 bytes are read from source and from deltas and 16
// written, of which the first 15 are the block's. The second piece's indexes are moved past
// the first piece's deltas; an unmarked entry stays at or above 0x80.
__attribute__((target("ssse3,popcnt"))) uint32_t
replayWholeBlock(const uint8_t* source, uint16_t bitmap, const uint8_t* deltas, uint8_t* out)
{
    const uint32_t low = bitmap & 0xFFu;
    const uint32_t high = (bitmap >> 8) & 0x7Fu;
    const uint32_t lowCount = static_cast<uint32_t>(std::popcount(low));
    const __m128i spread =
        _mm_set_epi64x(static_cast<int64_t>(kSpreads[high] + 0x0101010101010101ull * lowCount),
                       static_cast<int64_t>(kSpreads[low]));
    const __m128i placed =
        _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(deltas)), spread);
    const __m128i bytes =
        _mm_add_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(source)), placed);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes);
    return lowCount + static_cast<uint32_t>(std::popcount(high));
}

// Whether the next block is away from every end: its 16-byte reads stay inside the stream and
// the source, and the output buffer has room for its 16-byte store.
bool wholeBlockFits(OutputBuffer& out, uint32_t streamRemaining, uint32_t sourceRemaining,
                    uint32_t destRemaining)
{
    return streamRemaining >= 2 + 16 && sourceRemaining >= 16 && destRemaining >= kGroupWidth &&
           out.room(kGroupWidth + 1) != nullptr;
}
#endif

}  // namespace

const OpRoutine opRoutines[4] = {copyRoutine, skipRoutine, insertRoutine, pokeRoutine};

uint32_t replayDifferenceBlock(ReplayTarget& to, const uint8_t*& source, uint16_t bitmap,
                               const uint8_t* deltas, uint32_t& sourceRemaining,
                               uint32_t& destRemaining)
{
    const uint32_t count = groupPositions(sourceRemaining, destRemaining);
    uint8_t bytes[kGroupWidth];
    std::copy(source, source + count, bytes);
    // Only the marked positions change; a mark past the processed positions uses no delta.
    uint32_t marked = bitmap & ((1u << count) - 1);
    uint32_t used = 0;
    for (; marked != 0; marked &= marked - 1) {
        const int k = std::countr_zero(marked);
        bytes[k] = static_cast<uint8_t>(bytes[k] + deltas[used++]);
    }
    to.out.writeRaw(to.file, bytes, count);
    passSource(source, count, sourceRemaining);
    destRemaining -= count;
    return used;
}

void interpretStream(Run& run, const RecordHeader& header, const uint8_t* source,
                     const uint8_t* record, const uint8_t*& streamEnd)
{
    const FileSlot& diffSlot = run.files.diff;
    const uint64_t recordOffset = static_cast<uint64_t>(record - diffSlot.view);
    const uint64_t mappedBehindHeader = diffSlot.viewLength > recordOffset + header.length
                                            ? diffSlot.viewLength - recordOffset - header.length
                                            : 0;
    interpretStream(run, header, source, record + header.length,
                    static_cast<uint32_t>(std::min<uint64_t>(header.field32(HEADER_STREAM_LENGTH),
                                                             mappedBehindHeader)),
                    streamEnd);
}

void interpretStream(Run& run, const RecordHeader& header, const uint8_t* source,
                     const uint8_t* stream, uint32_t streamLength, const uint8_t*& streamEnd)
{
    RunningCrcs& crcs = run.crcs;
    crcs = RunningCrcs{};
    OutputBuffer& out = run.out;
    out.reset();
    const FileSlot& sourceSlot = run.files.source;
    ReplayTarget to{out, run.files.target};
    const uint32_t sourceSize = header.field32(HEADER_SOURCE_SIZE);
    const uint32_t destSize = header.field32(HEADER_DEST_SIZE);
    uint32_t sourceRemaining =
        static_cast<uint32_t>(std::min<uint64_t>(sourceSize, sourceSlot.viewLength));
    uint32_t destRemaining = destSize;

    uint32_t streamRemaining = streamLength;

    const uint8_t* const sourceStart = source;
    const uint8_t* const streamStart = stream;
    out.checksumOnFlush(&crcs.dest);
    Progress& progress = run.progress;
    progress.start(uint64_t{sourceSize} + destSize);
    while (streamRemaining != 0) {
        progress.show(sourceRemaining, destRemaining);
        if (isDifferenceBlock(stream[0])) {
            if (streamRemaining < 2)
                break;
            const uint16_t bitmap = blockBitmap(stream[0], stream[1]);
#ifdef ZEP_X86_VECTORS
            // Away from every end, blocks are replayed straight into the output buffer with
            // 16-byte loads and stores, one after another for as long as the progress line
            // would not change (each block passes 30 bytes of the total).
            if (cpuFeatures().shuffle &&
                wholeBlockFits(out, streamRemaining, sourceRemaining, destRemaining)) {
                constexpr uint64_t kBlockProgress = uint64_t{2} * kGroupWidth;
                uint64_t quiet = progress.quietFor(sourceRemaining, destRemaining);
                uint16_t next = bitmap;
                do {
                    const uint32_t used =
                        replayWholeBlock(source, next, stream + 2, out.room(kGroupWidth + 1));
                    out.commit(run.files.target, kGroupWidth);
                    passSource(source, kGroupWidth, sourceRemaining);
                    destRemaining -= kGroupWidth;
                    consumeStream(stream, 2 + used, streamRemaining);
                    if (quiet <= kBlockProgress || !isDifferenceBlock(stream[0]) ||
                        !wholeBlockFits(out, streamRemaining, sourceRemaining, destRemaining))
                        break;
                    quiet -= kBlockProgress;
                    next = blockBitmap(stream[0], stream[1]);
                } while (true);
                continue;
            }
#endif
            // Only near the stream's end can a block's deltas run past it.
            if (streamRemaining - 2 < kGroupWidth &&
                blockDeltas(bitmap, groupPositions(sourceRemaining, destRemaining)) >
                    streamRemaining - 2)
                break;
            const uint32_t used = replayDifferenceBlock(to, source, bitmap, stream + 2,
                                                        sourceRemaining, destRemaining);
            consumeStream(stream, 2 + used, streamRemaining);
            continue;
        }
        Token token;
        if (!readToken(stream, streamRemaining, token) ||
            operandBytes(token, destRemaining) > streamRemaining - token.size)
            break;
        consumeStream(stream, token.size, streamRemaining);
        const uint32_t used =
            opRoutines[token.op](to, source, stream, sourceRemaining, destRemaining, token.length);
        consumeStream(stream, used, streamRemaining);
    }
    out.flush(run.files.target);
    out.checksumOnFlush(nullptr);
    crcs.source = crcBlock(sourceStart, static_cast<size_t>(source - sourceStart), crcs.source);
    crcs.stream = crcBlock(streamStart, static_cast<size_t>(stream - streamStart), crcs.stream);
    progress.show(0, 0);
    run.report.line("\n");
    streamEnd = stream;
}
