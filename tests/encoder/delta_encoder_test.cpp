// The delta encoder's exact stream for the shapes it must recognise, the completed header, and
// the fast encoder against the reference on many generated pairs.
#include "common/checksum.h"
#include "common/cpu_features.h"
#include "common/output_buffer.h"
#include "encoder/alignment_search.h"
#include "encoder/delta_encoder.h"
#include "encoder/tuning.h"
#include "format/instruction_stream.h"
#include "format/record_header.h"
#include "support/encode_record.h"

#include <cstdio>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

// The library's own units, as the tests reach them.
using namespace zep;

namespace {

// Bytes that never repeat within 256 positions.
Bytes distinct(size_t count, uint8_t start)
{
    Bytes bytes(count);
    for (size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<uint8_t>(start + i);
    return bytes;
}

// The options of the encodes in a case.
Tuning tuning;
int32_t& searchRange = tuning.searchRange;
int32_t& matchThreshold = tuning.matchThreshold;
int32_t& deepSearch = tuning.deepSearch;
void resetTuning()
{
    tuning = Tuning{};
}

class DeltaEncoderTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        resetTuning();
    }
    void TearDown() override
    {
        resetTuning();
    }
    // Encodes with both encoders, checks they agree and that the stream rebuilds dest.
    Bytes stream(const Bytes& source, const Bytes& dest)
    {
        const Record reference = encode(source, dest, EncoderSpeed::REFERENCE, tuning);
        const Record fast = encode(source, dest, EncoderSpeed::FAST, tuning);
        EXPECT_EQ(fast.stream, reference.stream);
        EXPECT_EQ(fast.header, reference.header);
        EXPECT_EQ(fast.progress, reference.progress);
        EXPECT_EQ(replay(source, reference.stream, dest.size()), dest);
        return reference.stream;
    }
};

}  // namespace

TEST_F(DeltaEncoderTest, IdenticalFilesAreOneCopy)
{
    std::mt19937 random(1);
    const Bytes data = randomBytes(random, 1000);
    const Record record = encode(data, data, EncoderSpeed::REFERENCE, tuning);
    EXPECT_EQ(record.stream, (Bytes{0xF8, 0x68}));
    EXPECT_EQ(record.field(HEADER_STREAM_LENGTH), 2u);
}

TEST_F(DeltaEncoderTest, AppendedAndCutTailsAreOneInsertOrSkip)
{
    std::mt19937 random(2);
    const Bytes data = randomBytes(random, 1000);
    const Bytes extra = randomBytes(random, 500);
    EXPECT_EQ(stream(data, join({data, extra})),
              join({token(1000, OP_COPY), token(500, OP_INSERT), extra}));
    const Bytes prefix(data.begin(), data.begin() + 640);
    EXPECT_EQ(stream(data, prefix), join({token(640, OP_COPY), token(360, OP_SKIP)}));
}

TEST_F(DeltaEncoderTest, OneChangedByteIsAPokeBetweenCopies)
{
    std::mt19937 random(3);
    const Bytes data = randomBytes(random, 300);
    for (const size_t x : {0ul, 7ul, 14ul, 15ul, 151ul, 285ul, 299ul}) {
        SCOPED_TRACE(x);
        Bytes changed = data;
        changed[x] = static_cast<uint8_t>(changed[x] + 0x33);
        Bytes expected;
        const uint32_t before = static_cast<uint32_t>(15 * (x / 15));
        if (before > 0)
            expected = token(before, OP_COPY);
        expected = join({expected, token(static_cast<uint32_t>(x % 15 + 1), OP_POKE), {0x33}});
        if (before + 15 < 300)
            expected = join({expected, token(300 - before - 15, OP_COPY)});
        EXPECT_EQ(stream(data, changed), expected);
    }
}

TEST_F(DeltaEncoderTest, InsertedOrRemovedBytesAreFoundInTwoMoves)
{
    // Random bytes: no window matches anywhere but where it was copied from.
    std::mt19937 random(4);
    const Bytes data = randomBytes(random, 480);
    const Bytes newBytes = randomBytes(random, 100);
    const Bytes more = join(
        {Bytes(data.begin(), data.begin() + 300), newBytes, Bytes(data.begin() + 300, data.end())});
    // 100 new bytes after the first 300: the block search finds the continuation 4 blocks on,
    // the near search the rest 40 bytes on.
    const Bytes first60(newBytes.begin(), newBytes.begin() + 60);
    const Bytes last40(newBytes.begin() + 60, newBytes.end());
    EXPECT_EQ(stream(data, more), join({token(300, OP_COPY), token(60, OP_INSERT), first60,
                                        token(40, OP_INSERT), last40, token(180, OP_COPY)}));
    EXPECT_EQ(stream(more, data), join({token(300, OP_COPY), token(60, OP_SKIP), token(40, OP_SKIP),
                                        token(180, OP_COPY)}));
}

