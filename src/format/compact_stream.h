// The compact form of a record's instruction stream (create option -Z, header flag bit 1): the
// plain stream taken apart (format/stream_parts.h) and its pieces compressed with zstd, behind a
// small layout block. Bytes that may repeat the source (literals, or in the destination form
// every destination byte the stream writes itself) are compressed with the source as zstd's
// prefix, so that what the forward-only stream had to write out costs a reference instead. The
// header's stream checksum stays the plain stream's; its stream length counts the stored bytes.
// docs/format.md has every byte.
#pragma once
#include "common/progress.h"
#include "format/record_header.h"

#include <cstddef>
#include <cstdint>
#include <vector>

struct ZSTD_CCtx_s;  // zstd's compression context, declared where zstd.h declares it

namespace zep {

// The stored stream starts with its layout, its flags, then LEB128 lengths.
constexpr uint8_t COMPACT_THREE_PARTS = 1;  // control, literals, deltas: each stored on its own
constexpr uint8_t COMPACT_DESTINATION = 2;  // control and destination bytes, stored as one
constexpr uint8_t COMPACT_COVERS = 3;       // covers of the destination by the source, anywhere
constexpr uint8_t COMPACT_REFERENCE = 1;    // flag: the source is the prefix of the byte piece
constexpr uint8_t COMPACT_CODE = 2;  // flag, layout 3: differences against predicted code fields
// zstd level of every piece: size is what a compact record is for. A piece compressed against
// the source indexes all of the source first, which at level 19 takes longer than all else a
// create does; it gets level 19 only where the piece is at least an eighth of the source.
constexpr int kCompactLevel = 19;
constexpr int kQuickReferenceLevel = 11;
// The level of the trial that picks a record's layout.
constexpr int kTrialLevel = 3;
// The largest window a compact record asks for: 1 GiB, which every zstd build decodes, 32-bit
// ones included. A source and its referring piece together beyond it go without the reference.
constexpr uint32_t kMaxCompactWindowLog = 30;
// Streams up to this length are also tried in the destination form, and the smaller is stored.
constexpr size_t kDestinationFormLimit = size_t{64} * 1024;

// The stored form of a whole plain stream (as an encoder wrote it) for a source of sourceSize
// bytes and a destination of destSize bytes. No memory: Status::NO_MEMORY. The meter hears how
// far the packing is.
std::vector<uint8_t> packStream(const uint8_t* stream, size_t length, const uint8_t* source,
                                uint32_t sourceSize, uint32_t destSize,
                                const WorkMeter& meter = {});

// What every layout's writer shares. A piece compressed against the source needs the source
// and the piece together inside the largest window.
bool referencesSource(uint32_t sourceSize, size_t length);
// Compresses bytes into one piece at the level: a zstd frame, or the bytes as they are where
// the frame would be no shorter. With a prefix (the source), the window reaches from the end of
// the bytes back to its start. No memory: Status::NO_MEMORY.
std::vector<uint8_t> storePiece(ZSTD_CCtx_s* context, const std::vector<uint8_t>& bytes,
                                const uint8_t* prefix, uint32_t prefixSize, int level);
// Appends an unsigned LEB128 number.
void putLength(std::vector<uint8_t>& out, size_t value);

}  // namespace zep
