// Packing a plain stream into its compact form and unpacking it again, through libzstd. Every
// length in the layout block is checked against the record's sizes before anything is
// allocated for it, and every frame must give exactly its recorded plain length.
#include "format/compact_stream.h"

#include "common/byte_order.h"
#include "common/checksum.h"
#include "common/status.h"
#include "format/stream_parts.h"

#include <algorithm>
#include <bit>
#include <memory>
#include <zstd.h>

namespace {

struct FreeCCtx {
    void operator()(ZSTD_CCtx* context) const
    {
        ZSTD_freeCCtx(context);
    }
};
struct FreeDCtx {
    void operator()(ZSTD_DCtx* context) const
    {
        ZSTD_freeDCtx(context);
    }
};

void storeLe32(uint8_t* p, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(value >> (8 * i));
}

// zstd reports a failed allocation like any other failure; on input of our own making, no
// other failure can happen.
size_t checked(size_t result)
{
    if (ZSTD_isError(result))
        failSilently(Status::NO_MEMORY);
    return result;
}

// The window that reaches from the end of the literals back to the first source byte; zstd
// takes none below 2^10.
uint32_t windowLogFor(uint64_t span)
{
    return std::max(static_cast<uint32_t>(std::bit_width(span - 1)), uint32_t{10});
}

bool referencesSource(uint32_t sourceSize, size_t literals)
{
    return sourceSize != 0 && literals != 0 &&
           sourceSize + uint64_t{literals} <= uint64_t{1} << kMaxCompactWindowLog;
}

// Appends one part as a zstd frame (nothing for an empty part) and returns its stored length.
uint32_t appendFrame(ZSTD_CCtx* context, const std::vector<uint8_t>& part,
                     std::vector<uint8_t>& stored)
{
    if (part.empty())
        return 0;
    const size_t at = stored.size();
    stored.resize(at + ZSTD_compressBound(part.size()));
    const size_t length = checked(
        ZSTD_compress2(context, stored.data() + at, stored.size() - at, part.data(), part.size()));
    stored.resize(at + length);
    return static_cast<uint32_t>(length);
}

constexpr uint64_t kMostPlainPerStoredByte = (128 * 1024) / 4;

// One part as the layout block records it.
struct PartLayout {
    uint32_t plain;
    uint32_t stored;
};

}  // namespace

std::vector<uint8_t> packStream(const uint8_t* stream, size_t length, const uint8_t* source,
                                uint32_t sourceSize)
{
    StreamParts parts;
    splitStream(stream, length, parts);
    const std::unique_ptr<ZSTD_CCtx, FreeCCtx> context(ZSTD_createCCtx());
    if (context == nullptr)
        failSilently(Status::NO_MEMORY);
    ZSTD_CCtx* const cctx = context.get();

    std::vector<uint8_t> stored(kCompactBlockLength);
    const bool reference = referencesSource(sourceSize, parts.literals.size());
    uint32_t storedLengths[3];
    checked(ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, kCompactLevel));
    storedLengths[0] = appendFrame(cctx, parts.control, stored);
    if (reference) {
        // The prefix is forgotten after one frame; the window must reach its first byte.
        checked(ZSTD_CCtx_setParameter(
            cctx, ZSTD_c_windowLog,
            static_cast<int>(windowLogFor(sourceSize + uint64_t{parts.literals.size()}))));
        checked(ZSTD_CCtx_refPrefix(cctx, source, sourceSize));
    }
    storedLengths[1] = appendFrame(cctx, parts.literals, stored);
    checked(ZSTD_CCtx_reset(cctx, ZSTD_reset_parameters));
    checked(ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, kCompactLevel));
    storedLengths[2] = appendFrame(cctx, parts.deltas, stored);

    stored[COMPACT_LAYOUT] = kCompactLayout;
    stored[COMPACT_REFERENCE] = reference ? 1 : 0;
    stored[COMPACT_RESERVED] = 0;
    stored[COMPACT_RESERVED + 1] = 0;
    const std::vector<uint8_t>* const plain[3] = {&parts.control, &parts.literals, &parts.deltas};
    for (uint32_t i = 0; i < 3; ++i) {
        storeLe32(stored.data() + COMPACT_PARTS + 8 * i, static_cast<uint32_t>(plain[i]->size()));
        storeLe32(stored.data() + COMPACT_PARTS + 8 * i + 4, storedLengths[i]);
    }
    return stored;
}

