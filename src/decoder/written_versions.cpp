// Record headers read ahead of an apply, and the times and versions they state.
#include "decoder/written_versions.h"

#include "common/status.h"
#include "format/tree_table.h"
#include "platform/platform.h"

namespace zep {

void WrittenVersions::collect(FileSlot& diff)
{
    try {
        uint32_t skipped = 0;
        uint64_t at = 0;
        RecordHeader header;
        while (findRecord(diff, skipped, header, at) == Found::RECORD) {
            // Sizes and checksums only: a time costs a time-zone lookup, and a target's is not
            // what makes it up to date.
            const FileVersion written = {header.field32(HEADER_DEST_SIZE),
                                         header.field32(HEADER_DEST_CRC), kInvalidTime};
            byName_[header.destName()].push_back({at, written});
            holdsTree_ = holdsTree_ || (header.field16(HEADER_FLAGS) & FLAG_TREE) != 0;
            seekCurrent(diff, header.field32(HEADER_STREAM_LENGTH));
            header.release();
        }
    } catch (const Failure&) {  // the apply meets the same failure where it lies
    }
    seekStart(diff);
}

std::vector<FileVersion> WrittenVersions::from(const std::string& name, uint64_t offset) const
{
    std::vector<FileVersion> versions;
    const auto found = byName_.find(name);
    if (found != byName_.end())
        for (const Written& written : found->second)
            if (written.offset >= offset)
                versions.push_back(written.version);
    return versions;
}

FileVersion destinationOf(const RecordHeader& header)
{
    return {header.field32(HEADER_DEST_SIZE), header.field32(HEADER_DEST_CRC),
            parseTimeStamp(header.bytes + HEADER_DEST_TIME)};
}

bool isSourceTime(const RecordHeader& header, uint64_t ticks)
{
    const bool keepMilliseconds = (header.field16(HEADER_FLAGS) & FLAG_MILLISECONDS) != 0;
    const uint64_t unit =
        keepMilliseconds ? platform::kTicksPerSecond / 1000 : platform::kTicksPerSecond;
    ticks -= ticks % unit;
    uint64_t readings[2];
    const uint32_t count = parseTimeStampReadings(header.bytes + HEADER_SOURCE_TIME, readings);
    for (uint32_t i = 0; i < count; ++i)
        if (readings[i] == ticks)
            return true;
    return false;
}

}  // namespace zep
