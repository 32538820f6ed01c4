// The interpreter on hand-made streams (what each instruction writes, consumes and checksums,
// and where the remaining counts cut it short), on streams that end inside an instruction, and
// on the encoder's own records for many shapes of input.
#include "common/checksum.h"
#include "common/file_layer.h"
#include "decoder/instruction_interpreter.h"
#include "encoder/tuning.h"
#include "format/instruction_stream.h"
#include "format/record_header.h"
#include "support/console_capture.h"
#include "support/encode_record.h"
#include "support/scratch_directory.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <random>

// The library's own units, as the tests reach them.
using namespace zep;

namespace {

Bytes counting(size_t count, uint8_t start = 0)
{
    Bytes bytes(count);
    for (size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<uint8_t>(start + i);
    return bytes;
}

uint32_t crcOf(const Bytes& bytes, size_t from = 0, size_t count = SIZE_MAX)
{
    count = std::min(count, bytes.size() - from);
    return crcBlock(bytes.data() + from, count, crcInit());
}

struct Replay {
    Bytes dest;
    uint32_t consumed = 0;  // stream bytes behind the header
    uint32_t source = 0, dest_ = 0, stream = 0;
    std::string progress;
};

class InstructionInterpreterTest : public ::testing::Test {
  protected:
    // Replays stream against source as a record with the given sizes; the stream is replayed
    // as far as the recorded length, and never past its own end.
    Replay replay(const Bytes& source, const Bytes& stream, uint32_t sourceSize, uint32_t destSize,
                  uint32_t streamLength = UINT32_MAX)
    {
        return replayWith(source, stream, sourceSize, destSize, streamLength,
                          [&](ReplayTarget& to, const RecordHeader& header, const FileSlot& view,
                              const uint8_t* copy) {
                              const uint8_t* end = nullptr;
                              const auto held = static_cast<uint32_t>(std::min<size_t>(
                                  header.field32(HEADER_STREAM_LENGTH), stream.size()));
                              interpretStream(to, header, view, copy, held, end);
                              return static_cast<uint32_t>(end - copy);
                          });
    }
    // The same, the stream fed to a replay in pieces of pieceSize bytes as apply feeds a
    // compact record's: what a piece leaves unused goes in front of the next one.
    Replay replayInPieces(const Bytes& source, const Bytes& stream, uint32_t sourceSize,
                          uint32_t destSize, size_t pieceSize, bool standstillEnds = false)
    {
        return replayWith(
            source, stream, sourceSize, destSize, UINT32_MAX,
            [&](ReplayTarget& to, const RecordHeader& header, const FileSlot& view,
                const uint8_t* copy) {
                StreamReplay replay(to, header, view, standstillEnds);
                const uint8_t* next = copy;
                const uint8_t* const end = next + stream.size();
                Bytes piece;
                uint32_t consumed = 0;
                for (bool last = false; !last && !replay.ended();) {
                    const size_t take =
                        std::min(pieceSize - piece.size(), static_cast<size_t>(end - next));
                    piece.insert(piece.end(), next, next + take);
                    next += take;
                    last = next == end;
                    const size_t used = replay.feed(piece.data(), piece.size(), last);
                    piece.erase(piece.begin(), piece.begin() + static_cast<long>(used));
                    consumed += static_cast<uint32_t>(used);
                }
                replay.finish();
                ended_ = replay.ended();
                return consumed;
            });
    }

    template <typename Interpret>
    Replay replayWith(const Bytes& source, const Bytes& stream, uint32_t sourceSize,
                      uint32_t destSize, uint32_t streamLength, Interpret interpret)
    {
        RecordHeader header = buildRecordHeader("a", "b");
        header.setField32(HEADER_SOURCE_SIZE, sourceSize);
        header.setField32(HEADER_DEST_SIZE, destSize);
        header.setField32(HEADER_STREAM_LENGTH, streamLength == UINT32_MAX
                                                    ? static_cast<uint32_t>(stream.size())
                                                    : streamLength);
        // Exact-size copies: a read one byte past either end is an error under ASan.
        const std::unique_ptr<uint8_t[]> sourceCopy(new uint8_t[source.size() + 1]);
        std::copy(source.begin(), source.end(), sourceCopy.get());
        const std::unique_ptr<uint8_t[]> streamCopy(new uint8_t[stream.size()]);
        std::copy(stream.begin(), stream.end(), streamCopy.get());
        CapturedRun captured;
        RunFiles& files = captured.files;
        files.source.view = sourceCopy.get();
        files.source.viewLength = source.size();

        const std::string out = scratch_.path() + "/out";
        std::remove(out.c_str());
        openForWrite(out.c_str(), files.target);
        ReplayTarget to(files.target, captured.report);
        const RunningCrcs& crcs = to.crcs;
        Replay result;
        result.consumed = interpret(to, header, files.source, streamCopy.get());
        result.progress = captured.take();
        closeChecked(out.c_str(), files.target);
        files.source = FileSlot{};  // the view is the test's, not a mapping to release
        const std::string written = ScratchDirectory::read(out);
        result.dest.assign(written.begin(), written.end());
        result.source = crcs.source;
        result.dest_ = crcs.dest;
        result.stream = crcs.stream;
        return result;
    }

    // A stream fed in pieces of any size replays exactly as when it is whole: the same bytes,
    // checksums and progress. An encoder's stream never has a step that moves nothing.
    void expectSameInPieces(const Replay& whole, const Bytes& source, const Bytes& stream,
                            uint32_t sourceSize, uint32_t destSize, bool standstillEnds = false)
    {
        for (const size_t pieceSize :
             {size_t{kMaxBlockSize}, size_t{18}, size_t{33}, size_t{4096}}) {
            SCOPED_TRACE(testing::Message() << "pieces of " << pieceSize);
            const Replay r =
                replayInPieces(source, stream, sourceSize, destSize, pieceSize, standstillEnds);
            EXPECT_FALSE(ended_);
            EXPECT_EQ(r.dest, whole.dest);
            EXPECT_EQ(r.consumed, whole.consumed);
            EXPECT_EQ(r.source, whole.source);
            EXPECT_EQ(r.dest_, whole.dest_);
            EXPECT_EQ(r.stream, whole.stream);
            EXPECT_EQ(r.progress, whole.progress);
        }
    }

    bool ended_ = false;
    ScratchDirectory scratch_;
};

TEST_F(InstructionInterpreterTest, EmptyStreamWritesNothingAndShowsCompletion)
{
    const Replay r = replay(counting(10), {}, 10, 10);
    EXPECT_TRUE(r.dest.empty());
    EXPECT_EQ(r.consumed, 0u);
    EXPECT_EQ(r.source, crcInit());
    EXPECT_EQ(r.dest_, crcInit());
    EXPECT_EQ(r.stream, crcInit());
    EXPECT_EQ(r.progress, "100%\r\n");
}

TEST_F(InstructionInterpreterTest, EachInstructionStopsAtTheRemainingCounts)
{
    const Bytes source = counting(40, 0x10);
    struct Case {
        const char* what;
        Bytes stream;
        uint32_t sourceSize, destSize;
        Bytes dest;
        uint32_t consumed;
    };
    const Bytes first15(source.begin(), source.begin() + 15);
    const std::vector<Case> cases = {
        {"plain block copies 15", {0x00, 0x00}, 40, 40, first15, 2},
        {"plain block near the end",
         {0x00, 0x00},
         4,
         40,
         Bytes(source.begin(), source.begin() + 4),
         2},
        {"unreached delta stays unread", {0x40, 0x01, 0x05, 0x07}, 3, 40, {0x15, 0x11, 0x12}, 3},
        {"poke 16 changes nothing but eats its delta", {0xBF, 0x55}, 40, 40, first15, 2},
        {"poke on position 15", join({token(15, OP_POKE), {0x01}}), 40, 40,
         join({Bytes(source.begin(), source.begin() + 14), {0x1F}}), 2},
        // The unread literals 4, 5 are then read as a block that has no position left to write.
        {"insert beyond the destination leaves its tail to the loop",
         join({token(5, OP_INSERT), {1, 2, 3, 4, 5}}),
         40,
         3,
         {1, 2, 3},
         6},
        {"copy after the destination is complete",
         join({token(5, OP_COPY), token(5, OP_COPY), token(2, OP_COPY)}), 40, 5,
         Bytes(source.begin(), source.begin() + 5), 3},
        {"skip past the source's end, then nothing to copy",
         join({token(30, OP_SKIP), token(30, OP_SKIP), token(5, OP_COPY)}),
         40,
         40,
         {},
         5},
        {"copy of more than the source holds", token(100, OP_COPY), 40, 100, source, 2},
        {"delta wraps around 256", join({{0x00, 0x01, 0xE0}, token(1, OP_COPY)}), 40, 40,
         join({{0xF0}, Bytes(source.begin() + 1, source.begin() + 16)}), 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Replay r = replay(source, c.stream, c.sourceSize, c.destSize);
        EXPECT_EQ(r.dest, c.dest);
        EXPECT_EQ(r.consumed, c.consumed);
        EXPECT_EQ(r.stream, crcOf(c.stream, 0, c.consumed));
        EXPECT_EQ(r.dest_, crcOf(r.dest));
        expectSameInPieces(r, source, c.stream, c.sourceSize, c.destSize);
    }
}

TEST_F(InstructionInterpreterTest, WhereStepsMustMoveTheFirstThatMovesNothingEndsTheReplay)
{
    const Bytes source = counting(40, 0x10);
    const struct {
        const char* what;
        Bytes stream;
        uint32_t sourceSize, destSize;
        uint32_t consumed;
    } cases[] = {
        {"copy after the destination is complete", join({token(5, OP_COPY), token(5, OP_COPY)}), 40,
         5, 1},
        {"copy after the source's end", join({token(40, OP_SKIP), token(5, OP_COPY)}), 40, 40, 2},
        {"skip after the source's end", join({token(40, OP_COPY), token(1, OP_SKIP)}), 40, 50, 2},
        {"insert after the destination is complete",
         join({token(5, OP_COPY), token(1, OP_INSERT), {7}}), 40, 5, 1},
        {"poke after the source's end", join({token(40, OP_SKIP), token(1, OP_POKE), {1}}), 40, 40,
         2},
        {"block after the destination is complete", join({token(5, OP_COPY), {0, 0}}), 40, 5, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Replay r = replayInPieces(source, c.stream, c.sourceSize, c.destSize, 64, true);
        EXPECT_TRUE(ended_);
        EXPECT_EQ(r.consumed, c.consumed);
        EXPECT_EQ(r.stream, crcOf(c.stream, 0, c.consumed));
        // Replayed as a stored stream is, the same instruction is passed over.
        EXPECT_GT(replay(source, c.stream, c.sourceSize, c.destSize).consumed, c.consumed);
    }
}

TEST_F(InstructionInterpreterTest, EachChecksumSeesItsOwnBytes)
{
    const Bytes source = counting(40, 0xF0);
    // Skip 3, insert 2 literals, poke position 1 of the next 15, copy 5.
    const Bytes stream = join({token(3, OP_SKIP),
                               token(2, OP_INSERT),
                               {0xAA, 0xBB},
                               token(1, OP_POKE),
                               {0x20},
                               token(5, OP_COPY)});
    const Replay r = replay(source, stream, 40, 22);
    Bytes expected = {0xAA, 0xBB};
    expected.insert(expected.end(), source.begin() + 3, source.begin() + 23);
    expected[2] = static_cast<uint8_t>(source[3] + 0x20);
    EXPECT_EQ(r.dest, expected);
    // The source checksum takes the skipped bytes and the stored byte under the poke.
    EXPECT_EQ(r.source, crcOf(source, 0, 23));
    EXPECT_EQ(r.dest_, crcOf(expected));
    EXPECT_EQ(r.stream, crcOf(stream));
    EXPECT_EQ(r.consumed, stream.size());
}

TEST_F(InstructionInterpreterTest, AnInstructionCutByTheStreamEndIsNotReplayed)
{
    const Bytes source = counting(40);
    const Bytes copy = token(20, OP_COPY);
    const Bytes twoBytes = token(600, OP_COPY);
    const Bytes fiveBytes = token(70000, OP_SKIP);
    const std::vector<std::pair<const char*, Bytes>> cuts = {
        {"two-byte token", Bytes(twoBytes.begin(), twoBytes.begin() + 1)},
        {"five-byte token", Bytes(fiveBytes.begin(), fiveBytes.end() - 1)},
        {"block missing its second byte", {0x00}},
        {"block missing a delta", {0x00, 0x03, 0x01}},
        {"insert missing literals", join({token(4, OP_INSERT), {1, 2, 3}})},
        {"poke missing its delta", token(3, OP_POKE)},
    };
    for (const auto& [what, tail] : cuts) {
        SCOPED_TRACE(what);
        const Replay r = replay(source, join({copy, tail}), 40, 40);
        EXPECT_EQ(r.consumed, copy.size());  // short of the recorded end
        EXPECT_EQ(r.dest, Bytes(source.begin(), source.begin() + 20));
    }
    // A stream length beyond the file is cut at the file's end in the same way.
    const Replay past = replay(source, copy, 40, 40, 1000);
    EXPECT_EQ(past.consumed, copy.size());
    EXPECT_EQ(past.dest, Bytes(source.begin(), source.begin() + 20));
}

TEST_F(InstructionInterpreterTest, ASourceShorterThanRecordedIsReadOnlyToItsEnd)
{
    const Bytes source = counting(10);
    const Replay r = replay(source, join({token(1000, OP_COPY), {0x00, 0x00}}), 5000, 5000);
    EXPECT_EQ(r.dest, source);
    EXPECT_EQ(r.source, crcOf(source));
}

// Runs of difference blocks are replayed many at a time; the progress line must still show
// every percentage, in order, exactly when the instruction that reaches it starts.
TEST_F(InstructionInterpreterTest, RunsOfBlocksShowEveryPercentage)
{
    for (const uint32_t blocks : {7u, 150u, 3001u}) {
        SCOPED_TRACE(blocks);
        const Bytes source = counting(15 * blocks + 20, 3);
        Bytes stream;
        std::string expected;
        const uint64_t total = 2 * (15 * uint64_t{blocks} + 20);
        int64_t shown = -1;
        const auto show = [&](uint64_t done) {
            if (static_cast<int64_t>(done * 100 / total) == shown)
                return;
            shown = static_cast<int64_t>(done * 100 / total);
            char text[8];
            std::snprintf(text, sizeof text, "%02d%%\r", static_cast<int>(shown));
            expected += text;
        };
        Bytes dest;
        for (uint32_t b = 0; b < blocks; ++b) {
            show(30 * uint64_t{b});
            const uint16_t bitmap = static_cast<uint16_t>(0x1234 + 977 * b) & 0x7FFF;
            stream.push_back(static_cast<uint8_t>(bitmap >> 8));
            stream.push_back(static_cast<uint8_t>(bitmap));
            for (uint32_t k = 0; k < 15; ++k) {
                uint8_t byte = source[15 * b + k];
                if (bitmap & (1u << k)) {
                    stream.push_back(static_cast<uint8_t>(k + b));
                    byte = static_cast<uint8_t>(byte + k + b);
                }
                dest.push_back(byte);
            }
        }
        show(30 * uint64_t{blocks});  // the closing copy
        stream = join({stream, token(20, OP_COPY)});
        dest = join({dest, Bytes(source.end() - 20, source.end())});
        show(total);
        const Replay r = replay(source, stream, static_cast<uint32_t>(source.size()),
                                static_cast<uint32_t>(dest.size()));
        EXPECT_EQ(r.dest, dest);
        EXPECT_EQ(r.progress, expected + "\n");
    }
}

TEST_F(InstructionInterpreterTest, EncoderRecordsReplayToTheirDestination)
{
    std::mt19937 random(11);
    const auto randomBytes = [&](size_t count) {
        Bytes bytes(count);
        for (auto& b : bytes)
            b = static_cast<uint8_t>(random() % 7 == 0 ? random() : random() % 4);
        return bytes;
    };
    for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE(round);
        const Bytes source = randomBytes(1 + random() % 3000);
        Bytes dest = source;
        switch (round % 5) {
        case 0:  // scattered edits
            for (int i = 0; i < 20; ++i)
                dest[random() % dest.size()] ^= static_cast<uint8_t>(1 + random() % 255);
            break;
        case 1:  // an insertion
            dest.insert(dest.begin() + static_cast<long>(random() % dest.size()),
                        static_cast<size_t>(random() % 700), 0x5A);
            break;
        case 2:  // a deletion
            dest.erase(dest.begin() + static_cast<long>(random() % dest.size() / 2),
                       dest.begin() + static_cast<long>(dest.size() / 2));
            if (dest.empty())
                dest.push_back(1);
            break;
        case 3:  // unrelated
            dest = randomBytes(1 + random() % 3000);
            break;
        default:  // tiny
            dest = randomBytes(1 + random() % 20);
            break;
        }
        Tuning tuning;
        tuning.searchRange = static_cast<int32_t>(random() % 80);
        tuning.matchThreshold = static_cast<int32_t>(random() % 101);
        tuning.deepSearch = random() % 2 == 0;
        const Record record = encode(source, dest, EncoderSpeed::REFERENCE, tuning);
        const Replay r = replay(source, record.stream, static_cast<uint32_t>(source.size()),
                                static_cast<uint32_t>(dest.size()));
        ASSERT_EQ(r.dest, dest);
        EXPECT_EQ(r.consumed, record.stream.size());
        EXPECT_EQ(r.source, record.field(HEADER_SOURCE_CRC));
        EXPECT_EQ(r.dest_, record.field(HEADER_DEST_CRC));
        EXPECT_EQ(r.stream, record.field(HEADER_STREAM_CRC));
        expectSameInPieces(r, source, record.stream, static_cast<uint32_t>(source.size()),
                           static_cast<uint32_t>(dest.size()), true);
    }
}

}  // namespace
