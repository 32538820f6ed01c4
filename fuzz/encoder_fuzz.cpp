// The fast encoder against the straightforward one on arbitrary pairs and option settings: both
// records must be identical byte for byte, whichever vector width the search uses. The
// whole-file encoder's record of the same pair must be as long as planned and, replayed by the
// interpreter, rebuild the destination (its checksum) from the whole stream.
//
// Input: option selector (1 byte), source length (2 bytes), then the source and the destination.
#include "common/checksum.h"
#include "common/cpu_features.h"
#include "decoder/instruction_interpreter.h"
#include "encoder/alignment_search.h"
#include "encoder/delta_encoder.h"
#include "encoder/tuning.h"
#include "encoder/whole_file_encoder.h"
#include "harness.h"

#include <sys/mman.h>
#include <vector>

namespace {

std::vector<uint8_t> readAll(int fd)
{
    std::vector<uint8_t> bytes(static_cast<size_t>(lseek(fd, 0, SEEK_END)));
    if (pread(fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()))
        std::abort();
    return bytes;
}

void checkWholeFileRecord(const std::vector<uint8_t>& source, const std::vector<uint8_t>& dest)
{
    const auto sourceSize = static_cast<uint32_t>(source.size());
    const auto destSize = static_cast<uint32_t>(dest.size());
    buildRecordHeader("old", "new");
    setHeaderField32(HEADER_SOURCE_SIZE, sourceSize);
    setHeaderField32(HEADER_DEST_SIZE, destSize);
    WholeFilePlan plan;
    if (!planWholeFile(source.data(), sourceSize, dest.data(), destSize, plan))
        std::abort();
    const int fd = memfd_create("whole", MFD_CLOEXEC);
    FileSlot out;
    out.handle = fd;
    out.name = "whole";
    resetRunningCrcs();
    writeWholeFileRecord(out, plan, source.data(), dest.data());
    const std::vector<uint8_t> record = readAll(fd);
    close(fd);

    // Replay it: the record's own header, the source, the output to nowhere.
    const uint32_t headerLength = record[14] | (record[15] << 8);
    if (record.size() != headerLength + plan.streamLength)
        std::abort();
    buildRecordHeader("old", "new");
    if (currentHeader.length != headerLength)
        std::abort();
    std::copy(record.begin(), record.begin() + headerLength, currentHeader.bytes);
    sourceSlot.view = source.data();
    sourceSlot.viewLength = source.size();
    diffSlot.view = record.data();
    diffSlot.viewLength = record.size();
    openNullSink(targetSlot);
    const uint8_t* end = nullptr;
    interpretStream(source.data(), record.data(), end);
    sourceSlot = FileSlot{};
    diffSlot = FileSlot{};
    if (end != record.data() + record.size() ||
        destCrc != crcBlock(dest.data(), dest.size(), crcInit()) ||
        streamCrc != headerField32(HEADER_STREAM_CRC) ||
        sourceCrc != crcBlock(source.data(), source.size(), crcInit()))
        std::abort();
    releaseEverything();
}

std::vector<uint8_t> encodeWith(EncoderSpeed speed, const uint8_t* source, uint32_t sourceSize,
                                const uint8_t* dest, uint32_t destSize)
{
    const int fd = memfd_create("record", MFD_CLOEXEC);
    if (fd < 0)
        std::abort();
    FileSlot out;
    out.handle = fd;
    out.name = "record";
    buildRecordHeader("old", "new");
    setHeaderField32(HEADER_SOURCE_SIZE, sourceSize);
    setHeaderField32(HEADER_DEST_SIZE, destSize);
    discardCopyRun();
    resetRunningCrcs();
    encodeStream(out, source, dest, speed);
    std::vector<uint8_t> record = readAll(fd);
    close(fd);
    return record;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    quietHarness();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3)
        return 0;
    static const int32_t ranges[] = {47, 0, 1, 2, 15, 16, 17, 31, 32, 33, 64, 200, -3, 300};
    static const int32_t thresholds[] = {65, 0, 100, 68, 66, 73, -5, 105, 60, 80, 93, 53};
    const uint8_t options = data[0];
    const size_t sourceLength = std::min<size_t>(data[1] | (data[2] << 8), size - 3);
    const uint8_t* source = data + 3;
    const uint8_t* dest = source + sourceLength;
    const size_t destLength = size - 3 - sourceLength;
    if (sourceLength == 0 || destLength == 0)
        return 0;  // create refuses empty inputs
    // Exact-size copies: the search must read nothing past either input.
    const std::vector<uint8_t> sourceCopy(source, source + sourceLength);
    const std::vector<uint8_t> destCopy(dest, dest + destLength);

    resetTuning();
    searchRange = ranges[options % 14];
    matchThreshold = thresholds[(options / 14) % 12];
    deepSearch = (options & 0x80) == 0;
    const auto sourceSize = static_cast<uint32_t>(sourceLength);
    const auto destSize = static_cast<uint32_t>(destLength);
    const std::vector<uint8_t> reference = encodeWith(EncoderSpeed::REFERENCE, sourceCopy.data(),
                                                      sourceSize, destCopy.data(), destSize);
    // No vectors, 16 lanes, and everything this processor has.
    CpuFeatures sixteenLanes;
    sixteenLanes.sse2 = true;
    for (const CpuFeatures& features : {CpuFeatures{}, sixteenLanes, processorFeatures()}) {
        useCpuFeatures(features);
        if (encodeWith(EncoderSpeed::FAST, sourceCopy.data(), sourceSize, destCopy.data(),
                       destSize) != reference)
            std::abort();
    }
    useCpuFeatures(processorFeatures());
    releaseEverything();
    checkWholeFileRecord(sourceCopy, destCopy);
    return 0;
}
