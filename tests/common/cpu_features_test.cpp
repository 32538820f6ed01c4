// The plain C++ paths against the vector paths of this processor: the same checksums, the same
// records from both encoders and the same replays. On a machine without vector paths (arm64,
// s390x) both sides are plain, and the pinned fingerprint shows that its records are x86-64's.
#include "common/checksum.h"
#include "common/cpu_features.h"
#include "common/file_layer.h"
#include "decoder/instruction_interpreter.h"
#include "format/record_header.h"
#include "support/console_capture.h"
#include "support/encode_record.h"
#include "support/scratch_directory.h"

#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

// The library's own units, as the tests reach them.
using namespace zep;

namespace {

struct Pair {
    const char* shape;
    Bytes source;
    Bytes dest;
};

// Pairs of every shape the vector paths meet: long equal stretches, scattered changes (whole
// difference groups), shifts and moves (the near and the block search), unrelated bytes and
// small alphabets; long enough for the block filter and the 512-bit checksum folding.
std::vector<Pair> pairs()
{
    std::mt19937 random(1515);  // raw outputs only: the same numbers on every machine
    std::vector<Pair> all;
    for (const size_t size : {size_t{3}, size_t{700}, size_t{20000}, size_t{90000}}) {
        const Bytes source = randomBytes(random, size);
        Bytes scattered = source;
        for (size_t i = random() % 9; i < size; i += 1 + random() % 40)
            scattered[i] = static_cast<uint8_t>(scattered[i] + 1 + random() % 5);
        Bytes edited = source;
        for (int e = 0; e < 6; ++e) {
            const size_t at = random() % (edited.size() + 1);
            const size_t length = 1 + random() % 300;
            const Bytes inserted = randomBytes(random, length);
            if (e % 2 == 0)
                edited.insert(edited.begin() + static_cast<long>(at), inserted.begin(),
                              inserted.end());
            else
                edited.erase(edited.begin() + static_cast<long>(at),
                             edited.begin() +
                                 static_cast<long>(std::min(edited.size(), at + length)));
        }
        if (edited.empty())
            edited.push_back(1);
        const Bytes moved =
            join({Bytes(source.begin() + static_cast<long>(size / 3), source.end()),
                  Bytes(source.begin(), source.begin() + static_cast<long>(size / 3))});
        Bytes fewSymbols(size);
        for (auto& b : fewSymbols)
            b = static_cast<uint8_t>(random() % 3);
        Bytes fewChanged = fewSymbols;
        for (size_t i = 0; i < size; i += 1 + random() % 20)
            fewChanged[i] = static_cast<uint8_t>(random() % 3);
        all.push_back({"scattered changes", source, scattered});
        all.push_back({"insertions and removals", source, edited});
        all.push_back({"a third moved to the back", source, moved});
        all.push_back({"unrelated", source, randomBytes(random, size)});
        all.push_back({"three symbols", fewSymbols, fewChanged});
    }
    return all;
}

Record encodeDefault(const Pair& pair)
{
    return encode(pair.source, pair.dest, EncoderSpeed::FAST);
}

Record encodeWholeFile(const Pair& pair)
{
    uint64_t planned = 0;
    return encodeWhole(pair.source, pair.dest, planned);
}

struct Rebuilt {
    Bytes dest;
    uint32_t crcs[3] = {};
    bool operator==(const Rebuilt&) const = default;
};

// Replays a record as apply does, into a scratch file.
Rebuilt rebuild(const Bytes& source, const Record& record, const std::string& out)
{
    const RecordHeader header = headerOf(record.header);
    CapturedRun captured;
    RunFiles& files = captured.files;
    files.source.view = source.data();
    files.source.viewLength = source.size();
    std::remove(out.c_str());
    openForWrite(out.c_str(), files.target);
    ReplayTarget to(files.target, captured.report);
    const uint8_t* end = nullptr;
    interpretStream(to, header, files.source, record.stream.data(),
                    static_cast<uint32_t>(record.stream.size()), end);
    closeChecked(out.c_str(), files.target);
    files.source = FileSlot{};  // the view is the test's, not a mapping to release
    const std::string written = ScratchDirectory::read(out);
    const RunningCrcs& crcs = to.crcs;
    return {Bytes(written.begin(), written.end()), {crcs.source, crcs.dest, crcs.stream}};
}

class CpuFeaturesTest : public ::testing::Test {
  protected:
    void TearDown() override
    {
        useCpuFeatures(processorFeatures());
    }
    ScratchDirectory scratch_;
};

}  // namespace

TEST_F(CpuFeaturesTest, PlainPathsGiveTheVectorPathsChecksums)
{
    std::mt19937 random(15);
    const Bytes data = randomBytes(random, 70000);
    CpuFeatures narrowFolding;
    narrowFolding.clmul = true;
    const CpuFeatures sets[] = {CpuFeatures{}, narrowFolding, processorFeatures()};
    for (const size_t length : {0, 1, 15, 16, 127, 128, 129, 1023, 1024, 1025, 4103, 69990}) {
        for (size_t offset = 0; offset < 4; ++offset) {
            SCOPED_TRACE(std::to_string(length) + " at " + std::to_string(offset));
            const uint32_t start = random();
            std::vector<uint32_t> crcs;
            for (const CpuFeatures& features : sets) {
                useCpuFeatures(features);
                crcs.push_back(crcBlock(data.data() + offset, length, start));
            }
            EXPECT_EQ(crcs[1], crcs[0]);
            EXPECT_EQ(crcs[2], crcs[0]);
        }
    }
}

TEST_F(CpuFeaturesTest, PlainPathsWriteAndReplayTheVectorPathsRecords)
{
    const std::string out = scratch_.path() + "/out";
    // Every stream and replayed checksum, in order: pinned below, as x86-64 computes it.
    uint32_t fingerprint = crcInit();
    for (const Pair& pair : pairs()) {
        for (const auto encoder : {encodeDefault, encodeWholeFile}) {
            SCOPED_TRACE(std::string(pair.shape) + ", " + std::to_string(pair.source.size()) +
                         (encoder == encodeWholeFile ? " bytes, /W" : " bytes"));
            useCpuFeatures(processorFeatures());
            const Record vector = encoder(pair);
            const Rebuilt vectorReplay = rebuild(pair.source, vector, out);
            useCpuFeatures(CpuFeatures{});
            const Record plain = encoder(pair);
            const Rebuilt plainReplay = rebuild(pair.source, plain, out);
            ASSERT_TRUE(plain.header == vector.header && plain.stream == vector.stream);
            ASSERT_TRUE(plainReplay == vectorReplay);
            ASSERT_TRUE(plainReplay.dest == pair.dest);
            fingerprint = crcBlock(plain.stream.data(), plain.stream.size(), fingerprint);
            for (const uint32_t crc : plainReplay.crcs)
                for (int shift = 0; shift < 32; shift += 8)
                    fingerprint = crcUpdate(static_cast<uint8_t>(crc >> shift), fingerprint);
        }
    }
    EXPECT_EQ(fingerprint, 0xC382D783u) << std::hex << fingerprint;
}
