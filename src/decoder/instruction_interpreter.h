// The instruction interpreter: replays one record's instruction stream against its source and
// writes the destination through the output buffer, keeping the three running checksums for the
// apply command to compare. It reports nothing itself; a stream that does not fit its source
// shows up only in those comparisons.
#pragma once
#include "common/run.h"
#include "format/record_header.h"

#include <cstdint>

// Where a replay writes: the run's output buffer and its temporary file.
struct ReplayTarget {
    OutputBuffer& out;
    FileSlot& file;
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

// Replays the record of the header that starts at record inside the run's mapped difference
// file against its mapped source, writing to its target file. Nothing is read
// outside either mapping: the source is read up to the recorded size or the mapping's end,
// whichever comes first, and an instruction that needs stream bytes beyond the recorded stream
// (or the mapping) ends the replay before it. streamEnd receives the position behind the last
// stream byte consumed; it falls short of the recorded end exactly when the replay ended early.
void interpretStream(Run& run, const RecordHeader& header, const uint8_t* source,
                     const uint8_t* record, const uint8_t*& streamEnd);
// The same for a stream of streamLength bytes anywhere in memory, such as a compact record's
// unpacked stream: nothing is read outside it.
void interpretStream(Run& run, const RecordHeader& header, const uint8_t* source,
                     const uint8_t* stream, uint32_t streamLength, const uint8_t*& streamEnd);
