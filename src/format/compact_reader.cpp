// Checking a compact layout and rebuilding its plain stream through libzstd's streaming decoder.
// Every length in the layout is checked against the record's sizes before anything is allocated
// for it, every frame must be exactly one frame of its recorded plain length, and the three
// parts are interleaved back into the stream as it is read.
#include "format/compact_reader.h"

#include "common/byte_order.h"
#include "common/checksum.h"
#include "format/compact_stream.h"
#include "format/instruction_stream.h"
#include "format/stream_parts.h"
#include "format/zstd_support.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <zstd_errors.h>

namespace {

// A zstd block gives at most 128 KiB and takes at least 4 stored bytes.
constexpr uint64_t kMostPlainPerStoredByte = uint64_t{128} * 1024 / 4;
// Decoded bytes of a frame waiting to be read, per piece.
constexpr size_t kPieceBuffer = size_t{64} * 1024;

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

    bool isFrame() const
    {
        return stored != plain;
    }
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

// Reads the layout block and checks every length against what a stream of the recorded sizes
// can hold: every instruction passes over at least one byte of either file and takes no more
// control bytes than it passes over; a literal or a delta byte makes one destination byte at
// least, so the two parts together hold no more than the destination size. A destination form
// is at most eight times the longest plain stream a writer stores that way. False for
// anything a writer could not have stored.
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
    uint32_t* const plain = out.plainLengths;
    if (out.layout == COMPACT_THREE_PARTS) {
        for (int i = 0; i < 3; ++i) {
            StoredPiece piece;
            if (!reader.length(piece.plain) || !reader.length(piece.stored))
                return false;
            piece.reference = i == 1 && out.reference;
            plain[i] = piece.plain;
            out.pieces.push_back(piece);
        }
        const uint64_t sides = uint64_t{sourceSize} + destSize;
        const uint64_t destinationBytes = uint64_t{plain[1]} + plain[2];
        if (plain[0] > sides || destinationBytes > destSize)
            return false;
    } else {
        StoredPiece piece;
        if (!reader.length(plain[0]) || !reader.length(plain[1]) || !reader.length(piece.stored) ||
            plain[0] > uint64_t{sourceSize} + destSize || plain[1] > destSize ||
            uint64_t{plain[0]} + plain[1] > uint64_t{8} * kDestinationFormLimit)
            return false;
        piece.plain = plain[0] + plain[1];
        piece.reference = out.reference;
        out.pieces.push_back(piece);
    }
    uint64_t storedTotal = 0;
    for (StoredPiece& piece : out.pieces) {
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

// One piece, read as it is decoded: stored bytes straight from the record, a frame through a
// streaming decoder whose memory is its window (at most the piece's plain length).
class PieceSource {
  public:
    void start(const StoredPiece& piece, const uint8_t* prefix, size_t prefixLength)
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
    // Makes up to want bytes (at most kMaxBlockSize) readable in one run at data(); returns how
    // many are: fewer only at the piece's end or where it is damaged.
    size_t peek(size_t want)
    {
        while (available_ < want && refill()) {
        }
        return std::min(available_, want);
    }
    const uint8_t* data() const
    {
        return at_;
    }
    void skip(size_t count)
    {
        at_ += count;
        available_ -= count;
    }
    // Copies up to count bytes to out; fewer only at the piece's end or where it is damaged.
    size_t take(uint8_t* out, size_t count)
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
    // True when every plain byte was read and the frame ended where it should.
    bool usedUp()
    {
        return peek(1) == 0 && frameEnded_ && !damaged_;
    }
    bool damaged() const
    {
        return damaged_;
    }

  private:
    // Decodes more into the buffer, behind what is still unread; false when nothing more comes.
    bool refill()
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

    std::unique_ptr<ZSTD_DCtx, FreeDCtx> context_;
    ZSTD_inBuffer in_ = {};
    std::unique_ptr<uint8_t[]> buffer_;
    const uint8_t* at_ = nullptr;
    size_t available_ = 0;
    bool frameEnded_ = false;
    bool damaged_ = false;
};

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

}  // namespace

struct CompactReader::State {
    State(const RecordHeader& recordHeader, const uint8_t* recordSource, uint32_t length)
        : header(recordHeader), source(recordSource), sourceLength(length)
    {
    }
    const RecordHeader& header;
    const uint8_t* source;
    uint32_t sourceLength;
    StoredLayout layout;
    bool ended = false;
    bool failed = false;
    // Three parts: the pieces, and the literal or delta bytes the instruction read last still
    // owes the stream.
    PieceSource control, literals, deltas;
    uint32_t literalsOwed = 0;
    uint32_t deltasOwed = 0;
    // Destination form: the whole stream, handed out from rebuilt[handedOut].
    std::vector<uint8_t> rebuilt;
    size_t handedOut = 0;

