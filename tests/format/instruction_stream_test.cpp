// Token bytes of every form, the reader's extra forms, and the stream writer's bookkeeping.
#include "common/checksum.h"
#include "common/output_buffer.h"
#include "format/instruction_stream.h"
#include "format/record_header.h"

#include <gtest/gtest.h>
#include <random>
#include <vector>

// The library's own units, as the tests reach them.
using namespace zep;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes encode(uint32_t n, uint8_t op)
{
    uint8_t bytes[kMaxTokenSize];
    return Bytes(bytes, bytes + encodeToken(n, op, bytes));
}

Token decode(const Bytes& bytes)
{
    Token token;
    EXPECT_TRUE(readToken(bytes.data(), bytes.size(), token));
    return token;
}

}  // namespace

TEST(InstructionStreamTest, WriterUsesTheShortestFormByTheTable)
{
    struct Case {
        uint32_t n;
        uint8_t op;
        Bytes bytes;
    };
    const Case cases[] = {
        {1, OP_COPY, {0x80}},
        {15, OP_COPY, {0xB8}},
        {16, OP_COPY, {0xC0, 0x10}},
        {500, OP_INSERT, {0xF2, 0x74}},
        {1000, OP_COPY, {0xF8, 0x68}},
        {2047, OP_COPY, {0xFC, 0x7F}},
        {2048, OP_COPY, {0xC0, 0x80, 0x08}},
        {4660, OP_SKIP, {0xC1, 0xB4, 0x12}},
        {65535, OP_COPY, {0xF0, 0xFF, 0x7F}},
        {65536, OP_COPY, {0xC0, 0x80, 0x80, 0x01, 0x00}},
        {74565, OP_COPY, {0xC0, 0xC5, 0xA3, 0x01, 0x00}},
        {4294967295u, OP_COPY, {0xF0, 0xFF, 0xFF, 0xFF, 0xFF}},
        {1, OP_POKE, {0x83}},
        {15, OP_POKE, {0xBB}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.n);
        EXPECT_EQ(encode(c.n, c.op), c.bytes);
        const Token token = decode(c.bytes);
        EXPECT_EQ(token.op, c.op);
        EXPECT_EQ(token.length, c.n);
        EXPECT_EQ(token.size, c.bytes.size());
    }
}

TEST(InstructionStreamTest, ReaderAcceptsFormsTheWriterNeverUses)
{
    Token token = decode({0xBC});  // one-byte 16
    EXPECT_EQ(token.op, OP_COPY);
    EXPECT_EQ(token.length, 16u);
    token = decode({0xC2, 0x05});  // two-byte 5
    EXPECT_EQ(token.op, OP_INSERT);
    EXPECT_EQ(token.length, 5u);
    EXPECT_EQ(decode({0xC0, 0x00}).length, 0u);
    // Bits 3 and 2 of the first byte mean nothing in the longer forms.
    EXPECT_EQ(decode({0xCC, 0x80, 0x08}).length, 2048u);
    EXPECT_EQ(decode({0xC0, 0x80, 0x80, 0x00, 0x00}).length, 0u);
    EXPECT_TRUE(isDifferenceBlock(0x7F));
    EXPECT_FALSE(isDifferenceBlock(0x80));
    EXPECT_EQ(blockBitmap(0x40, 0x01), 0x4001);
}

TEST(InstructionStreamTest, TruncatedTokensAreRefused)
{
    Token token;
    const Bytes three = {0xC0, 0x80, 0x08};
    const Bytes five = {0xC0, 0x80, 0x80, 0x01, 0x00};
    EXPECT_FALSE(readToken(three.data(), 0, token));
    EXPECT_FALSE(readToken(three.data(), 1, token));
    EXPECT_FALSE(readToken(three.data(), 2, token));
    EXPECT_TRUE(readToken(three.data(), 3, token));
    EXPECT_FALSE(readToken(five.data(), 4, token));
    EXPECT_TRUE(readToken(five.data(), 5, token));
}

TEST(InstructionStreamTest, LengthSurvivesEveryBoundaryAndRandomValues)
{
    std::vector<uint32_t> lengths = {
        1,    2,    15,    16,    17,    127,   128,   255,        256,        1023,      1024,
        2047, 2048, 32767, 32768, 65535, 65536, 65537, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF};
    std::mt19937 random(424242);
    for (int i = 0; i < 20000; ++i)
        lengths.push_back(
            std::max<uint32_t>(1, static_cast<uint32_t>(random()) >> (random() % 32)));
    for (const uint32_t n : lengths) {
        for (uint8_t op = 0; op < 4; ++op) {
            const Token token = decode(encode(n, op));
            ASSERT_EQ(token.op, op) << n;
            ASSERT_EQ(token.length, n) << n;
            const uint32_t size = n <= 15 ? 1 : n <= 2047 ? 2 : n <= 65535 ? 3 : 5;
            ASSERT_EQ(token.size, size) << n;
        }
    }
}

TEST(InstructionStreamTest, TokenSizeIsWhatTheWriterWrites)
{
    for (const uint32_t n : {1u, 15u, 16u, 2047u, 2048u, 65535u, 65536u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(n);
        EXPECT_EQ(tokenSize(n), encode(n, OP_COPY).size());
    }
}

TEST(InstructionStreamTest, StreamWriterCountsLengthAndChecksum)
{
    FileSlot sink;
    openNullSink(sink);
    RecordHeader header = buildRecordHeader("a", "b");
    OutputBuffer out;
    uint32_t streamCrc = crcInit();
    RecordWriter writer{out, sink, header, streamCrc};
    writeToken(writer, 500, OP_INSERT);
    const Bytes literal(500, 0x42);
    writeStream(writer, literal.data(), 0);
    writeStream(writer, literal.data(), 500);
    EXPECT_EQ(header.field32(HEADER_STREAM_LENGTH), 502u);
    Bytes all(502, 0x42);  // the token, then the literal
    all[0] = 0xF2;
    all[1] = 0x74;
    EXPECT_EQ(streamCrc, crcBlock(all.data(), all.size(), crcInit()));
    out.flush(sink);
    closeNullSink(sink);
}