Unpacked unpackStream(const RecordHeader& header, const uint8_t* stored, uint32_t storedLength,
                      const uint8_t* source, uint32_t sourceLength, std::vector<uint8_t>& stream)
{
    stream.clear();
    if (storedLength < kCompactBlockLength || stored[COMPACT_LAYOUT] != kCompactLayout ||
        stored[COMPACT_REFERENCE] > 1 || stored[COMPACT_RESERVED] != 0 ||
        stored[COMPACT_RESERVED + 1] != 0)
        return Unpacked::BROKEN;
    const bool reference = stored[COMPACT_REFERENCE] == 1;
    PartLayout layout[3];
    uint64_t storedTotal = kCompactBlockLength;
    uint64_t plainTotal = 0;
    for (uint32_t i = 0; i < 3; ++i) {
        layout[i] = {loadLe32(stored + COMPACT_PARTS + 8 * i),
                     loadLe32(stored + COMPACT_PARTS + 8 * i + 4)};
        storedTotal += layout[i].stored;
        plainTotal += layout[i].plain;
        // A part is a frame exactly when it has bytes.
        if ((layout[i].plain == 0) != (layout[i].stored == 0))
            return Unpacked::BROKEN;
    }
    // What a stream of the recorded sizes can hold: every instruction passes over at least one
    // byte of either file, and its control bytes are never more than the bytes it passes over;
    // literals and deltas are one per destination byte at most.
    const uint64_t sourceSize = header.field32(HEADER_SOURCE_SIZE);
    const uint64_t destSize = header.field32(HEADER_DEST_SIZE);
    if (storedTotal != storedLength || plainTotal > UINT32_MAX ||
        layout[0].plain > sourceSize + destSize || layout[1].plain > destSize ||
        layout[2].plain > destSize)
        return Unpacked::BROKEN;
    // Nor more than the frames can give: a zstd block gives at most 128 KiB and takes at least
    // 4 stored bytes, and each of our frames states its plain length. So a damaged record never
    // makes us allocate more than 32768 bytes for each byte it has.
    const uint8_t* frame = stored + kCompactBlockLength;
    for (const PartLayout& part : layout) {
        if (part.plain > uint64_t{part.stored} * kMostPlainPerStoredByte ||
            (part.stored != 0 && ZSTD_getFrameContentSize(frame, part.stored) != part.plain))
            return Unpacked::BROKEN;
        frame += part.stored;
    }

    const std::unique_ptr<ZSTD_DCtx, FreeDCtx> context(ZSTD_createDCtx());
    if (context == nullptr)
        failSilently(Status::NO_MEMORY);
    ZSTD_DCtx* const dctx = context.get();
    checked(ZSTD_DCtx_setParameter(dctx, ZSTD_d_windowLogMax, kMaxCompactWindowLog));
    StreamParts parts;
    std::vector<uint8_t>* const plain[3] = {&parts.control, &parts.literals, &parts.deltas};
    frame = stored + kCompactBlockLength;
    bool decoded = true;
    for (uint32_t i = 0; i < 3 && decoded; ++i) {
        plain[i]->resize(layout[i].plain);
        if (layout[i].plain == 0)
            continue;
        if (i == 1 && reference)
            checked(
                ZSTD_DCtx_refPrefix(dctx, source, std::min<uint64_t>(sourceSize, sourceLength)));
        // Decoded in one call into a buffer of the recorded length: zstd allocates no window of
        // its own, whatever window the frame asks for, and never writes past the buffer.
        const size_t length =
            ZSTD_decompressDCtx(dctx, plain[i]->data(), plain[i]->size(), frame, layout[i].stored);
        decoded = !ZSTD_isError(length) && length == layout[i].plain;
        frame += layout[i].stored;
    }
    if (decoded && joinStream(parts, stream) &&
        crcBlock(stream.data(), stream.size(), crcInit()) == header.field32(HEADER_STREAM_CRC))
        return Unpacked::STREAM;
    stream.clear();
    // Literals made against another source come out wrong however sound the record is; that
    // is the source's fault, as with a plain record whose copies read the wrong bytes.
    const uint32_t sourceCrc = crcBlock(
        source, static_cast<size_t>(std::min<uint64_t>(sourceSize, sourceLength)), crcInit());
    if (reference && sourceCrc != header.field32(HEADER_SOURCE_CRC))
        return Unpacked::WRONG_SOURCE;
    return Unpacked::BROKEN;
}
