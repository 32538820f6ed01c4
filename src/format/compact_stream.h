// The compact form of a record's instruction stream (create option -Z, header flag bit 1): the
// plain stream split into its control, literal and delta parts (format/stream_parts.h), each
// compressed as one zstd frame, behind a 28-byte layout block. The literals are compressed with
// the source file as zstd's prefix, so bytes the forward-only stream had to insert although the
// source holds them elsewhere cost a reference instead. The header's stream checksum stays the
// plain stream's; its stream length counts the stored bytes. docs/format.md has every byte.
#pragma once
#include "format/record_header.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// Byte offsets of the layout block that starts the stored stream; lengths are 32-bit.
constexpr uint32_t COMPACT_LAYOUT = 0;     // 8: kCompactLayout
constexpr uint32_t COMPACT_REFERENCE = 1;  // 8: 1 when the literals refer to the source
constexpr uint32_t COMPACT_RESERVED = 2;   // 16: 0
constexpr uint32_t COMPACT_PARTS = 4;      // per part (control, literals, deltas): plain
                                           // length, then stored length
constexpr uint32_t kCompactBlockLength = 28;
constexpr uint8_t kCompactLayout = 1;
// zstd level of every part: the size is what a compact record is for, and the level-19 tables
// (about 90 MB for a reference of 8 MB or more) stay below what the peers take.
constexpr int kCompactLevel = 19;
// The largest window a compact record asks for: 1 GiB, which every zstd build decodes, 32-bit
// ones included. A source and literals together beyond it are compressed without the reference.
constexpr uint32_t kMaxCompactWindowLog = 30;

// The stored form of a whole plain stream (as an encoder wrote it) made against the first
// sourceSize bytes of source. No memory: Status::NO_MEMORY.
std::vector<uint8_t> packStream(const uint8_t* stream, size_t length, const uint8_t* source,
                                uint32_t sourceSize);

enum class Unpacked {
    STREAM,        // stream holds the plain stream, and its checksum is the header's
    BROKEN,        // the stored bytes are damaged
    WRONG_SOURCE,  // the literals refer to a source that is not the recorded one
};
// Rebuilds the plain stream of the header's record from its storedLength stored bytes, with
// the sourceLength bytes of source as the literals' reference. Nothing is read outside the
// stored bytes or the source, and nothing larger is allocated than the header's sizes allow: the
// control part at most the source and destination sizes together, each other part at most the
// destination size, all three at most 4 GiB - 1.
Unpacked unpackStream(const RecordHeader& header, const uint8_t* stored, uint32_t storedLength,
                      const uint8_t* source, uint32_t sourceLength, std::vector<uint8_t>& stream);
