// The delta encoder: walks source and destination from the front and writes the instruction
// stream of one record behind a provisional header, then completes the header (stream length,
// the three checksums, the header checksum) and rewrites it in place.
#pragma once
#include "common/checksum.h"
#include "common/file_layer.h"
#include "common/output_buffer.h"
#include "common/progress.h"
#include "encoder/tuning.h"
#include "format/instruction_stream.h"
#include "format/record_header.h"

#include <cstdint>
#include <vector>

namespace zep {

// Where a create writes its one record: the difference file, positioned where the record
// starts, through the output buffer; the running checksums of source, destination and stream;
// the progress. A compact record's plain stream is held here instead (holdStream) until it is
// whole and packed against the source.
struct RecordOutput {
    RecordOutput(FileSlot& diffSlot, const Report& report, bool hold)
        : diff(diffSlot), progress(report), holdStream(hold)
    {
    }
    RecordOutput(const RecordOutput&) = delete;
    RecordOutput& operator=(const RecordOutput&) = delete;

    FileSlot& diff;
    OutputBuffer out;
    RunningCrcs crcs;
    Progress progress;
    bool holdStream;
    std::vector<uint8_t> heldStream;
};

enum class EncoderSpeed {
    REFERENCE,  // one search per step, one byte at a time: the definition of the output
    FAST,       // vector scores and whole equal stretches at once, for the same bytes
};

// Encodes the header's source size bytes of source against its destination size bytes of dest
// into the output's difference file, which is positioned where the record starts.
void encodeStream(RecordOutput& output, RecordHeader& header, const Tuning& tuning,
                  const uint8_t* source, const uint8_t* dest,
                  EncoderSpeed speed = EncoderSpeed::FAST);

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
// returning the stream length; then the record flushed to disk and the final progress. Where
// the output holds the stream, completeRecord packs it against the source (the
// header's source size bytes) and writes the compact form behind the header.
void beginRecord(RecordOutput& output, RecordHeader& header);
uint32_t completeRecord(RecordOutput& output, RecordHeader& header, const uint8_t* source);
void endRecord(RecordOutput& output);
// The whole frame around a compact stream made beforehand (stored): the source and destination
// checksums are taken of the whole files, as layout 3 may read the source anywhere and a plain
// stream passes over both. The stream checksum is that of the stored bytes (layout 3), or
// streamCrc where given, that of the plain stream the stored one was packed from.
void writeStoredRecord(RecordOutput& output, RecordHeader& header, const uint8_t* source,
                       const uint8_t* dest, const std::vector<uint8_t>& stored,
                       const uint32_t* streamCrc = nullptr);
// What writes a record's stream into the output.
inline RecordWriter recordWriter(RecordOutput& output, RecordHeader& header)
{
    return {output.out, output.diff, header, output.crcs.stream,
            output.holdStream ? &output.heldStream : nullptr};
}

}  // namespace zep
