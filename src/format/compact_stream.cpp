// Packing a plain stream into its compact form and unpacking it again, through libzstd. Every
// length in the layout is checked against the record's sizes before anything is allocated for
// it, and every zstd frame must give exactly its recorded plain length.
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

// zstd reports a failed allocation like any other failure; on input of our own making, no
// other failure can happen.
size_t checked(size_t result)
{
    if (ZSTD_isError(result))
        failSilently(Status::NO_MEMORY);
    return result;
}

// A zstd block gives at most 128 KiB and takes at least 4 stored bytes.
constexpr uint64_t kMostPlainPerStoredByte = uint64_t{128} * 1024 / 4;
// The level of a piece compressed against a source of prefixSize bytes. Before it can refer to
// the source, zstd indexes all of it, and at level 19 that costs more than everything else a
// create does, for a few percent of a small piece's size. Where the piece is large beside the
// source, the index is a small share of the work and level 19 gains most.
int referenceLevel(uint32_t prefixSize, size_t pieceSize)
{
    return pieceSize * 8 < prefixSize ? kQuickReferenceLevel : kCompactLevel;
}

bool referencesSource(uint32_t sourceSize, size_t length)
{
    return sourceSize != 0 && length != 0 &&
           sourceSize + uint64_t{length} <= uint64_t{1} << kMaxCompactWindowLog;
}

// Compresses bytes into one piece: a zstd frame, or the bytes as they are where the frame would
// be no shorter. With a prefix, the window reaches from the end of the bytes back to its start.
std::vector<uint8_t> storePiece(ZSTD_CCtx* context, const std::vector<uint8_t>& bytes,
                                const uint8_t* prefix, uint32_t prefixSize, int level)
{
    if (bytes.empty())
        return {};
    checked(ZSTD_CCtx_reset(context, ZSTD_reset_session_and_parameters));
    if (prefix != nullptr) {
        level = std::min(level, referenceLevel(prefixSize, bytes.size()));
        const auto windowLog = static_cast<int>(std::bit_width(prefixSize + bytes.size() - 1));
        checked(ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, std::max(windowLog, 10)));
        checked(ZSTD_CCtx_refPrefix(context, prefix, prefixSize));
    }
    checked(ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, level));
    std::vector<uint8_t> frame(ZSTD_compressBound(bytes.size()));
    frame.resize(
        checked(ZSTD_compress2(context, frame.data(), frame.size(), bytes.data(), bytes.size())));
    return frame.size() < bytes.size() ? frame : bytes;
}

void putLength(std::vector<uint8_t>& out, size_t value)
{
    for (; value >= 0x80; value >>= 7)
        out.push_back(static_cast<uint8_t>(value | 0x80));
    out.push_back(static_cast<uint8_t>(value));
}

// Three pieces, the literals against the source where they can refer to it.
std::vector<uint8_t> packThreeParts(ZSTD_CCtx* context, const StreamParts& parts,
                                    const uint8_t* source, uint32_t sourceSize, int level)
{
    const bool reference = referencesSource(sourceSize, parts.literals.size());
    const std::vector<uint8_t> pieces[3] = {
        storePiece(context, parts.control, nullptr, 0, level),
        storePiece(context, parts.literals, reference ? source : nullptr, sourceSize, level),
        storePiece(context, parts.deltas, nullptr, 0, level)};
    std::vector<uint8_t> stored = {COMPACT_THREE_PARTS, reference ? COMPACT_REFERENCE : uint8_t{0}};
    const std::vector<uint8_t>* const plain[3] = {&parts.control, &parts.literals, &parts.deltas};
    for (int i = 0; i < 3; ++i) {
        putLength(stored, plain[i]->size());
        putLength(stored, pieces[i].size());
    }
    for (const std::vector<uint8_t>& piece : pieces)
        stored.insert(stored.end(), piece.begin(), piece.end());
    return stored;
}

// One piece: the control bytes followed by the destination bytes, against the source.
std::vector<uint8_t> packDestinationForm(ZSTD_CCtx* context, const DestinationForm& form,
                                         const uint8_t* source, uint32_t sourceSize, int level)
{
    std::vector<uint8_t> both = form.control;
    both.insert(both.end(), form.bytes.begin(), form.bytes.end());
    const bool reference = referencesSource(sourceSize, both.size());
    const std::vector<uint8_t> piece =
        storePiece(context, both, reference ? source : nullptr, sourceSize, level);
    std::vector<uint8_t> stored = {COMPACT_DESTINATION, reference ? COMPACT_REFERENCE : uint8_t{0}};
    putLength(stored, form.control.size());
    putLength(stored, form.bytes.size());
    putLength(stored, piece.size());
    stored.insert(stored.end(), piece.begin(), piece.end());
    return stored;
}

// Reads the stored stream front to back, never past its end.
struct StoredReader {
    const uint8_t* at;
    size_t left;

