// Layout 3's block and records: every length is checked against the record's sizes, and every
// record against both files, before a byte of it is written.
#include "format/cover_reader.h"

#include "format/compact_stream.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace zep {

namespace {

enum Piece { LITERAL_LENGTHS, COVER_LENGTHS, DISTANCES, ZERO_RUNS, VALUES, LITERALS, SHIFT_MAP };
constexpr int kCoverPieces = 7;
// A LEB128 number of the columns takes at most 5 bytes (a 32-bit length, or a zigzag distance or
// shift of 33 bits).
constexpr uint32_t kLongestNumber = 5;
// The shift map is read whole: a writer's has an entry per stretch of the source that moved
// differently, a few hundred thousand bytes for the largest programs.
constexpr uint32_t kLongestShiftMap = 4u << 20;

bool readLeb(const uint8_t* bytes, size_t available, uint64_t& value, size_t& used)
{
    value = 0;
    for (size_t i = 0; i < available && i < kLongestNumber; ++i) {
        value |= uint64_t{bytes[i] & 0x7Fu} << (7 * i);
        if ((bytes[i] & 0x80) == 0) {
            used = i + 1;
            return true;
        }
    }
    return false;
}

int64_t unzigzag(uint64_t value)
{
    return static_cast<int64_t>(value >> 1) ^ -static_cast<int64_t>(value & 1);
}

// The layout block: the flags, the pieces present, then a plain and a stored length per piece
// present (a present piece holds something). Each record moves at least one destination byte
// and takes one to five bytes of each column; every difference that is not zero, and every
// literal byte, is a destination byte; a run of zeros takes one to five bytes and comes before
// such a difference or at the end.
bool readCoverLayout(const RecordHeader& header, const uint8_t* stored, uint32_t storedLength,
                     std::vector<StoredPiece>& pieces)
{
    if (storedLength < 3 || stored[0] != COMPACT_COVERS ||
        (stored[1] & ~(COMPACT_REFERENCE | COMPACT_CODE)) != 0 || stored[2] >= 1u << kCoverPieces)
        return false;
    const uint32_t sourceSize = header.field32(HEADER_SOURCE_SIZE);
    const uint64_t destSize = header.field32(HEADER_DEST_SIZE);
    StoredReader reader{stored + 3, storedLength - size_t{3}};
    pieces.assign(kCoverPieces, StoredPiece{});
    for (int i = 0; i < kCoverPieces; ++i)
        if ((stored[2] >> i & 1) != 0 && (!reader.length(pieces[i].plain) ||
                                          !reader.length(pieces[i].stored) || pieces[i].plain == 0))
            return false;
    const bool code = (stored[1] & COMPACT_CODE) != 0;
    for (int i = LITERAL_LENGTHS; i <= DISTANCES; ++i)
        if (pieces[i].plain > kLongestNumber * destSize)
            return false;
    if (uint64_t{pieces[VALUES].plain} + pieces[LITERALS].plain > destSize ||
        pieces[ZERO_RUNS].plain > kLongestNumber * (uint64_t{pieces[VALUES].plain} + 1) ||
        (!code && pieces[SHIFT_MAP].plain != 0) || pieces[SHIFT_MAP].plain > kLongestShiftMap)
        return false;
    pieces[LITERALS].reference = (stored[1] & COMPACT_REFERENCE) != 0;
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
    predicted_ = (stored[1] & COMPACT_CODE) != 0;
    if (predicted_ && !readShiftMap(pieces[SHIFT_MAP]))
        return false;
    map_.index(sourceSize_);
    for (int i = LITERAL_LENGTHS; i < SHIFT_MAP; ++i)
        pieces_[i].start(pieces[i], source_, sourceSize_);
    return true;
}

// Entries of a start (the distance from the previous one) and a shift (zigzag, the change from
// the previous one); the starts rise from 0 inside the source.
bool CoverReader::readShiftMap(const StoredPiece& piece)
{
    std::vector<uint8_t> bytes;
    if (!decodeWhole(piece, source_, sourceSize_, bytes))
        return false;
    uint64_t start = 0;
    int64_t shift = 0;
    for (size_t at = 0; at < bytes.size();) {
        uint64_t distance = 0;
        uint64_t change = 0;
        size_t used = 0;
        if (!readLeb(bytes.data() + at, bytes.size() - at, distance, used))
            return false;
        at += used;
        if (!readLeb(bytes.data() + at, bytes.size() - at, change, used))
            return false;
        at += used;
        start += distance;
        shift += unzigzag(change);
        if ((map_.starts.empty() ? start != 0 : distance == 0) || start >= sourceSize_)
            return false;
        map_.starts.push_back(static_cast<uint32_t>(start));
        map_.shifts.push_back(shift);
    }
    return true;
}

bool CoverReader::readNumber(PieceSource& column, uint64_t& value)
{
    const size_t have = column.peek(kLongestNumber);
    size_t used = 0;
    if (!readLeb(column.data(), have, value, used))
        return false;
    column.skip(used);
    return true;
}

bool CoverReader::next(CoverRecord& record)
{
    if (failed_ || destAt_ == destSize_)
        return false;
    if (pieces_[LITERAL_LENGTHS].peek(1) == 0) {
        // The literal bytes behind the last cover, in a record of their own.
        record = CoverRecord{};
        record.literalLength = static_cast<uint32_t>(destSize_ - destAt_);
        destAt_ = destSize_;
        return true;
    }
    uint64_t literal = 0;
    uint64_t cover = 0;
    uint64_t zigzag = 0;
    failed_ = !readNumber(pieces_[LITERAL_LENGTHS], literal) ||
              !readNumber(pieces_[COVER_LENGTHS], cover) || !readNumber(pieces_[DISTANCES], zigzag);
    const int64_t start = static_cast<int64_t>(sourceEnd_) + unzigzag(zigzag);
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

bool CoverReader::takeLiterals(uint8_t* out, size_t count)
{
    return pieces_[LITERALS].take(out, count) == count;
}

bool CoverReader::addDifferences(uint8_t* bytes, size_t count)
{
    // Runs of zeros leave the bytes as they are; each difference between them is added.
    PieceSource& values = pieces_[VALUES];
    size_t at = 0;
    for (;;) {
        const auto zeros = static_cast<size_t>(std::min<uint64_t>(zerosLeft_, count - at));
        zerosLeft_ -= zeros;
        at += zeros;
        if (at == count)
            return true;
        if (zerosLeft_ != 0)
            continue;
        if (valueNext_) {
            if (values.peek(1) == 0)
                return false;
            bytes[at] = static_cast<uint8_t>(bytes[at] + *values.data());
            values.skip(1);
            ++at;
            valueNext_ = false;
            continue;
        }
        if (!readNumber(pieces_[ZERO_RUNS], zerosLeft_))
            return false;
        valueNext_ = true;
    }
}

bool CoverReader::complete()
{
    if (failed_ || destAt_ != destSize_ || zerosLeft_ != 0)
        return false;
    for (int i = LITERAL_LENGTHS; i < SHIFT_MAP; ++i)
        if (!pieces_[i].usedUp())
            return false;
    return true;
}

}  // namespace zep
