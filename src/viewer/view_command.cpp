// The view command. It reads headers only: the files a record names are never touched and its
// instruction stream is stepped over unread.
#include "viewer/view_command.h"

#include "common/fatal.h"
#include "common/file_layer.h"
#include "common/printable.h"
#include "format/record_header.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

const char* osTypeText(uint8_t type)
{
    static const char* const kTexts[] = {"MS-DOS", "Windows", "Win32", "OS/2"};
    return type < 4 ? kTexts[type] : "Unknown";
}

// Time-stamp texts are printed up to their zero, but never past their 26-byte field. Names and
// times come from the file, whoever made it: what could steer a terminal is shown escaped.
std::string timeText(uint32_t offset)
{
    const auto* text = reinterpret_cast<const char*>(currentHeader.bytes + offset);
    return printable(std::string(text, strnlen(text, kTimeStampLength)));
}

void listRecord()
{
    std::printf("%s %s %08lx %lu\n", printable(headerSourceName()).c_str(),
                timeText(HEADER_SOURCE_TIME).c_str(),
                static_cast<unsigned long>(headerField32(HEADER_SOURCE_CRC)),
                static_cast<unsigned long>(headerField32(HEADER_SOURCE_SIZE)));
    std::printf(">> %s %s %08lx %lu\n\n", printable(headerDestName()).c_str(),
                timeText(HEADER_DEST_TIME).c_str(),
                static_cast<unsigned long>(headerField32(HEADER_DEST_CRC)),
                static_cast<unsigned long>(headerField32(HEADER_DEST_SIZE)));
}

}  // namespace

void viewDifferenceFile(const char* diffPath)
{
    openForRead(diffPath, diffSlot, true);  // only read, as the user asked
    lockShared(diffSlot);
    uint32_t recordCount = 0;
    uint32_t skipped = 0;
    while (findRecord(diffSlot, skipped)) {
        seekCurrent(diffSlot, headerField32(HEADER_STREAM_LENGTH));
        if (recordCount == 0)
            std::printf("OS type: %s\n", osTypeText(currentHeader.bytes[HEADER_OS_TYPE]));
        ++recordCount;
        listRecord();
        releaseHeader();
    }
    closeChecked(diffPath, diffSlot);
    // A listing cut short by a full disk or a closed pipe must not end as a success.
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        fatalExit(ExitCode::CANNOT_WRITE, "[%s] can not write.\n", "stdout");
    if (recordCount == 0)
        std::fprintf(stderr, "[%s] is not zep file.\n", printable(diffPath).c_str());
}
