// The instruction interpreter on an arbitrary stream against an arbitrary source, checked
// against a byte-at-a-time replay written straight from the format's rules: both must consume
// the same stream bytes and see the same bytes in all three checksums. Buffers are exact-size
// heap copies, so a read one byte past the source or the stream is a sanitizer report.
//
// Input: recorded source size (4 bytes), recorded destination size (4), source bytes present
// (2), bytes the recorded stream length claims beyond the stream (1), the source, the stream.
#include "common/byte_order.h"
#include "common/checksum.h"
#include "common/output_buffer.h"
#include "decoder/instruction_interpreter.h"
#include "format/instruction_stream.h"
#include "harness.h"

#include <algorithm>
#include <memory>

// The library's own units.
using namespace zep;

namespace {

struct Replay {
    uint32_t source = crcInit(), dest = crcInit(), stream = crcInit();
    size_t consumed = 0;
};

Replay replayByteAtATime(const uint8_t* source, uint32_t sourceRemaining, uint32_t destRemaining,
                         const uint8_t* stream, size_t streamLength)
{
    Replay r;
    size_t at = 0;
    const auto pass = [&] {
        const uint8_t byte = *source++;
        r.source = crcUpdate(byte, r.source);
        --sourceRemaining;
        return byte;
    };
    const auto write = [&](uint8_t byte) {
        r.dest = crcUpdate(byte, r.dest);
        --destRemaining;
    };
    const auto consume = [&](size_t count) {
        for (size_t i = 0; i < count; ++i)
            r.stream = crcUpdate(stream[at + i], r.stream);
        at += count;
    };
    while (at < streamLength) {
        const size_t left = streamLength - at;
        if ((stream[at] & 0x80) == 0) {
            if (left < 2)
                break;
            const uint32_t bitmap = (uint32_t{stream[at]} << 8) | stream[at + 1];
            const uint32_t positions = std::min({15u, sourceRemaining, destRemaining});
            uint32_t needed = 0;
            for (uint32_t k = 0; k < positions; ++k)
                needed += (bitmap >> k) & 1;
            if (needed > left - 2)
                break;
            const uint8_t* deltas = stream + at + 2;
            for (uint32_t k = 0; k < positions; ++k) {
                uint8_t byte = pass();
                if ((bitmap >> k) & 1)
                    byte = static_cast<uint8_t>(byte + *deltas++);
                write(byte);
            }
            consume(2 + needed);
            continue;
        }
        Token token;
        if (!readToken(stream + at, left, token))
            break;
        const uint32_t n = token.length;
        const size_t operand = token.op == OP_INSERT ? std::min(n, destRemaining)
                               : token.op == OP_POKE ? 1
                                                     : 0;
        if (operand > left - token.size)
            break;
        consume(token.size);
        if (token.op == OP_COPY) {
            for (uint32_t i = 0; i < n && sourceRemaining != 0 && destRemaining != 0; ++i)
                write(pass());
        } else if (token.op == OP_SKIP) {
            for (uint32_t i = 0; i < n && sourceRemaining != 0; ++i)
                pass();
        } else if (token.op == OP_INSERT) {
            for (size_t i = 0; i < operand; ++i)
                write(stream[at + i]);
            consume(operand);
        } else {
            for (uint32_t k = 1; k <= 15 && sourceRemaining != 0 && destRemaining != 0; ++k) {
                const uint8_t byte = pass();
                write(k == n ? static_cast<uint8_t>(byte + stream[at]) : byte);
            }
            consume(1);
        }
    }
    r.consumed = at;
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 11)
        return 0;
    const uint32_t sourceSize = loadLe32(data);
    const uint32_t destSize = loadLe32(data + 4);
    const size_t sourceLength = std::min<size_t>(data[8] | (data[9] << 8), size - 11);
    const uint32_t streamExtra = data[10];
    const uint8_t* sourceBytes = data + 11;
    const uint8_t* streamBytes = sourceBytes + sourceLength;
    const size_t streamLength = size - 11 - sourceLength;

    RecordHeader header = buildRecordHeader("a", "b");
    header.setField32(HEADER_SOURCE_SIZE, sourceSize);
    header.setField32(HEADER_DEST_SIZE, destSize);
    header.setField32(HEADER_STREAM_LENGTH, static_cast<uint32_t>(streamLength) + streamExtra);
    const size_t headerLength = header.length;
    const std::unique_ptr<uint8_t[]> source(new uint8_t[sourceLength]);
    std::copy(sourceBytes, sourceBytes + sourceLength, source.get());
    const std::unique_ptr<uint8_t[]> diff(new uint8_t[headerLength + streamLength]);
    std::copy(header.bytes, header.bytes + headerLength, diff.get());
    std::copy(streamBytes, streamBytes + streamLength, diff.get() + headerLength);

    const Report quiet;
    RunFiles files;
    files.source.view = source.get();
    files.source.viewLength = sourceLength;
    openNullSink(files.target);
    ReplayTarget to(files.target, quiet);
    const RunningCrcs& crcs = to.crcs;
    const uint8_t* end = nullptr;
    // As apply does, up to the recorded length or the file's end, whichever comes first.
    interpretStream(to, header, files.source, diff.get() + headerLength,
                    static_cast<uint32_t>(streamLength), end);
    // The view is heap memory, not a mapping: nothing may unmap it.
    files.source = FileSlot{};

    const Replay expected = replayByteAtATime(
        source.get(), static_cast<uint32_t>(std::min<size_t>(sourceSize, sourceLength)), destSize,
        diff.get() + headerLength, streamLength);
    if (static_cast<size_t>(end - diff.get()) != headerLength + expected.consumed ||
        crcs.source != expected.source || crcs.dest != expected.dest ||
        crcs.stream != expected.stream || to.out.fill() != 0)
        std::abort();
    return 0;
}
