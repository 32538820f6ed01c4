// The create command: both inputs are mapped and measured before the difference file is
// opened, so a bad input never touches it; a failure after that cuts the file back.
#include "encoder/create_command.h"

#include "common/checksum.h"
#include "common/fatal.h"
#include "common/file_layer.h"
#include "encoder/delta_encoder.h"
#include "encoder/tuning.h"
#include "encoder/whole_file_encoder.h"
#include "format/record_header.h"

#include <cstdio>
#include <cstring>

namespace {

// Maps one input and records its size and last-write time (with milliseconds) in the header.
const uint8_t* mapInput(const char* path, FileSlot& slot, uint32_t sizeField, uint32_t timeField)
{
    const uint8_t* view = mapWholeFile(path, slot);
    // Sizes in a record are 32-bit; a larger input would be recorded wrongly.
    if (slot.viewLength > UINT32_MAX)
        fatalExit(ExitCode::TOO_LARGE, "[%s] is too large.\n", path);
    setHeaderField32(sizeField, fileSize(slot));
    formatTimeStamp(lastWriteTime(slot, true), currentHeader.bytes + timeField);
    return view;
}

// With /W the whole-file encoder's stream, unless the specified encoder's would not be longer.
// Where that one is already at most 64 bytes and one per 4 KiB of the new file, there is too
// little to gain to index the source at all.
void encodeChosen(FileSlot& diff, const uint8_t* source, const uint8_t* dest)
{
    if (wholeFileSearch != 0) {
        const uint32_t destSize = headerField32(HEADER_DEST_SIZE);
        const uint32_t specified = measureStream(source, dest);
        WholeFilePlan plan;
        if (specified > 64 + destSize / 4096 &&
            planWholeFile(source, headerField32(HEADER_SOURCE_SIZE), dest, destSize, plan) &&
            plan.streamLength < specified) {
            writeWholeFileRecord(diff, plan, source, dest);
            return;
        }
    }
    encodeStream(diff, source, dest);
}

}  // namespace

void createRecord(const char* sourcePath, const char* destPath, const char* diffPath)
{
    discardCopyRun();
    resetRunningCrcs();
    const uint8_t* source =
        mapInput(sourcePath, sourceSlot, HEADER_SOURCE_SIZE, HEADER_SOURCE_TIME);
    const uint8_t* dest = mapInput(destPath, targetSlot, HEADER_DEST_SIZE, HEADER_DEST_TIME);
    openForAppend(diffPath, diffSlot);

    if (std::strcmp(sourcePath, destPath) == 0)
        std::fprintf(stderr, "%s\n", sourcePath);
    else
        std::fprintf(stderr, "%s > %s\n", sourcePath, destPath);
    encodeChosen(diffSlot, source, dest);

    closeChecked(diffPath, diffSlot);
    commitAppend();
    unmapFile(sourcePath, sourceSlot);
    unmapFile(destPath, targetSlot);
}
