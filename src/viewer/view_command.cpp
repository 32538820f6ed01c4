// The view command. It reads headers only: the files a record names are never touched and its
// instruction stream is stepped over unread.
#include "viewer/view_command.h"

#include "common/file_layer.h"
#include "common/printable.h"
#include "common/report.h"
#include "format/record_header.h"

#include <cstring>
#include <string>

namespace {

// Time-stamp texts end at their zero, but never past their 26-byte field.
std::string timeText(uint32_t offset)
{
    const auto* text = reinterpret_cast<const char*>(currentHeader.bytes + offset);
    return std::string(text, strnlen(text, kTimeStampLength));
}

}  // namespace

uint32_t listRecords(const char* diffPath, int (*each)(void* context, const zep_record* record),
                     void* context)
{
    openForRead(diffPath, diffSlot, true);  // only read, as the user asked
    lockShared(diffSlot);
    uint32_t recordCount = 0;
    uint32_t skipped = 0;
    bool stopped = false;
    while (!stopped && findRecord(diffSlot, skipped)) {
        seekCurrent(diffSlot, headerField32(HEADER_STREAM_LENGTH));
        ++recordCount;
        const std::string sourceTime = timeText(HEADER_SOURCE_TIME);
        const std::string destTime = timeText(HEADER_DEST_TIME);
        const zep_record record = {currentHeader.bytes[HEADER_OS_TYPE],
                                   headerSourceName(),
                                   headerDestName(),
                                   sourceTime.c_str(),
                                   destTime.c_str(),
                                   headerField32(HEADER_SOURCE_CRC),
                                   headerField32(HEADER_DEST_CRC),
                                   headerField32(HEADER_SOURCE_SIZE),
                                   headerField32(HEADER_DEST_SIZE)};
        stopped = each != nullptr && each(context, &record) != 0;
        releaseHeader();
    }
    closeChecked(diffPath, diffSlot);
    if (recordCount == 0)
        consoleLine("[%s] is not zep file.\n", printable(diffPath).c_str());
    return recordCount;
}
