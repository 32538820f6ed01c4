// The view command. It reads headers only: the files a record names are never touched and its
// instruction stream is stepped over unread.
#include "viewer/view_command.h"

#include "common/file_layer.h"
#include "common/printable.h"
#include "common/status.h"
#include "format/record_header.h"
#include "platform/platform.h"

#include <cstring>
#include <string>

namespace zep {

namespace {

// Time-stamp texts end at their zero, but never past their 26-byte field.
std::string timeText(const RecordHeader& header, uint32_t offset)
{
    const auto* text = reinterpret_cast<const char*>(header.bytes + offset);
    return std::string(text, strnlen(text, kTimeStampLength));
}

}  // namespace

uint32_t listRecords(const Report& report, FileSlot& diff, const char* diffPath,
                     int (*each)(void* context, const zep_record* record), void* context,
                     const RecordDescription& describe)
{
    // Records are found by stepping over their streams, which a pipe cannot do.
    if (platform::isPipe(diffPath))
        fail(Status::CANNOT_OPEN, "[%s] is a pipe or a socket; -V needs a regular file.\n",
             printable(diffPath).c_str());
    openForRead(diffPath, diff, true);  // only read, as the user asked
    uint32_t recordCount = 0;
    uint32_t skipped = 0;
    uint64_t at = 0;
    bool stopped = false;
    RecordHeader header;
    Found found = Found::END;
    // No lock is taken: the listing ends cleanly before a record that a create is writing now.
    while (!stopped && (found = findRecord(diff, skipped, header, at)) == Found::RECORD) {
        const std::string changes = describe(header, at);
        seekCurrent(diff, header.field32(HEADER_STREAM_LENGTH));
        ++recordCount;
        const std::string sourceTime = timeText(header, HEADER_SOURCE_TIME);
        const std::string destTime = timeText(header, HEADER_DEST_TIME);
        const zep_record record = {header.bytes[HEADER_OS_TYPE],
                                   header.sourceName(),
                                   header.destName(),
                                   sourceTime.c_str(),
                                   destTime.c_str(),
                                   header.field32(HEADER_SOURCE_CRC),
                                   header.field32(HEADER_DEST_CRC),
                                   header.field32(HEADER_SOURCE_SIZE),
                                   header.field32(HEADER_DEST_SIZE),
                                   changes.empty() ? nullptr : changes.c_str()};
        stopped = each != nullptr && each(context, &record) != 0;
    }
    closeChecked(diffPath, diff);
    if (found == Found::BEING_WRITTEN)
        report.line("[%s] has a record at byte %llu still being written; stopped before it.\n",
                    printable(diffPath).c_str(), static_cast<unsigned long long>(at));
    else if (recordCount == 0)
        report.line("[%s] is not zep file.\n", printable(diffPath).c_str());
    return recordCount;
}

}  // namespace zep