    // A LEB128 length of at most 32 bits.
    bool length(uint32_t& value)
    {
        uint64_t read = 0;
        for (int shift = 0; shift < 35; shift += 7) {
            if (left == 0)
                return false;
            const uint8_t byte = *at++;
            --left;
            read |= uint64_t{byte & 0x7Fu} << shift;
            if ((byte & 0x80) == 0) {
                value = static_cast<uint32_t>(read);
                return read <= UINT32_MAX;
            }
        }
        return false;
    }
};

struct StoredPiece {
    uint32_t plain = 0;
    uint32_t stored = 0;
    bool reference = false;
    const uint8_t* bytes = nullptr;
};

// The layout block of a compact stream and where its pieces lie.
struct StoredLayout {
    uint8_t layout = 0;
    bool reference = false;
    uint32_t plainLengths[3] = {};
    std::vector<StoredPiece> pieces;
};

// The window a zstd frame asks for, from its header (RFC 8878: a magic, a descriptor byte, then
// a window byte unless the frame is one segment, whose window is its content size). Zero for
// anything but a plain frame: a skippable frame carries bytes that no reader looks at.
uint64_t frameWindow(const uint8_t* bytes, uint32_t size, uint64_t contentSize)
{
    constexpr uint32_t kFrameMagic = 0xFD2FB528;
    if (size < 6 || loadLe32(bytes) != kFrameMagic)
        return 0;
    const uint8_t descriptor = bytes[4];
    if ((descriptor & 0x20) != 0)
        return contentSize;
    const uint32_t exponent = bytes[5] >> 3;
    const uint32_t mantissa = bytes[5] & 7;
    const uint64_t base = uint64_t{1} << (10 + exponent);
    return base + base / 8 * mantissa;
}

// A frame piece must be exactly one plain zstd frame of its recorded plain length, whose window
// is no larger than zep writes: every reader can then decode it.
bool isSoundFrame(const StoredPiece& piece)
{
    const uint64_t window = frameWindow(piece.bytes, piece.stored, piece.plain);
    return piece.plain <= uint64_t{piece.stored} * kMostPlainPerStoredByte && window != 0 &&
           window <= uint64_t{1} << kMaxCompactWindowLog &&
           ZSTD_getFrameContentSize(piece.bytes, piece.stored) == piece.plain &&
           ZSTD_findFrameCompressedSize(piece.bytes, piece.stored) == piece.stored;
}

// Reads the layout block and checks every length against what a stream of the recorded sizes
// can hold: every instruction passes over at least one byte of either file and takes no more
// control bytes than it passes over; literals, deltas and destination bytes are one per
// destination byte at most. False for anything a writer could not have stored.
bool readLayout(const RecordHeader& header, const uint8_t* stored, uint32_t storedLength,
                StoredLayout& out)
{
    if (storedLength < 2)
        return false;
    out.layout = stored[0];
    out.reference = stored[1] == COMPACT_REFERENCE;
    if ((out.layout != COMPACT_THREE_PARTS && out.layout != COMPACT_DESTINATION) ||
        (stored[1] & ~COMPACT_REFERENCE) != 0)
        return false;
    const uint32_t sourceSize = header.field32(HEADER_SOURCE_SIZE);
    const uint32_t destSize = header.field32(HEADER_DEST_SIZE);
    StoredReader reader{stored + 2, storedLength - size_t{2}};
    const uint64_t sides = uint64_t{sourceSize} + destSize;
    uint32_t* const plainLengths = out.plainLengths;
    if (out.layout == COMPACT_THREE_PARTS) {
        for (int i = 0; i < 3; ++i) {
            StoredPiece piece;
            if (!reader.length(piece.plain) || !reader.length(piece.stored))
                return false;
            piece.reference = i == 1 && out.reference;
            plainLengths[i] = piece.plain;
            out.pieces.push_back(piece);
        }
        if (plainLengths[0] > sides || plainLengths[1] > destSize || plainLengths[2] > destSize)
            return false;
    } else {
        StoredPiece piece;
        // Each length may fit the sizes while their sum does not fit 32 bits.
        if (!reader.length(plainLengths[0]) || !reader.length(plainLengths[1]) ||
            !reader.length(piece.stored) || plainLengths[0] > sides || plainLengths[1] > destSize ||
            uint64_t{plainLengths[0]} + plainLengths[1] > UINT32_MAX)
            return false;
        piece.plain = plainLengths[0] + plainLengths[1];
        piece.reference = out.reference;
        out.pieces.push_back(piece);
    }
    // No more than the pieces can give either: 32768 bytes for each stored byte of a frame,
    // whose header must state its plain length.
    uint64_t storedTotal = 0;
    for (StoredPiece& piece : out.pieces) {
        piece.bytes = reader.at + storedTotal;
        storedTotal += piece.stored;
        if (storedTotal > reader.left)
            return false;
        // A frame is exactly one frame: zstd would also decode frames that follow it.
        if (piece.stored != piece.plain && !isSoundFrame(piece))
            return false;
    }
    return storedTotal == reader.left;
}

