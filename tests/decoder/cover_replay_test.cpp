// Records of layout 3 (covers): whatever covers a writer chooses, the replay rebuilds the
// destination exactly; and damaged stored bytes (which apply's checksum of the stored bytes
// refuses before this) never make the replay read or write outside its files, nor complete with
// a destination of another size.
#include "decoder/cover_replay.h"
#include "format/compact_stream.h"
#include "format/cover_reader.h"
#include "support/console_capture.h"
#include "support/encode_record.h"
#include "support/scratch_directory.h"

#include <gtest/gtest.h>
#include <random>

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
        openForWrite(out.c_str(), captured.run.files.target);
        Replayed result;
        CoverReader reader(header, view.get());
        if (reader.open(bytes.get(), static_cast<uint32_t>(stored.size())))
            result.complete = replayCovers(captured.run, header, view.get(), reader);
        closeChecked(out.c_str(), captured.run.files.target);
        const std::string written = ScratchDirectory::read(out);
        result.dest.assign(written.begin(), written.end());
        EXPECT_TRUE(!result.complete ||
                    captured.run.crcs.dest ==
                        crcBlock(result.dest.data(), result.dest.size(), crcInit()));
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
        const std::vector<Cover> covers = randomCovers(random, source, dest);
        const Bytes stored = packCovers(source.data(), static_cast<uint32_t>(source.size()),
                                        dest.data(), static_cast<uint32_t>(dest.size()), covers);
        ASSERT_EQ(stored[0], COMPACT_COVERS);
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
