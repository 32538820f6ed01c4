// Placing, checking and reading the pieces of a compact stream through libzstd.
#include "format/stored_pieces.h"

#include "common/byte_order.h"
#include "format/compact_stream.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <zstd_errors.h>

namespace zep {

namespace {

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

// The largest window a frame of the piece may ask for: no more than zep's writer asks for, so
// that a record's memory on apply stays what a sound record of its sizes needs. A piece that
// refers to the source needs a window over the source and itself (the writer's exact choice);
// any other piece is written at a level whose window is 8 MiB at most.
uint64_t largestWindow(const StoredPiece& piece, uint32_t sourceSize)
{
    constexpr uint64_t kPlainPieceWindow = uint64_t{8} << 20;
    if (!piece.reference)
        return kPlainPieceWindow;
    const uint64_t covered = std::max<uint64_t>(uint64_t{sourceSize} + piece.plain, 1024);
    return std::min(std::bit_ceil(covered), uint64_t{1} << kMaxCompactWindowLog);
}

// A frame piece must be exactly one plain zstd frame of its recorded plain length, whose window
// is no larger than zep writes.
bool isSoundFrame(const StoredPiece& piece, uint32_t sourceSize)
{
    const uint64_t window = frameWindow(piece.bytes, piece.stored, piece.plain);
    return piece.plain <= uint64_t{piece.stored} * kMostPlainPerStoredByte && window != 0 &&
           window <= largestWindow(piece, sourceSize) &&
           ZSTD_getFrameContentSize(piece.bytes, piece.stored) == piece.plain &&
           ZSTD_findFrameCompressedSize(piece.bytes, piece.stored) == piece.stored;
}

}  // namespace

bool StoredReader::length(uint32_t& value)
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

bool placePieces(const StoredReader& reader, std::vector<StoredPiece>& pieces, uint32_t sourceSize)
{
    uint64_t storedTotal = 0;
    for (StoredPiece& piece : pieces) {
        piece.bytes = reader.at + storedTotal;
        storedTotal += piece.stored;
        if (storedTotal > reader.left)
            return false;
        // A frame is exactly one frame: zstd would also decode frames that follow it.
        if (piece.isFrame() && !isSoundFrame(piece, sourceSize))
            return false;
    }
    return storedTotal == reader.left;
}

std::unique_ptr<ZSTD_DCtx, FreeDCtx> newDecoder()
{
    std::unique_ptr<ZSTD_DCtx, FreeDCtx> context(ZSTD_createDCtx());
    if (context == nullptr)
        failSilently(Status::NO_MEMORY);
    checkedZstd(ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, kMaxCompactWindowLog));
    return context;
}

void PieceSource::start(const StoredPiece& piece, const uint8_t* prefix, size_t prefixLength)
{
    if (!piece.isFrame()) {
        at_ = piece.bytes;
        available_ = piece.plain;
        frameEnded_ = true;
        return;
    }
    context_ = newDecoder();
    if (piece.reference)
        checkedZstd(ZSTD_DCtx_refPrefix(context_.get(), prefix, prefixLength));
    in_ = {piece.bytes, piece.stored, 0};
    buffer_.reset(new uint8_t[kPieceBuffer]);
    at_ = buffer_.get();
}

size_t PieceSource::peek(size_t want)
{
    while (available_ < want && refill()) {
    }
    return std::min(available_, want);
}

size_t PieceSource::take(uint8_t* out, size_t count)
{
    size_t taken = 0;
    while (taken < count && (available_ != 0 || refill())) {
        const size_t now = std::min(available_, count - taken);
        std::memcpy(out + taken, at_, now);
        skip(now);
        taken += now;
    }
    return taken;
}

bool PieceSource::usedUp()
{
    return peek(1) == 0 && frameEnded_ && !damaged_;
}

bool PieceSource::refill()
{
    if (frameEnded_ || damaged_)
        return false;
    std::memmove(buffer_.get(), at_, available_);
    at_ = buffer_.get();
    ZSTD_outBuffer out = {buffer_.get(), kPieceBuffer, available_};
    while (out.pos == available_ && !frameEnded_) {
        const size_t result = ZSTD_decompressStream(context_.get(), &out, &in_);
        if (ZSTD_isError(result)) {
            if (ZSTD_getErrorCode(result) == ZSTD_error_memory_allocation)
                failSilently(Status::NO_MEMORY);
            damaged_ = true;
            break;
        }
        frameEnded_ = result == 0;
        // A frame whose stored bytes end before the frame does; the layout check makes
        // this impossible, and a decoder that asks for more would otherwise spin here.
        if (!frameEnded_ && out.pos == available_ && in_.pos == in_.size) {
            damaged_ = true;
            break;
        }
    }
    const bool more = out.pos > available_;
    available_ = out.pos;
    return more;
}

// A whole piece in memory, for the destination form, whose rebuilding needs its two parts at
// once; the layout check keeps it small.
bool decodeWhole(const StoredPiece& piece, const uint8_t* prefix, size_t prefixLength,
                 std::vector<uint8_t>& out)
{
    out.resize(piece.plain);
    if (!piece.isFrame()) {
        std::copy_n(piece.bytes, piece.plain, out.data());
        return true;
    }
    const std::unique_ptr<ZSTD_DCtx, FreeDCtx> context = newDecoder();
    if (piece.reference)
        checkedZstd(ZSTD_DCtx_refPrefix(context.get(), prefix, prefixLength));
    const size_t length =
        ZSTD_decompressDCtx(context.get(), out.data(), out.size(), piece.bytes, piece.stored);
    return !ZSTD_isError(length) && length == piece.plain;
}

}  // namespace zep
