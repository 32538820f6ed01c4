// Records of layout 3 (covers): whatever covers a writer or the search chooses, the replay rebuilds
// the destination exactly; and damaged stored bytes (which apply's checksum of the stored bytes
// refuses before this) never make the replay read or write outside its files, nor complete with
// a destination of another size.
#include "decoder/cover_replay.h"
#include "encoder/cover_search.h"
#include "format/compact_stream.h"
#include "format/cover_reader.h"
#include "format/cover_writer.h"
#include "support/console_capture.h"
#include "support/encode_record.h"
#include "support/scratch_directory.h"

#include <gtest/gtest.h>
#include <random>

// The library's own units, as the tests reach them.
using namespace zep;

namespace {

// Covers of dest by source, in destination order: stretches copied from anywhere in the source
// and changed in a few bytes, literal runs between them.
std::vector<Cover> randomCovers(std::mt19937& random, const Bytes& source, Bytes& dest)
{
    std::vector<Cover> covers;
    dest.clear();
    const size_t target = 1 + random() % (2 * source.size() + 40);
    while (dest.size() < target) {
        if (random() % 3 == 0) {
            for (uint32_t n = 1 + random() % 30; n != 0; --n)
                dest.push_back(static_cast<uint8_t>(random()));
            continue;
        }
        Cover cover;
        cover.sourcePosition = static_cast<uint32_t>(random() % source.size());
        cover.length = 1 + static_cast<uint32_t>(random() % (source.size() - cover.sourcePosition));
        cover.destPosition = static_cast<uint32_t>(dest.size());
        for (uint32_t k = 0; k < cover.length; ++k)
            dest.push_back(static_cast<uint8_t>(source[cover.sourcePosition + k] +
                                                (random() % 8 == 0 ? random() : 0)));
        covers.push_back(cover);
    }
    return covers;
}

struct Replayed {
    bool complete = false;
    Bytes dest;
};

class CoverReplayTest : public ::testing::Test {
  protected:
    Replayed replay(const Bytes& source, uint32_t destSize, const Bytes& stored)
    {
        RecordHeader header = buildRecordHeader("a", "b");
        header.setField32(HEADER_SOURCE_SIZE, static_cast<uint32_t>(source.size()));
        header.setField32(HEADER_DEST_SIZE, destSize);
        // Exact-size copies: a read one byte past either end is an error under ASan.
        const std::unique_ptr<uint8_t[]> view(new uint8_t[source.size()]);
        std::copy(source.begin(), source.end(), view.get());
        const std::unique_ptr<uint8_t[]> bytes(new uint8_t[stored.size() + 1]);
        std::copy(stored.begin(), stored.end(), bytes.get());
        CapturedRun captured;
        const std::string out = scratch_.path() + "/out";
        std::remove(out.c_str());
        openForWrite(out.c_str(), captured.files.target);
        ReplayTarget to(captured.files.target, captured.report);
        Replayed result;
        CoverReader reader(header, view.get());
        if (reader.open(bytes.get(), static_cast<uint32_t>(stored.size())))
            result.complete = replayCovers(to, header, view.get(), reader);
        closeChecked(out.c_str(), captured.files.target);
        const std::string written = ScratchDirectory::read(out);
        result.dest.assign(written.begin(), written.end());
        EXPECT_TRUE(!result.complete ||
                    to.crcs.dest == crcBlock(result.dest.data(), result.dest.size(), crcInit()));
        return result;
    }

    ScratchDirectory scratch_;
};

}  // namespace

TEST_F(CoverReplayTest, AnyCoversReplayToTheirDestination)
{
    std::mt19937 random(41);
    for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE(testing::Message() << "seed 41, round " << round);
        const Bytes source = randomBytes(random, 1 + random() % (round % 50 == 0 ? 300000 : 2000));
        Bytes dest;
        std::vector<Cover> covers = randomCovers(random, source, dest);
        if (round % 3 == 0)  // the search's own covers of the same pair
            covers = findCovers(source.data(), static_cast<uint32_t>(source.size()), dest.data(),
                                static_cast<uint32_t>(dest.size()));
        const Bytes stored = packCovers(source.data(), static_cast<uint32_t>(source.size()),
                                        dest.data(), static_cast<uint32_t>(dest.size()), covers);
        ASSERT_EQ(stored[0], COMPACT_COVERS);
        const Replayed r = replay(source, static_cast<uint32_t>(dest.size()), stored);
        ASSERT_TRUE(r.complete);
        ASSERT_TRUE(r.dest == dest);
    }
}