TEST_F(DeltaEncoderTest, DifferenceBlocksCarryBitmapAndDeltasInOrder)
{
    const Bytes source = distinct(30, 0);
    Bytes dest = source;
    dest[0] = 0xF0;                         // delta 0xF0
    dest[14] = static_cast<uint8_t>(0x01);  // 14 -> 1: delta 0xF3
    EXPECT_EQ(stream(source, dest), join({{0x40, 0x01, 0xF0, 0xF3}, token(15, OP_COPY)}));
    // Deltas wrap modulo 256.
    Bytes wrapSource = distinct(15, 0);
    Bytes wrapDest = wrapSource;
    wrapSource[3] = 0xFF;
    wrapDest[3] = 0x01;
    wrapDest[4] = 0x09;
    EXPECT_EQ(stream(wrapSource, wrapDest), (Bytes{0x00, 0x18, 0x02, 0x05}));
}

TEST_F(DeltaEncoderTest, WithoutBlockSearchUnmatchedStretchesAre75Bytes)
{
    deepSearch = 0;
    const Bytes source = distinct(200, 0);
    Bytes dest = distinct(200, 0x80);
    for (size_t k = 195; k < 200; ++k)
        dest[k] = source[k];  // the last, short group holds no change
    const Bytes out = stream(source, dest);
    // 200 = 75 + 75 + 50: 13 full groups of 15 changes, then a group of 5 equal positions.
    size_t at = 0;
    for (int group = 0; group < 13; ++group) {
        ASSERT_EQ(out[at], 0x7F);
        ASSERT_EQ(out[at + 1], 0xFF);
        at += 17;
    }
    EXPECT_EQ(Bytes(out.begin() + at, out.end()), (Bytes{0x00, 0x00}));
}

TEST_F(DeltaEncoderTest, HeaderIsCompletedAndRewritten)
{
    std::mt19937 random(5);
    const Bytes source = randomBytes(random, 5000);
    Bytes dest = source;
    for (int i = 0; i < 40; ++i)
        dest[random() % dest.size()] ^= 0x5A;
    dest.insert(dest.begin() + 2000, 77, 0x11);
    const Record record = encode(source, dest, EncoderSpeed::REFERENCE, tuning);
    EXPECT_EQ(record.field(HEADER_STREAM_LENGTH), record.stream.size());
    EXPECT_EQ(record.field(HEADER_STREAM_CRC),
              crcBlock(record.stream.data(), record.stream.size(), crcInit()));
    EXPECT_EQ(record.field(HEADER_SOURCE_CRC), crcBlock(source.data(), source.size(), crcInit()));
    EXPECT_EQ(record.field(HEADER_DEST_CRC), crcBlock(dest.data(), dest.size(), crcInit()));
    EXPECT_EQ(record.field(HEADER_CHECKSUM),
              crcBlock(record.header.data() + 4, record.header.size() - 4, crcInit()));
    EXPECT_EQ(replay(source, record.stream, dest.size()), dest);
}

TEST_F(DeltaEncoderTest, FastEncoderWritesTheReferenceBytesForEveryShape)
{
    // Shapes: edits, insertions, removals, moved blocks, repeats, runs of one byte, small
    // alphabets; options: search range, thresholds around the score steps, block search off.
    CpuFeatures sixteenLanes;
    sixteenLanes.sse2 = true;
    const CpuFeatures widths[] = {CpuFeatures{}, sixteenLanes, processorFeatures()};
    std::mt19937 random(20261208);
    for (int round = 0; round < 360; ++round) {
        resetTuning();
        useCpuFeatures(widths[round % 3]);
        const uint32_t seed = static_cast<uint32_t>(random());
        std::mt19937 shape(seed);
        const size_t size = 1 + shape() % (shape() % 4 == 0 ? 20000 : 1500);
        const uint32_t alphabet = shape() % 3 == 0 ? 2 + shape() % 4 : 256;
        Bytes source(size);
        for (auto& b : source)
            b = static_cast<uint8_t>(shape() % alphabet);
        Bytes dest = source;
        const int edits = static_cast<int>(shape() % 30);
        for (int e = 0; e < edits && !dest.empty(); ++e) {
            const size_t at = shape() % dest.size();
            const size_t length = 1 + shape() % 120;
            switch (shape() % 4) {
            case 0:
                for (size_t k = at; k < std::min(dest.size(), at + length); ++k)
                    dest[k] = static_cast<uint8_t>(shape() % alphabet);
                break;
            case 1:
                dest.insert(dest.begin() + at, length, static_cast<uint8_t>(shape()));
                break;
            case 2:
                dest.erase(dest.begin() + at, dest.begin() + std::min(dest.size(), at + length));
                break;
            default:
                dest[at] = static_cast<uint8_t>(dest[at] + 1);
            }
        }
        if (dest.empty())
            dest.push_back(1);
        if (shape() % 3 == 0)
            searchRange = static_cast<int32_t>(shape() % 70) - 2;
        if (shape() % 3 == 0)
            matchThreshold = static_cast<int32_t>(shape() % 110) - 3;
        if (shape() % 4 == 0)
            deepSearch = 0;
        SCOPED_TRACE("seed " + std::to_string(seed) + " /S" + std::to_string(searchRange) + " /M" +
                     std::to_string(matchThreshold) + " deep " + std::to_string(deepSearch));
        stream(source, dest);
        if (HasFailure())
            break;
    }
    useCpuFeatures(processorFeatures());
}

