// Checking a compact layout and rebuilding its plain stream through libzstd's streaming decoder.
// Every length in the layout is checked against the record's sizes before anything is allocated
// for it, every frame must be exactly one frame of its recorded plain length, and the three
// parts are interleaved back into the stream as it is read.
#include "format/compact_reader.h"

#include "common/checksum.h"
#include "format/compact_stream.h"
#include "format/cover_reader.h"
#include "format/instruction_stream.h"
#include "format/stored_pieces.h"
#include "format/stream_parts.h"

#include <algorithm>
#include <cstring>

namespace zep {

namespace {

// The layout block of a compact stream and where its pieces lie.
struct StoredLayout {
    uint8_t layout = 0;
    bool reference = false;
    uint32_t plainLengths[3] = {};
    std::vector<StoredPiece> pieces;
};

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
    return placePieces(reader, out.pieces, sourceSize);
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
    if (storedLength != 0 && stored[0] == COMPACT_COVERS)
        return coverLayoutSound(header, stored, storedLength);
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

}  // namespace zep
