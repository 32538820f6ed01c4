// Reading a compact record of layout 3 (covers): its layout block is checked against the
// record's sizes before anything is allocated, then its records, differences and literal bytes
// are read as zstd decodes them, so that no piece is ever whole in memory (but the shift map of
// predicted code fields, which is small and bounded).
#pragma once
#include "format/code_prediction.h"
#include "format/record_header.h"
#include "format/stored_pieces.h"

#include <cstdint>

namespace zep {

// One record: literalLength literal bytes, then coverLength bytes of the source from
// sourcePosition on, each plus its difference.
struct CoverRecord {
    uint32_t literalLength = 0;
    uint32_t coverLength = 0;
    uint32_t sourcePosition = 0;
};

// Whether the stored bytes are a layout 3 block a writer makes for the header's sizes: seven
// pieces whose lengths fit them, each piece stored as it is or as one zstd frame.
bool coverLayoutSound(const RecordHeader& header, const uint8_t* stored, uint32_t storedLength);

class CoverReader {
  public:
    // The header's record, read against the header's source size bytes of source; the stored
    // bytes, the source and the header must outlive the reader.
    CoverReader(const RecordHeader& header, const uint8_t* source);
    // False when the storedLength bytes at stored are not a sound layout 3 block, or its shift
    // map is damaged.
    bool open(const uint8_t* stored, uint32_t storedLength);
    // The next record. False at the end of the records, and where a piece is damaged or a record
    // would move nothing or reach outside either file (complete tells the two apart). The
    // record's literal bytes and differences are read before the next call.
    bool next(CoverRecord& record);
    // The next count literal bytes into out; false where the piece runs out first or is damaged.
    bool takeLiterals(uint8_t* out, size_t count);
    // Adds the covers' next count differences to bytes, in place; false where the pieces run out
    // first or are damaged.
    bool addDifferences(uint8_t* bytes, size_t count);
    // The shift map the differences were taken against, with predicted fields; nullptr when they
    // were taken against the source bytes as they are.
    const ShiftMap* shiftMap() const
    {
        return predicted_ ? &map_ : nullptr;
    }
    // True when the records filled the destination exactly and every piece was used up, none
    // of them damaged.
    bool complete();

  private:
    bool readNumber(PieceSource& column, uint64_t& value);
    bool readShiftMap(const StoredPiece& piece);

    const RecordHeader& header_;
    const uint8_t* source_;
    uint32_t sourceSize_;
    uint32_t destSize_;
    PieceSource pieces_[6];  // all but the shift map, which is read whole
    ShiftMap map_;
    bool predicted_ = false;
    uint64_t destAt_ = 0;
    uint64_t sourceEnd_ = 0;  // where the last cover ended in the source
    uint64_t zerosLeft_ = 0;  // of the current run of zero differences
    bool valueNext_ = false;  // a difference that is not zero follows the run
    bool failed_ = false;
};

}  // namespace zep