TEST_F(DeltaEncoderTest, FastEncoderMatchesTheReferenceOnThousandsOfPairs)
{
    // Shape families: random, repetitive, near-identical, shifted by 1-1000 bytes, tiny; each
    // under the default options and the extreme ones, at every vector width this CPU has.
    const std::vector<std::function<void()>> optionSets = {
        [] {},
        [] { searchRange = 0; },
        [] { searchRange = 1; },
        [] { searchRange = 200; },
        [] { matchThreshold = 0; },
        [] { matchThreshold = 100; },
        [] { deepSearch = 0; },
    };
    CpuFeatures sixteenLanes;
    sixteenLanes.sse2 = true;
    const CpuFeatures widths[] = {CpuFeatures{}, sixteenLanes, processorFeatures()};
    std::mt19937 random(8);
    for (int round = 0; round < 2100; ++round) {
        const size_t size = 1 + random() % (round % 10 == 0 ? 6000 : 900);
        Bytes source = randomBytes(random, size);
        Bytes dest;
        switch (round % 5) {
        case 0:  // unrelated
            dest = randomBytes(random, 1 + random() % 900);
            break;
        case 1: {  // repetitive: a short pattern, with a few bytes changed
            const size_t period = 1 + random() % 7;
            for (size_t i = 0; i < size; ++i)
                source[i] = static_cast<uint8_t>(i % period);
            dest = source;
            for (int e = 0; e < 3; ++e)
                dest[random() % dest.size()] ^= 0x5A;
            break;
        }
        case 2:  // near-identical
            dest = source;
            for (size_t e = 0; e < 1 + size / 100; ++e)
                dest[random() % dest.size()] += 1;
            break;
        case 3: {  // shifted by 1-1000 bytes either way
            const size_t shift = 1 + random() % 1000;
            if (random() % 2)
                dest = join({randomBytes(random, shift), source});
            else
                dest = shift < source.size()
                           ? Bytes(source.begin() + static_cast<long>(shift), source.end())
                           : randomBytes(random, 1);
            break;
        }
        default:  // tiny
            source = randomBytes(random, 1 + random() % 20);
            dest = randomBytes(random, 1 + random() % 20);
        }
        resetTuning();
        optionSets[round % optionSets.size()]();
        useCpuFeatures(widths[round % 3]);
        SCOPED_TRACE("round " + std::to_string(round));
        const Record reference = encode(source, dest, EncoderSpeed::REFERENCE, tuning);
        const Record fast = encode(source, dest, EncoderSpeed::FAST, tuning);
        ASSERT_TRUE(fast.header == reference.header && fast.stream == reference.stream);
    }
    useCpuFeatures(processorFeatures());
}

TEST_F(DeltaEncoderTest, CountedStreamsAreAsLongAsTheWrittenOnes)
{
    std::mt19937 random(4242);
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(round);
        const Bytes source = randomBytes(random, 1 + random() % 6000);
        Bytes dest = source;
        for (size_t i = random() % 40; i < dest.size(); i += 1 + random() % (round % 2 ? 9 : 400))
            dest[i] = static_cast<uint8_t>(dest[i] + 1);
        dest.insert(dest.begin() + static_cast<long>(random() % dest.size()), random() % 300, 9);
        if (round % 5 == 0)
            dest = randomBytes(random, 1 + random() % 3000);
        if (round % 3 == 0)
            matchThreshold = 80;  // measuring follows the options, as the record does

        const Record record = encode(source, dest, EncoderSpeed::FAST, tuning);
        EXPECT_EQ(measureStream(tuning, source.data(), static_cast<uint32_t>(source.size()),
                                dest.data(), static_cast<uint32_t>(dest.size())),
                  record.stream.size());

        // A region is measured and written with the default options, whatever they are.
        const auto sourceLength = static_cast<uint32_t>(source.size());
        const auto destLength = static_cast<uint32_t>(dest.size());
        const uint32_t counted =
            measureRegion(source.data(), sourceLength, dest.data(), destLength);
        RecordHeader header = buildRecordHeader("old.bin", "new.bin");
        const Report quiet;
        FileSlot diff;
        openNullSink(diff);
        RecordOutput output(diff, quiet, false);
        RecordWriter writer = recordWriter(output, header);
        encodeRegion(writer, source.data(), sourceLength, dest.data(), destLength);
        EXPECT_EQ(counted, header.field32(HEADER_STREAM_LENGTH));
        closeNullSink(diff);
        resetTuning();
    }
}
