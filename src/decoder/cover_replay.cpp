// Covers replayed in pieces of at most 64 KiB: differences are added to the source's bytes (or
// to them with their code fields predicted) a piece at a time, a loop the compiler turns into
// vector code on every architecture.
#include "decoder/cover_replay.h"

#include "format/code_prediction.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace zep {

namespace {

constexpr uint32_t kCoverPiece = 64 * 1024;

}  // namespace

bool replayCovers(ReplayTarget& to, const RecordHeader& header, const uint8_t* source,
                  CoverReader& reader)
{
    to.crcs = RunningCrcs{};
    OutputBuffer& out = to.out;
    out.reset();
    out.checksumOnFlush(&to.crcs.dest);
    FileSlot& target = to.file;
    const uint32_t sourceSize = header.field32(HEADER_SOURCE_SIZE);
    const uint32_t destSize = header.field32(HEADER_DEST_SIZE);
    Progress& progress = to.progress;
    progress.start(destSize);
    uint32_t destRemaining = destSize;
    const std::unique_ptr<uint8_t[]> piece(new uint8_t[kCoverPiece]);
    const ShiftMap* map = reader.shiftMap();
    const ShiftMap none{};
    CoverPredictor predictor(source, sourceSize, map != nullptr ? *map : none);
    bool complete = true;
    CoverRecord record;
    uint32_t done = 0;
    while (complete && reader.next(record)) {
        for (uint32_t left = record.literalLength; left != 0 && complete;) {
            const uint32_t count = std::min(left, kCoverPiece);
            complete = reader.takeLiterals(piece.get(), count);
            out.writeRaw(target, piece.get(), count);
            left -= count;
        }
        const uint8_t* from = source + record.sourcePosition;
        if (map != nullptr)
            predictor.start(record.sourcePosition, record.coverLength,
                            int64_t{destSize - destRemaining} + record.literalLength -
                                record.sourcePosition);
        for (uint32_t left = record.coverLength; left != 0 && complete;) {
            // The bytes the differences were taken against: the source's, or with predicted
            // fields, the predictor's, which may end a piece early before a field.
            uint32_t count = std::min(left, kCoverPiece);
            if (map != nullptr)
                count = static_cast<uint32_t>(predictor.next(piece.get(), count));
            else
                std::memcpy(piece.get(), from, count);
            complete = reader.addDifferences(piece.get(), count);
            out.writeRaw(target, piece.get(), count);
            from += count;
            left -= count;
        }
        destRemaining -= record.literalLength + record.coverLength;
        if (++done % 64 == 0 || record.literalLength + record.coverLength > kCoverPiece)
            progress.show(0, destRemaining);
    }
    out.flush(target);
    out.checksumOnFlush(nullptr);
    progress.show(0, 0);
    progress.endLine();
    return complete && reader.complete();
}

}  // namespace zep
