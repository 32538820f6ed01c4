// Layout 3's block and records: every length is checked against the record's sizes, and every
// record against both files, before a byte of it is written.
#include "format/cover_reader.h"

#include "format/compact_stream.h"

#include <vector>

namespace {

constexpr int kCoverPieces = 5;
// A LEB128 number of the columns takes at most 5 bytes (a 32-bit length, or a zigzag source
// distance of 33 bits).
constexpr uint32_t kLongestNumber = 5;

// The layout block: the flags, then a plain and a stored length per piece. Each record moves at
// least one destination byte and takes one to five bytes of each column; the differences and
// the literal bytes together are the destination, byte for byte.
bool readCoverLayout(const RecordHeader& header, const uint8_t* stored, uint32_t storedLength,
                     std::vector<StoredPiece>& pieces)
{
    if (storedLength < 2 || stored[0] != COMPACT_COVERS || (stored[1] & ~COMPACT_REFERENCE) != 0)
        return false;
    const uint32_t sourceSize = header.field32(HEADER_SOURCE_SIZE);
    const uint32_t destSize = header.field32(HEADER_DEST_SIZE);
    StoredReader reader{stored + 2, storedLength - size_t{2}};
    pieces.assign(kCoverPieces, StoredPiece{});
    for (StoredPiece& piece : pieces)
        if (!reader.length(piece.plain) || !reader.length(piece.stored))
            return false;
    for (int i = 0; i < 3; ++i)
        if (pieces[i].plain > uint64_t{kLongestNumber} * destSize)
            return false;
    if (uint64_t{pieces[3].plain} + pieces[4].plain != destSize)
        return false;
    pieces[4].reference = stored[1] == COMPACT_REFERENCE;
    return placePieces(reader, pieces, sourceSize);
}

}  // namespace

bool coverLayoutSound(const RecordHeader& header, const uint8_t* stored, uint32_t storedLength)
{
    std::vector<StoredPiece> pieces;
    return readCoverLayout(header, stored, storedLength, pieces);
}

CoverReader::CoverReader(const RecordHeader& header, const uint8_t* source)
    : header_(header), source_(source), sourceSize_(header.field32(HEADER_SOURCE_SIZE)),
      destSize_(header.field32(HEADER_DEST_SIZE))
{
}

bool CoverReader::open(const uint8_t* stored, uint32_t storedLength)
{
    std::vector<StoredPiece> pieces;
    if (!readCoverLayout(header_, stored, storedLength, pieces))
        return false;
    for (int i = 0; i < kCoverPieces; ++i)
        pieces_[i].start(pieces[i], source_, sourceSize_);
    return true;
}

bool CoverReader::readNumber(PieceSource& column, uint64_t& value)
{
    const size_t have = column.peek(kLongestNumber);
    const uint8_t* bytes = column.data();
    value = 0;
    for (size_t i = 0; i < have; ++i) {
        value |= uint64_t{bytes[i] & 0x7Fu} << (7 * i);
        if ((bytes[i] & 0x80) == 0) {
            column.skip(i + 1);
            return true;
        }
    }
    return false;
}

bool CoverReader::next(CoverRecord& record)
{
    if (failed_ || pieces_[0].peek(1) == 0)
        return false;
    uint64_t literal = 0;
    uint64_t cover = 0;
    uint64_t zigzag = 0;
    failed_ = !readNumber(pieces_[0], literal) || !readNumber(pieces_[1], cover) ||
              !readNumber(pieces_[2], zigzag);
    const int64_t distance = static_cast<int64_t>(zigzag >> 1) ^ -static_cast<int64_t>(zigzag & 1);
    const int64_t start = static_cast<int64_t>(sourceEnd_) + distance;
    // Every record moves the destination on, inside both files.
    failed_ = failed_ || literal + cover == 0 || destAt_ + literal + cover > destSize_ ||
              (cover != 0 && (start < 0 || static_cast<uint64_t>(start) + cover > sourceSize_));
    if (failed_)
        return false;
    record.literalLength = static_cast<uint32_t>(literal);
    record.coverLength = static_cast<uint32_t>(cover);
    record.sourcePosition = cover != 0 ? static_cast<uint32_t>(start) : 0;
    destAt_ += literal + cover;
    if (cover != 0)
        sourceEnd_ = static_cast<uint64_t>(start) + cover;
    return true;
}

bool CoverReader::complete()
{
    if (failed_ || destAt_ != destSize_)
        return false;
    for (PieceSource& piece : pieces_)
        if (!piece.usedUp())
            return false;
    return true;
}
