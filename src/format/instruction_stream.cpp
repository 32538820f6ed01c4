// Token encoding and decoding, and the stream writer.
#include "format/instruction_stream.h"

#include "common/checksum.h"
#include "common/output_buffer.h"
#include "format/record_header.h"

namespace zep {

namespace {

uint8_t bit(uint32_t value, int index)
{
    return static_cast<uint8_t>((value >> index) & 1);
}

}  // namespace

uint32_t encodeToken(uint32_t n, uint8_t op, uint8_t* bytes)
{
    if (n <= 15) {
        bytes[0] = static_cast<uint8_t>(0x80 | ((n - 1) << 2) | op);
        return 1;
    }
    if (n <= 2047) {
        bytes[0] = static_cast<uint8_t>(0xC0 | (bit(n, 8) << 5) | (bit(n, 7) << 4) |
                                        (bit(n, 9) << 3) | (bit(n, 10) << 2) | op);
        bytes[1] = static_cast<uint8_t>(n & 0x7F);
        return 2;
    }
    bytes[0] = static_cast<uint8_t>(0xC0 | (bit(n, 15) << 5) | (bit(n, 7) << 4) | op);
    bytes[1] = static_cast<uint8_t>(0x80 | (n & 0x7F));
    if (n <= 65535) {
        bytes[2] = static_cast<uint8_t>((n >> 8) & 0x7F);
        return 3;
    }
    bytes[2] = static_cast<uint8_t>(0x80 | ((n >> 8) & 0x7F));
    bytes[3] = static_cast<uint8_t>(n >> 16);
    bytes[4] = static_cast<uint8_t>(n >> 24);
    return 5;
}

bool readToken(const uint8_t* bytes, size_t available, Token& token)
{
    if (available < 1)
        return false;
    const uint8_t b0 = bytes[0];
    token.op = b0 & 3;
    if ((b0 & 0x40) == 0) {
        token.length = ((b0 >> 2) & 0x0F) + 1u;
        token.size = 1;
        return true;
    }
    if (available < 2)
        return false;
    const uint8_t b1 = bytes[1];
    if ((b1 & 0x80) == 0) {
        token.length = (b1 & 0x7Fu) | (bit(b0, 4) << 7) | (bit(b0, 5) << 8) | (bit(b0, 3) << 9) |
                       (bit(b0, 2) << 10);
        token.size = 2;
        return true;
    }
    if (available < 3)
        return false;
    const uint8_t b2 = bytes[2];
    const uint32_t low = (bit(b0, 4) << 7) | (b1 & 0x7Fu);
    const uint32_t high = (bit(b0, 5) << 7) | (b2 & 0x7Fu);
    if ((b2 & 0x80) == 0) {
        token.length = (high << 8) | low;
        token.size = 3;
        return true;
    }
    if (available < 5)
        return false;
    token.length = (uint32_t{bytes[4]} << 24) | (uint32_t{bytes[3]} << 16) | (high << 8) | low;
    token.size = 5;
    return true;
}

void writeStream(RecordWriter& writer, const uint8_t* data, uint32_t count)
{
    RecordHeader& header = writer.header;
    header.setField32(HEADER_STREAM_LENGTH, header.field32(HEADER_STREAM_LENGTH) + count);
    if (writer.held != nullptr) {
        writer.held->insert(writer.held->end(), data, data + count);
        return;
    }
    writer.out.write(writer.diff, data, count, &writer.streamCrc);
}

void writeToken(RecordWriter& writer, uint32_t n, uint8_t op)
{
    uint8_t bytes[kMaxTokenSize];
    writeStream(writer, bytes, encodeToken(n, op, bytes));
}

}  // namespace zep