    size_t prefixLength() const
    {
        return std::min(header.field32(HEADER_SOURCE_SIZE), sourceLength);
    }
    size_t readThreeParts(uint8_t* out, size_t room);
};

CompactReader::CompactReader(const RecordHeader& header, const uint8_t* source,
                             uint32_t sourceLength)
    : state_(std::make_unique<State>(header, source, sourceLength))
{
}

CompactReader::~CompactReader() = default;

bool CompactReader::open(const uint8_t* stored, uint32_t storedLength)
{
    State& state = *state_;
    if (!readLayout(state.header, stored, storedLength, state.layout))
        return false;
    const std::vector<StoredPiece>& pieces = state.layout.pieces;
    if (state.layout.layout == COMPACT_THREE_PARTS) {
        PieceSource* const sources[3] = {&state.control, &state.literals, &state.deltas};
        for (int i = 0; i < 3; ++i)
            sources[i]->start(pieces[i], state.source, state.prefixLength());
        return true;
    }
    // The groups read the recorded source size from the source.
    const uint32_t sourceSize = state.header.field32(HEADER_SOURCE_SIZE);
    std::vector<uint8_t> both;
    DestinationForm form;
    if (state.sourceLength < sourceSize ||
        !decodeWhole(pieces[0], state.source, state.prefixLength(), both)) {
        state.failed = true;
        return true;
    }
    const uint32_t controlLength = state.layout.plainLengths[0];
    form.control.assign(both.begin(), both.begin() + controlLength);
    form.bytes.assign(both.begin() + controlLength, both.end());
    state.failed = !fromDestinationForm(
        form, {state.source, sourceSize, state.header.field32(HEADER_DEST_SIZE)}, state.rebuilt);
    return true;
}

size_t CompactReader::State::readThreeParts(uint8_t* out, size_t room)
{
    size_t written = 0;
    while (written < room && !failed && !ended) {
        if (literalsOwed != 0 || deltasOwed != 0) {
            PieceSource& part = literalsOwed != 0 ? literals : deltas;
            uint32_t& owed = literalsOwed != 0 ? literalsOwed : deltasOwed;
            const size_t got = part.take(out + written, std::min<size_t>(owed, room - written));
            failed = got == 0;  // the part ran out before the control part said it would
            owed -= static_cast<uint32_t>(got);
            written += got;
            continue;
        }
        const size_t have = control.peek(kMaxTokenSize);
        if (have == 0) {
            // Every part must run out with the control part.
            ended = true;
            failed = !control.usedUp() || !literals.usedUp() || !deltas.usedUp();
            break;
        }
        const uint8_t* const at = control.data();
        uint32_t size = 2;
        uint32_t literalCount = 0;
        uint32_t deltaCount = 0;
        if (isDifferenceBlock(at[0])) {
            if (have < 2) {
                failed = true;
                break;
            }
            deltaCount = blockDeltaBytes(at[0], at[1]);
        } else {
            Token token;
            if (!readToken(at, have, token)) {
                failed = true;
                break;
            }
            size = token.size;
            literalCount = token.op == OP_INSERT ? token.length : 0;
            deltaCount = token.op == OP_POKE ? 1 : 0;
        }
        if (room - written < size)
            break;
        std::memcpy(out + written, at, size);
        control.skip(size);
        written += size;
        literalsOwed = literalCount;
        deltasOwed = deltaCount;
    }
    return written;
}

size_t CompactReader::read(uint8_t* out, size_t room)
{
    State& state = *state_;
    if (state.layout.layout == COMPACT_THREE_PARTS)
        return state.readThreeParts(out, room);
    if (state.failed)
        return 0;
    const size_t count = std::min(room, state.rebuilt.size() - state.handedOut);
    std::copy_n(state.rebuilt.data() + state.handedOut, count, out);
    state.handedOut += count;
    state.ended = state.handedOut == state.rebuilt.size();
    return count;
}

bool CompactReader::atEnd() const
{
    return state_->ended || state_->failed;
}

bool CompactReader::complete() const
{
    return state_->ended && !state_->failed;
}

bool CompactReader::usesSource() const
{
    return state_->layout.layout == COMPACT_DESTINATION || state_->layout.reference;
}

bool compactLayoutSound(const RecordHeader& header, const uint8_t* stored, uint32_t storedLength)
{
    StoredLayout layout;
    return readLayout(header, stored, storedLength, layout);
}

Unpacked unpackStream(const RecordHeader& header, const uint8_t* stored, uint32_t storedLength,
                      const uint8_t* source, uint32_t sourceLength, std::vector<uint8_t>& stream)
{
    stream.clear();
    CompactReader reader(header, source, sourceLength);
    if (!reader.open(stored, storedLength))
        return Unpacked::BROKEN;
    while (!reader.atEnd() && stream.size() <= UINT32_MAX) {
        const size_t before = stream.size();
        stream.resize(before + kPieceBuffer);
        stream.resize(before + reader.read(stream.data() + before, kPieceBuffer));
    }
    if (reader.complete() && stream.size() <= UINT32_MAX &&
        crcBlock(stream.data(), stream.size(), crcInit()) == header.field32(HEADER_STREAM_CRC))
        return Unpacked::STREAM;
    stream.clear();
    // Pieces stored against another source come out wrong however sound the record is; that
    // is the source's fault, as with a plain record whose copies read the wrong bytes.
    const uint32_t sourceSize = header.field32(HEADER_SOURCE_SIZE);
    if (reader.usesSource() &&
        (sourceLength != sourceSize ||
         crcBlock(source, sourceLength, crcInit()) != header.field32(HEADER_SOURCE_CRC)))
        return Unpacked::WRONG_SOURCE;
    return Unpacked::BROKEN;
}
