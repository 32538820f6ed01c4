// The instruction interpreter. Stretches are copied whole, and no instruction computes a
// checksum: the source is passed over strictly in order and the stream consumed strictly in
// order, so their checksums are one pass each over the stretch covered at the end, and the
// destination's is folded in as the output buffer is flushed. What each checksum sees is
// exactly what a byte-by-byte replay would feed it.
#include "decoder/instruction_interpreter.h"

#include "common/checksum.h"
#include "common/file_layer.h"
#include "common/output_buffer.h"
#include "common/progress.h"
#include "format/instruction_stream.h"
#include "format/record_header.h"

#include <algorithm>
#include <bit>
#include <cstdio>

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

uint32_t copyRoutine(const uint8_t*& source, const uint8_t*, uint32_t& sourceRemaining,
                     uint32_t& destRemaining, uint32_t n)
{
    const uint32_t count = std::min({n, sourceRemaining, destRemaining});
    writeRaw(targetSlot, source, count);
    passSource(source, count, sourceRemaining);
    destRemaining -= count;
    return 0;
}

uint32_t skipRoutine(const uint8_t*& source, const uint8_t*, uint32_t& sourceRemaining, uint32_t&,
                     uint32_t n)
{
    passSource(source, std::min(n, sourceRemaining), sourceRemaining);
    return 0;
}

uint32_t insertRoutine(const uint8_t*&, const uint8_t* operand, uint32_t&, uint32_t& destRemaining,
                       uint32_t n)
{
    const uint32_t count = std::min(n, destRemaining);
    writeRaw(targetSlot, operand, count);
    destRemaining -= count;
    return count;  // literal bytes beyond the destination's end stay unconsumed
}

uint32_t pokeRoutine(const uint8_t*& source, const uint8_t* operand, uint32_t& sourceRemaining,
                     uint32_t& destRemaining, uint32_t n)
{
    const uint32_t count = groupPositions(sourceRemaining, destRemaining);
    uint8_t bytes[kGroupWidth];
    std::copy(source, source + count, bytes);
    if (n >= 1 && n <= count)
        bytes[n - 1] = static_cast<uint8_t>(bytes[n - 1] + *operand);
    writeRaw(targetSlot, bytes, count);
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

}  // namespace

const OpRoutine opRoutines[4] = {copyRoutine, skipRoutine, insertRoutine, pokeRoutine};

uint32_t replayDifferenceBlock(const uint8_t*& source, uint16_t bitmap, const uint8_t* deltas,
                               uint32_t& sourceRemaining, uint32_t& destRemaining)
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
    writeRaw(targetSlot, bytes, count);
    passSource(source, count, sourceRemaining);
    destRemaining -= count;
    return used;
}

void interpretStream(const uint8_t* source, const uint8_t* record, const uint8_t*& streamEnd)
{
    resetRunningCrcs();
    resetOutput();
    const uint32_t sourceSize = headerField32(HEADER_SOURCE_SIZE);
    const uint32_t destSize = headerField32(HEADER_DEST_SIZE);
    uint32_t sourceRemaining =
        static_cast<uint32_t>(std::min<uint64_t>(sourceSize, sourceSlot.viewLength));
    uint32_t destRemaining = destSize;

    const uint8_t* stream = record + currentHeader.length;
    const uint64_t recordOffset = static_cast<uint64_t>(record - diffSlot.view);
    const uint64_t mappedBehindHeader =
        diffSlot.viewLength > recordOffset + currentHeader.length
            ? diffSlot.viewLength - recordOffset - currentHeader.length
            : 0;
    uint32_t streamRemaining = static_cast<uint32_t>(
        std::min<uint64_t>(headerField32(HEADER_STREAM_LENGTH), mappedBehindHeader));

    const uint8_t* const sourceStart = source;
    const uint8_t* const streamStart = stream;
    checksumOnFlush(&destCrc);
    startProgress(uint64_t{sourceSize} + destSize);
    while (streamRemaining != 0) {
        showProgress(sourceRemaining, destRemaining);
        if (isDifferenceBlock(stream[0])) {
            if (streamRemaining < 2)
                break;
            const uint16_t bitmap = blockBitmap(stream[0], stream[1]);
            // Only near the stream's end can a block's deltas run past it.
            if (streamRemaining - 2 < kGroupWidth &&
                blockDeltas(bitmap, groupPositions(sourceRemaining, destRemaining)) >
                    streamRemaining - 2)
                break;
            const uint32_t used =
                replayDifferenceBlock(source, bitmap, stream + 2, sourceRemaining, destRemaining);
            consumeStream(stream, 2 + used, streamRemaining);
            continue;
        }
        Token token;
        if (!readToken(stream, streamRemaining, token) ||
            operandBytes(token, destRemaining) > streamRemaining - token.size)
            break;
        consumeStream(stream, token.size, streamRemaining);
        const uint32_t used =
            opRoutines[token.op](source, stream, sourceRemaining, destRemaining, token.length);
        consumeStream(stream, used, streamRemaining);
    }
    flushOutput(targetSlot);
    checksumOnFlush(nullptr);
    sourceCrc = crcBlock(sourceStart, static_cast<size_t>(source - sourceStart), sourceCrc);
    streamCrc = crcBlock(streamStart, static_cast<size_t>(stream - streamStart), streamCrc);
    showProgress(0, 0);
    std::fputs("\n", stderr);
    streamEnd = stream;
}
