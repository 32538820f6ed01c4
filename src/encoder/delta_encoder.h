// The delta encoder: walks source and destination from the front and writes the instruction
// stream of one record behind a provisional header, then completes the header (stream length,
// the three checksums, the header checksum) and rewrites it in place.
#pragma once
#include "common/run.h"
#include "encoder/tuning.h"
#include "format/instruction_stream.h"
#include "format/record_header.h"

#include <cstdint>
#include <vector>

namespace zep {

enum class EncoderSpeed {
    REFERENCE,  // one search per step, one byte at a time: the definition of the output
    FAST,       // vector scores and whole equal stretches at once, for the same bytes
};

// Encodes the header's source size bytes of source against its destination size bytes of dest
// into the run's difference file, which is positioned where the record starts.
void encodeStream(Run& run, RecordHeader& header, const Tuning& tuning, const uint8_t* source,
                  const uint8_t* dest, EncoderSpeed speed = EncoderSpeed::FAST);

// The encoder's stream length for the pair, found by a run that only counts: it writes and
// reports nothing.
uint32_t measureStream(const Tuning& tuning, const uint8_t* source, uint32_t sourceSize,
                       const uint8_t* dest, uint32_t destSize);

// The stream the encoder (default tuning) writes for dest[0, destLength) against
// source[0, sourceLength), as a part of another encoder's stream: through writeToken and
// writeStream, ending with any copy run written out, reporting nothing and leaving the running
// source and destination checksums alone.
void encodeRegion(RecordWriter& writer, const uint8_t* source, uint32_t sourceLength,
                  const uint8_t* dest, uint32_t destLength);
// The length of the stream that encodeRegion writes for the same stretches, counted.
uint32_t measureRegion(const uint8_t* source, uint32_t sourceLength, const uint8_t* dest,
                       uint32_t destLength);

// The frame every encoder writes around its stream: the provisional header and the progress
// total; then the completed header (checksums from the running checksums) rewritten in place,
// returning the stream length; then the record flushed to disk, the final progress and
// "done.". Where the run holds the stream, completeRecord packs it against the source (the
// header's source size bytes) and writes the compact form behind the header.
void beginRecord(Run& run, RecordHeader& header);
uint32_t completeRecord(Run& run, RecordHeader& header, const uint8_t* source);
void endRecord(Run& run);
// The whole frame around a compact stream of layout 3 made beforehand (stored), whose stream
// checksum is that of its stored bytes: the source and destination checksums are taken of the
// whole files, as the layout may read the source anywhere.
void writeStoredRecord(Run& run, RecordHeader& header, const uint8_t* source, const uint8_t* dest,
                       const std::vector<uint8_t>& stored);
// What writes a record's stream for the run.
inline RecordWriter recordWriter(Run& run, RecordHeader& header)
{
    return {run.out, run.files.diff, header, run.crcs.stream,
            run.holdStream ? &run.heldStream : nullptr};
}

}  // namespace zep
