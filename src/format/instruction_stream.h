// The instruction stream behind each record header: difference blocks (a big-endian 15-position
// bitmap, bit 15 clear, and one delta byte per set bit) and tokens (bit 7 set: an op code and a
// length in 1, 2, 3 or 5 bytes). One definition for the writer and every reader.
#pragma once
#include "common/file_layer.h"
#include "common/output_buffer.h"
#include "format/record_header.h"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zep {

constexpr uint8_t OP_COPY = 0;    // n source bytes copied unchanged
constexpr uint8_t OP_SKIP = 1;    // n source bytes passed over
constexpr uint8_t OP_INSERT = 2;  // n literal bytes follow
constexpr uint8_t OP_POKE = 3;    // 15 positions copied, position n (1-15) plus the delta after it

constexpr uint32_t kGroupWidth = 15;  // positions covered by a difference block or a poke
constexpr uint32_t kMaxTokenSize = 5;
constexpr uint32_t kMaxBlockSize = 2 + kGroupWidth;

struct Token {
    uint8_t op = 0;
    uint32_t length = 0;
    uint32_t size = 0;  // bytes the token takes in the stream
};

// The shortest form for n: one byte for 1-15, two up to 2047 (16 included), three up to
// 65535, five above. Returns the token's size; n = 0 is never written.
uint32_t encodeToken(uint32_t n, uint8_t op, uint8_t* bytes);
// The size encodeToken returns for n, for counting a stream without writing it.
constexpr uint32_t tokenSize(uint32_t n)
{
    return n <= 15 ? 1 : n <= 2047 ? 2 : n <= 65535 ? 3 : 5;
}
// Decodes the token at bytes (bit 7 of the first byte set). Every pattern is some form; false
// only when the form needs more than the available bytes.
bool readToken(const uint8_t* bytes, size_t available, Token& token);
// True when the first byte of an instruction starts a difference block.
inline bool isDifferenceBlock(uint8_t firstByte)
{
    return (firstByte & 0x80) == 0;
}
inline uint16_t blockBitmap(uint8_t high, uint8_t low)
{
    return static_cast<uint16_t>((high << 8) | low);
}
// The delta bytes a block stores behind its bitmap: one per set bit, bit 15 (the form bit)
// aside. A replay near either file's end may use fewer.
inline uint32_t blockDeltaBytes(uint8_t high, uint8_t low)
{
    return static_cast<uint32_t>(std::popcount(blockBitmap(high, low) & 0x7FFFu));
}

// Where a record's stream goes while it is written: the run's output buffer and difference
// file, the record's header, whose stream length counts every byte, and the stream checksum.
// A compact record's plain stream is held in memory instead, to be packed once it is whole.
struct RecordWriter {
    OutputBuffer& out;
    FileSlot& diff;
    RecordHeader& header;
    uint32_t& streamCrc;
    std::vector<uint8_t>* held = nullptr;
};
// Appends stream bytes to the record being written: adds count to the header's stream length
// and folds every byte into the stream checksum, or appends them to the held stream.
void writeStream(RecordWriter& writer, const uint8_t* data, uint32_t count);
// Appends one token in its shortest form.
void writeToken(RecordWriter& writer, uint32_t n, uint8_t op);

}  // namespace zep