TEST_F(CoverReplayTest, CodeWhoseTargetsMovedReplaysThroughPredictedFields)
{
    // Calls and RIP-relative loads all over a program; the new version has a block inserted in
    // the middle, so every call across it has a new displacement.
    std::mt19937 random(47);
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(testing::Message() << "seed 47, round " << round);
        const uint32_t size = 4000 + static_cast<uint32_t>(random() % 60000);
        Bytes source = randomBytes(random, size);
        for (uint32_t at = 0; at + 8 < size; at += 8 + random() % 24) {
            const auto target = static_cast<int32_t>(random() % size);
            const int32_t displacement = target - static_cast<int32_t>(at + 5);
            source[at] = random() % 2 == 0 ? 0xE8 : 0xE9;
            for (int i = 0; i < 4; ++i)
                source[at + 1 + i] = static_cast<uint8_t>(displacement >> (8 * i));
        }
        const uint32_t split = size / 2 + static_cast<uint32_t>(random() % (size / 4));
        const Bytes inserted = randomBytes(random, 1 + random() % 500);
        // The destination: the program with the block inserted and its displacements fixed.
        Bytes dest = join({slice(source, 0, split), inserted, slice(source, split, size)});
        const auto moved = static_cast<int32_t>(inserted.size());
        for (uint32_t at = 0; at + 5 <= size; ++at) {
            if ((source[at] != 0xE8 && source[at] != 0xE9) || at == split)
                continue;
            int32_t displacement = 0;
            for (int i = 0; i < 4; ++i)
                displacement |= int32_t{source[at + 1 + i]} << (8 * i);
            const int64_t target = int64_t{at} + 5 + displacement;
            const int64_t change = (target >= split ? moved : 0) - (at >= split ? moved : 0);
            const uint32_t newAt = at >= split ? at + static_cast<uint32_t>(moved) : at;
            if (target < 0 || target >= size || (at < split && at + 5 > split))
                continue;
            for (int i = 0; i < 4; ++i)
                dest[newAt + 1 + i] = static_cast<uint8_t>((displacement + change) >> (8 * i));
            at += 4;
        }
        const std::vector<Cover> covers = {
            {0, 0, split}, {split, split + static_cast<uint32_t>(moved), size - split}};
        const Bytes stored = packCovers(source.data(), size, dest.data(),
                                        static_cast<uint32_t>(dest.size()), covers);
        EXPECT_EQ(stored[1] & COMPACT_CODE, COMPACT_CODE);
        const Replayed r = replay(source, static_cast<uint32_t>(dest.size()), stored);
        ASSERT_TRUE(r.complete);
        ASSERT_TRUE(r.dest == dest);
    }
}

TEST_F(CoverReplayTest, DamagedLayoutsStayInsideTheFilesAndTheRecordedSizes)
{
    std::mt19937 random(43);
    const Bytes source = randomBytes(random, 3000);
    Bytes dest;
    const std::vector<Cover> covers = randomCovers(random, source, dest);
    const Bytes stored =
        packCovers(source.data(), 3000, dest.data(), static_cast<uint32_t>(dest.size()), covers);
    const auto destSize = static_cast<uint32_t>(dest.size());
    for (size_t at = 0; at < stored.size(); ++at)
        for (const uint8_t flip : {0x01, 0x80}) {
            SCOPED_TRACE(testing::Message() << "byte " << at << " ^ " << int{flip});
            Bytes damaged = stored;
            damaged[at] ^= flip;
            const Replayed r = replay(source, destSize, damaged);
            EXPECT_TRUE(!r.complete || r.dest.size() == dest.size());
        }
    for (size_t length = 0; length < stored.size(); ++length)
        EXPECT_FALSE(replay(source, destSize, slice(stored, 0, length)).complete) << length;
    // The sizes the header claims bound what the layout may hold.
    EXPECT_FALSE(replay(source, destSize + 1, stored).complete);
    EXPECT_FALSE(replay(source, destSize - 1, stored).complete);
}
