// Covers replayed in pieces of at most 64 KiB: differences are added to the source's bytes
// a piece at a time, a loop the compiler turns into vector code on every architecture.
#include "decoder/cover_replay.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

constexpr uint32_t kReplayPiece = 64 * 1024;

}  // namespace

bool replayCovers(Run& run, const RecordHeader& header, const uint8_t* source, CoverReader& reader)
{
    run.crcs = RunningCrcs{};
    OutputBuffer& out = run.out;
    out.reset();
    out.checksumOnFlush(&run.crcs.dest);
    FileSlot& target = run.files.target;
    const uint32_t destSize = header.field32(HEADER_DEST_SIZE);
    Progress& progress = run.progress;
    progress.start(destSize);
    uint32_t destRemaining = destSize;
    const std::unique_ptr<uint8_t[]> piece(new uint8_t[kReplayPiece]);
    bool complete = true;
    CoverRecord record;
    while (complete && reader.next(record)) {
        progress.show(0, destRemaining);
        for (uint32_t left = record.literalLength; left != 0 && complete;) {
            const uint32_t count = std::min(left, kReplayPiece);
            complete = reader.literals().take(piece.get(), count) == count;
            out.writeRaw(target, piece.get(), count);
            left -= count;
        }
        const uint8_t* from = source + record.sourcePosition;
        for (uint32_t left = record.coverLength; left != 0 && complete;) {
            const uint32_t count = std::min(left, kReplayPiece);
            complete = reader.differences().take(piece.get(), count) == count;
            uint8_t* bytes = piece.get();
            for (uint32_t k = 0; k < count; ++k)
                bytes[k] = static_cast<uint8_t>(bytes[k] + from[k]);
            out.writeRaw(target, bytes, count);
            from += count;
            left -= count;
        }
        destRemaining -= record.literalLength + record.coverLength;
        progress.show(0, destRemaining);
    }
    out.flush(target);
    out.checksumOnFlush(nullptr);
    progress.show(0, 0);
    run.report.line("\n");
    return complete && reader.complete();
}
