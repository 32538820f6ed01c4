// The instruction interpreter. Stretches are copied whole, and no instruction computes a
// checksum: the source is passed over strictly in order and the stream consumed strictly in
// order, so the source's checksum is one pass over the stretch covered at the end, the stream's
// one pass over what each piece gave, and the destination's is folded in as the output buffer
// is flushed. What each checksum sees is exactly what a byte-by-byte replay would feed it.
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
#include <cstring>
#include <memory>

#ifdef ZEP_X86_VECTORS
#include <immintrin.h>
#endif

namespace zep {

namespace {

void passSource(const uint8_t*& source, uint32_t count, uint32_t& sourceRemaining)
{
    source += count;
    sourceRemaining -= count;
}

void consumeStream(const uint8_t*& stream, uint32_t count, size_t& streamRemaining)
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

// Whether the token would pass over no byte of either file.
bool movesNothing(const Token& token, uint32_t sourceRemaining, uint32_t destRemaining)
{
    switch (token.op) {
    case OP_COPY:
        return std::min({token.length, sourceRemaining, destRemaining}) == 0;
    case OP_SKIP:
        return std::min(token.length, sourceRemaining) == 0;
    case OP_INSERT:
        return std::min(token.length, destRemaining) == 0;
    default:
        return groupPositions(sourceRemaining, destRemaining) == 0;
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
bool wholeBlockFits(OutputBuffer& out, size_t streamRemaining, uint32_t sourceRemaining,
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

StreamReplay::StreamReplay(ReplayTarget& to, const RecordHeader& header, const FileSlot& source,
                           bool standstillEnds)
    : to_(to), source_(source.view), sourceStart_(source.view), standstillEnds_(standstillEnds)
{
    to.crcs = RunningCrcs{};
    to.out.reset();
    const uint32_t sourceSize = header.field32(HEADER_SOURCE_SIZE);
    const uint32_t destSize = header.field32(HEADER_DEST_SIZE);
    sourceRemaining_ = static_cast<uint32_t>(std::min<uint64_t>(sourceSize, source.viewLength));
    destRemaining_ = destSize;
    to.out.checksumOnFlush(&to.crcs.dest);
    to.progress.start(uint64_t{sourceSize} + destSize);
}

size_t StreamReplay::feed(const uint8_t* stream, size_t length, bool last)
{
    const uint8_t* const start = stream;
    // An insertion that began in an earlier piece goes on with this one's first bytes.
    if (insertLeft_ != 0 && length != 0) {
        const auto count = static_cast<uint32_t>(std::min<size_t>(insertLeft_, length));
        opRoutines[OP_INSERT](to_, source_, stream, sourceRemaining_, destRemaining_, count);
        insertLeft_ -= count;
        stream += count;
    }
    size_t streamRemaining = length - static_cast<size_t>(stream - start);
    Progress& progress = to_.progress;
    while (streamRemaining != 0 && insertLeft_ == 0 && !ended_) {
        progress.show(sourceRemaining_, destRemaining_);
        if (isDifferenceBlock(stream[0])) {
            if (streamRemaining < 2)
                break;
            const uint16_t bitmap = blockBitmap(stream[0], stream[1]);
#ifdef ZEP_X86_VECTORS
            // Away from every end, blocks are replayed straight into the output buffer with
            // 16-byte loads and stores, one after another for as long as the progress line
            // would not change (each block passes 30 bytes of the total).
            OutputBuffer& out = to_.out;
            if (cpuFeatures().shuffle &&
                wholeBlockFits(out, streamRemaining, sourceRemaining_, destRemaining_)) {
                constexpr uint64_t kBlockProgress = uint64_t{2} * kGroupWidth;
                uint64_t quiet = progress.quietFor(sourceRemaining_, destRemaining_);
                uint16_t next = bitmap;
                do {
                    const uint32_t used =
                        replayWholeBlock(source_, next, stream + 2, out.room(kGroupWidth + 1));
                    out.commit(to_.file, kGroupWidth);
                    passSource(source_, kGroupWidth, sourceRemaining_);
                    destRemaining_ -= kGroupWidth;
                    consumeStream(stream, 2 + used, streamRemaining);
                    if (quiet <= kBlockProgress || !isDifferenceBlock(stream[0]) ||
                        !wholeBlockFits(out, streamRemaining, sourceRemaining_, destRemaining_))
                        break;
                    quiet -= kBlockProgress;
                    next = blockBitmap(stream[0], stream[1]);
                } while (true);
                continue;
            }
#endif
            // Only near the piece's end can a block's deltas run past it.
            if (streamRemaining - 2 < kGroupWidth &&
                blockDeltas(bitmap, groupPositions(sourceRemaining_, destRemaining_)) >
                    streamRemaining - 2)
                break;
            if (standstillEnds_ && groupPositions(sourceRemaining_, destRemaining_) == 0) {
                ended_ = true;
                break;
            }
            const uint32_t used = replayDifferenceBlock(to_, source_, bitmap, stream + 2,
                                                        sourceRemaining_, destRemaining_);
            consumeStream(stream, 2 + used, streamRemaining);
            continue;
        }
        Token token;
        if (!readToken(stream, streamRemaining, token))
            break;
        const uint32_t operand = operandBytes(token, destRemaining_);
        // An insertion whose bytes run past this piece goes on in the next one; any other
        // instruction waits for the piece that holds it whole.
        const bool continues = !last && token.op == OP_INSERT;
        if (operand > streamRemaining - token.size && !continues)
            break;
        const auto available =
            static_cast<uint32_t>(std::min<size_t>(operand, streamRemaining - token.size));
        const uint32_t n = token.op == OP_INSERT ? available : token.length;
        // Steps that move neither file cost time and tell nothing: where they are not part of
        // a stored stream's meaning, the first one ends the replay.
        if (standstillEnds_ && movesNothing(token, sourceRemaining_, destRemaining_)) {
            ended_ = true;
            break;
        }
        consumeStream(stream, token.size, streamRemaining);
        const uint32_t used =
            opRoutines[token.op](to_, source_, stream, sourceRemaining_, destRemaining_, n);
        consumeStream(stream, used, streamRemaining);
        if (token.op == OP_INSERT)
            insertLeft_ = operand - available;
    }
    const auto consumed = static_cast<size_t>(stream - start);
    to_.crcs.stream = crcBlock(start, consumed, to_.crcs.stream);
    return consumed;
}

void StreamReplay::finish()
{
    to_.out.flush(to_.file);
    to_.out.checksumOnFlush(nullptr);
    to_.crcs.source =
        crcBlock(sourceStart_, static_cast<size_t>(source_ - sourceStart_), to_.crcs.source);
    to_.progress.show(0, 0);
    to_.progress.endLine();
}

void interpretStream(ReplayTarget& to, const RecordHeader& header, const FileSlot& source,
                     const uint8_t* stream, uint32_t streamLength, const uint8_t*& streamEnd)
{
    StreamReplay replay(to, header, source, false);
    streamEnd = stream + replay.feed(stream, streamLength, true);
    replay.finish();
}

bool interpretCompact(ReplayTarget& to, const RecordHeader& header, const FileSlot& source,
                      CompactReader& reader, size_t pieceSize)
{
    StreamReplay replay(to, header, source, true);
    const std::unique_ptr<uint8_t[]> piece(new uint8_t[pieceSize]);
    // What a piece leaves unused is at most an instruction cut short (kMaxBlockSize - 1 bytes),
    // which goes in front of the next piece; so every round reads or replays something.
    size_t held = 0;
    for (bool last = false; !last && !replay.ended();) {
        const size_t read = reader.read(piece.get() + held, pieceSize - held);
        held += read;
        last = reader.atEnd();
        const size_t used = replay.feed(piece.get(), held, last);
        std::memmove(piece.get(), piece.get() + used, held - used);
        held -= used;
        if (read == 0 && used == 0 && !last)
            break;
    }
    replay.finish();
    return reader.complete() && held == 0 && !replay.ended() && !replay.midInstruction();
}

}  // namespace zep
