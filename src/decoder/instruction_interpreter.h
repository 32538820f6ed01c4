// The instruction interpreter: replays one record's instruction stream against its source and
// writes the destination through the output buffer, keeping the three running checksums for the
// apply command to compare. It reports nothing itself; a stream that does not fit its source
// shows up only in those comparisons.
#pragma once
#include "common/checksum.h"
#include "common/file_layer.h"
#include "common/output_buffer.h"
#include "common/progress.h"
#include "format/compact_reader.h"
#include "format/record_header.h"

#include <cstdint>

namespace zep {

// Where a replay writes a record's destination, and what it keeps on the way: the output
// buffer in front of the target file, the running checksums that the apply compares with the
// header's, and the progress it shows. One serves every record of an apply.
struct ReplayTarget {
    ReplayTarget(FileSlot& targetSlot, const Report& report) : file(targetSlot), progress(report) {}
    ReplayTarget(const ReplayTarget&) = delete;
    ReplayTarget& operator=(const ReplayTarget&) = delete;

    FileSlot& file;
    OutputBuffer out;
    RunningCrcs crcs;
    Progress progress;
};

// One op routine per op code: takes the source position, the first stream byte behind the
// token, both remaining counts and the token's value; returns the stream bytes it used there.
using OpRoutine = uint32_t (*)(ReplayTarget& to, const uint8_t*& source, const uint8_t* operand,
                               uint32_t& sourceRemaining, uint32_t& destRemaining, uint32_t n);
extern const OpRoutine opRoutines[4];

// Replays the 15 positions of a difference block (bit 0 is the first); returns the delta bytes
// used. Positions past either remaining count are not processed and use no delta byte.
uint32_t replayDifferenceBlock(ReplayTarget& to, const uint8_t*& source, uint16_t bitmap,
                               const uint8_t* deltas, uint32_t& sourceRemaining,
                               uint32_t& destRemaining);

// One replay of a record's stream against its mapped source into the target, fed the stream
// whole or a piece at a time. The source is read up to the recorded size or the
// mapping's end, whichever comes first, and nothing is read outside the pieces it is given.
class StreamReplay {
  public:
    // Resets the target's checksums and output buffer and starts the progress line. With
    // standstillEnds, the first instruction that would pass over no byte of either file ends
    // the replay: for streams that no file holds, whose every step must then move the output
    // or the source, so that the time a replay takes is bounded by the files' sizes.
    StreamReplay(ReplayTarget& to, const RecordHeader& header, const FileSlot& source,
                 bool standstillEnds);
    // Replays the whole instructions at the front of the length bytes at stream and returns
    // the bytes they took, folded into the stream checksum. It stops before an instruction that
    // needs more bytes than the piece holds; unless the piece is the last, an insertion's
    // literal bytes may run past it and go on at the start of the next piece.
    size_t feed(const uint8_t* stream, size_t length, bool last);
    // True when an instruction that moves nothing ended the replay.
    bool ended() const
    {
        return ended_;
    }
    // True when an insertion still waits for literal bytes from a next piece.
    bool midInstruction() const
    {
        return insertLeft_ != 0;
    }
    // Flushes the output, completes the source checksum, shows 100 percent and ends the
    // progress line.
    void finish();

  private:
    ReplayTarget& to_;
    const uint8_t* source_;
    const uint8_t* const sourceStart_;
    uint32_t sourceRemaining_ = 0;
    uint32_t destRemaining_ = 0;
    uint32_t insertLeft_ = 0;  // literal bytes an insertion still writes from the next piece
    const bool standstillEnds_;
    bool ended_ = false;
};

// Replays the streamLength bytes at stream (a record's stream, as far as its file holds it)
// against the mapped source into the target; nothing is read outside them. An instruction that
// needs stream bytes beyond them ends the replay before it. streamEnd receives the position
// behind the last stream byte consumed; it falls short of the end exactly when the replay ended
// early.
void interpretStream(ReplayTarget& to, const RecordHeader& header, const FileSlot& source,
                     const uint8_t* stream, uint32_t streamLength, const uint8_t*& streamEnd);

// Replays the plain stream that a compact record's reader rebuilds, in pieces of pieceSize bytes
// (at least 32), so that the stream is never whole in memory. Such a stream is in no file and
// its length bounds nothing: every instruction must move the output or the source, and the
// first that moves neither ends the replay. True when the reader's whole stream was replayed.
constexpr size_t kReplayPiece = size_t{256} * 1024;
bool interpretCompact(ReplayTarget& to, const RecordHeader& header, const FileSlot& source,
                      CompactReader& reader, size_t pieceSize = kReplayPiece);

}  // namespace zep