// One piece into out (its plain length): raw bytes as they are, a frame through zstd in one call
// into a buffer of that length, so that zstd allocates no window of its own, whatever window the
// frame asks for, and never writes past the buffer.
bool decodePiece(ZSTD_DCtx* context, const StoredPiece& piece, const uint8_t* prefix,
                 size_t prefixLength, std::vector<uint8_t>& out)
{
    out.resize(piece.plain);
    if (piece.stored == piece.plain) {
        if (piece.plain != 0)
            std::copy_n(piece.bytes, piece.plain, out.data());
        return true;
    }
    if (piece.reference)
        checked(ZSTD_DCtx_refPrefix(context, prefix, prefixLength));
    const size_t length =
        ZSTD_decompressDCtx(context, out.data(), out.size(), piece.bytes, piece.stored);
    return !ZSTD_isError(length) && length == piece.plain;
}

}  // namespace

std::vector<uint8_t> packStream(const uint8_t* stream, size_t length, const uint8_t* source,
                                uint32_t sourceSize, uint32_t destSize)
{
    const std::unique_ptr<ZSTD_CCtx, FreeCCtx> context(ZSTD_createCCtx());
    if (context == nullptr)
        failSilently(Status::NO_MEMORY);
    StreamParts parts;
    splitStream(stream, length, parts);
    DestinationForm form;
    if (length > kDestinationFormLimit ||
        !toDestinationForm(stream, length, {source, sourceSize, destSize}, form))
        return packThreeParts(context.get(), parts, source, sourceSize, kCompactLevel);
    // Both layouts compress bytes against the source, and each such piece indexes the whole
    // source first; a quick trial of both tells which is shorter, and only that one is then
    // compressed in earnest.
    const bool destinationForm =
        packDestinationForm(context.get(), form, source, sourceSize, kTrialLevel).size() <
        packThreeParts(context.get(), parts, source, sourceSize, kTrialLevel).size();
    return destinationForm
               ? packDestinationForm(context.get(), form, source, sourceSize, kCompactLevel)
               : packThreeParts(context.get(), parts, source, sourceSize, kCompactLevel);
}

Unpacked unpackStream(const RecordHeader& header, const uint8_t* stored, uint32_t storedLength,
                      const uint8_t* source, uint32_t sourceLength, std::vector<uint8_t>& stream)
{
    stream.clear();
    const uint32_t sourceSize = header.field32(HEADER_SOURCE_SIZE);
    const uint32_t destSize = header.field32(HEADER_DEST_SIZE);
    const size_t prefixLength = std::min(sourceSize, sourceLength);
    const auto wrongSourceOr = [&](bool usesSource) {
        stream.clear();
        // Pieces stored against another source come out wrong however sound the record is;
        // that is the source's fault, as with a plain record whose copies read the wrong bytes.
        if (usesSource && (sourceLength < sourceSize || crcBlock(source, prefixLength, crcInit()) !=
                                                            header.field32(HEADER_SOURCE_CRC)))
            return Unpacked::WRONG_SOURCE;
        return Unpacked::BROKEN;
    };
    StoredLayout stored_;
    if (!readLayout(header, stored, storedLength, stored_))
        return Unpacked::BROKEN;
    const uint8_t layout = stored_.layout;
    const bool reference = stored_.reference;
    const std::vector<StoredPiece>& pieces = stored_.pieces;
    const uint32_t* plainLengths = stored_.plainLengths;

    const std::unique_ptr<ZSTD_DCtx, FreeDCtx> context(ZSTD_createDCtx());
    if (context == nullptr)
        failSilently(Status::NO_MEMORY);
    checked(ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, kMaxCompactWindowLog));
    bool rebuilt = false;
    if (layout == COMPACT_THREE_PARTS) {
        StreamParts parts;
        std::vector<uint8_t>* const plain[3] = {&parts.control, &parts.literals, &parts.deltas};
        rebuilt = true;
        for (int i = 0; i < 3 && rebuilt; ++i)
            rebuilt = decodePiece(context.get(), pieces[i], source, prefixLength, *plain[i]);
        rebuilt = rebuilt && joinStream(parts, stream);
    } else {
        std::vector<uint8_t> both;
        DestinationForm form;
        // The groups read the recorded source size from the source.
        if (sourceLength >= sourceSize &&
            decodePiece(context.get(), pieces[0], source, prefixLength, both)) {
            form.control.assign(both.begin(), both.begin() + plainLengths[0]);
            form.bytes.assign(both.begin() + plainLengths[0], both.end());
            std::vector<uint8_t>().swap(both);
            rebuilt = fromDestinationForm(form, {source, sourceSize, destSize}, stream);
        }
    }
    if (rebuilt && stream.size() <= UINT32_MAX &&
        crcBlock(stream.data(), stream.size(), crcInit()) == header.field32(HEADER_STREAM_CRC))
        return Unpacked::STREAM;
    return wrongSourceOr(layout == COMPACT_DESTINATION || reference);
}

bool compactLayoutSound(const RecordHeader& header, const uint8_t* stored, uint32_t storedLength)
{
    StoredLayout layout;
    return readLayout(header, stored, storedLength, layout);
}
