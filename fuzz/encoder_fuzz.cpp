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

// The library's own units.
using namespace zep;

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
    RecordHeader header = buildRecordHeader("old", "new");
    header.setField32(HEADER_SOURCE_SIZE, sourceSize);
    header.setField32(HEADER_DEST_SIZE, destSize);
    WholeFilePlan plan;
    if (!planWholeFile(source.data(), sourceSize, dest.data(), destSize, plan))
        std::abort();
    const int fd = memfd_create("whole", MFD_CLOEXEC);
    std::vector<uint8_t> record;
    {
        const Report quiet;
        RunFiles files;  // closes the record's handle when it goes
        files.diff.handle = dup(fd);
        files.diff.name = "whole";
        RecordOutput output(files.diff, quiet, false);
        writeWholeFileRecord(output, header, plan, source.data(), dest.data());
        record = readAll(fd);
        close(fd);
    }

    // Replay it: the record's own header, the source, the output to nowhere.
    const uint32_t headerLength = record[14] | (record[15] << 8);
    if (record.size() != headerLength + plan.streamLength || header.length != headerLength)
        std::abort();
    std::copy(record.begin(), record.begin() + headerLength, header.bytes);
    const Report quiet;
    RunFiles files;
    files.source.view = source.data();
    files.source.viewLength = source.size();
    openNullSink(files.target);
    ReplayTarget to(files.target, quiet);
    const RunningCrcs& crcs = to.crcs;
    const uint8_t* const stream = record.data() + headerLength;
    const uint8_t* end = nullptr;
    interpretStream(to, header, files.source, stream, plan.streamLength, end);
    files.source = FileSlot{};  // the harness's memory, not a mapping to release
    if (end != stream + plan.streamLength ||
        crcs.dest != crcBlock(dest.data(), dest.size(), crcInit()) ||
        crcs.stream != header.field32(HEADER_STREAM_CRC) ||
        crcs.source != crcBlock(source.data(), source.size(), crcInit()))
        std::abort();
}

std::vector<uint8_t> encodeWith(EncoderSpeed speed, const Tuning& tuning, const uint8_t* source,
                                uint32_t sourceSize, const uint8_t* dest, uint32_t destSize)
{
    const int fd = memfd_create("record", MFD_CLOEXEC);
    if (fd < 0)
        std::abort();
    const Report quiet;
    RunFiles files;
    files.diff.handle = dup(fd);
    files.diff.name = "record";
    RecordHeader header = buildRecordHeader("old", "new");
    header.setField32(HEADER_SOURCE_SIZE, sourceSize);
    header.setField32(HEADER_DEST_SIZE, destSize);
    RecordOutput output(files.diff, quiet, false);
    encodeStream(output, header, tuning, source, dest, speed);
    std::vector<uint8_t> record = readAll(fd);
    close(fd);
    return record;
}

}  // namespace

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

    Tuning tuning;
    tuning.searchRange = ranges[options % 14];
    tuning.matchThreshold = thresholds[(options / 14) % 12];
    tuning.deepSearch = (options & 0x80) == 0;
    const auto sourceSize = static_cast<uint32_t>(sourceLength);
    const auto destSize = static_cast<uint32_t>(destLength);
    const std::vector<uint8_t> reference = encodeWith(
        EncoderSpeed::REFERENCE, tuning, sourceCopy.data(), sourceSize, destCopy.data(), destSize);
    // No vectors, 16 lanes, and everything this processor has.
    CpuFeatures sixteenLanes;
    sixteenLanes.sse2 = true;
    for (const CpuFeatures& features : {CpuFeatures{}, sixteenLanes, processorFeatures()}) {
        useCpuFeatures(features);
        if (encodeWith(EncoderSpeed::FAST, tuning, sourceCopy.data(), sourceSize, destCopy.data(),
                       destSize) != reference)
            std::abort();
    }
    useCpuFeatures(processorFeatures());
    checkWholeFileRecord(sourceCopy, destCopy);
    return 0;
}
