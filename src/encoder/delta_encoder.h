// The delta encoder: walks source and destination from the front and writes the instruction
// stream of one record behind a provisional header, then completes the header (stream length,
// the three checksums, the header checksum) and rewrites it in place.
#pragma once
#include "common/file_layer.h"

#include <cstdint>

enum class EncoderSpeed {
    REFERENCE,  // one search per step, one byte at a time: the definition of the output
    FAST,       // vector scores and whole equal stretches at once, for the same bytes
};

// Forgets any copy run without writing it; done before each create.
void discardCopyRun();

// Encodes the current header's source size bytes of source against its destination size bytes
// of dest into diff, which is positioned where the record starts. Releases the header.
void encodeStream(FileSlot& diff, const uint8_t* source, const uint8_t* dest,
                  EncoderSpeed speed = EncoderSpeed::FAST);

// The specified encoder's stream length for the pair of the current header's sizes, found by a
// run that only counts: it writes and prints nothing and leaves the header alone.
uint32_t measureStream(const uint8_t* source, const uint8_t* dest);

// The stream the specified encoder (default tuning) writes for dest[0, destLength) against
// source[0, sourceLength), as a part of another encoder's stream: through writeToken and
// writeStream, ending with any copy run written out, printing nothing and leaving the running
// source and destination checksums alone.
void encodeRegion(FileSlot& diff, const uint8_t* source, uint32_t sourceLength, const uint8_t* dest,
                  uint32_t destLength);
// The length of the stream that encodeRegion writes for the same stretches, counted.
uint32_t measureRegion(const uint8_t* source, uint32_t sourceLength, const uint8_t* dest,
                       uint32_t destLength);

// The frame every encoder writes around its stream: the provisional header and the progress
// total; then the completed header (checksums from the running checksums) rewritten in place,
// returning the stream length; then the record flushed to disk, the final progress, "done." and
// the header released.
void beginRecord(FileSlot& diff);
uint32_t completeRecord(FileSlot& diff);
void endRecord(FileSlot& diff);
