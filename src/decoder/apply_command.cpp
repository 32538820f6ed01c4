// The apply command. Everything a stored name could do wrong is refused before the record
// touches the disk; after that the only files written are the temporary result, the numbered
// backups and the final name, which is only ever created, never replaced.
#include "decoder/apply_command.h"

#include "common/checksum.h"
#include "common/fatal.h"
#include "common/file_layer.h"
#include "decoder/instruction_interpreter.h"
#include "driver/command_line.h"
#include "format/record_header.h"
#include "platform/platform.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// A stored name must name a file in the current directory and nothing else.
bool isSafeName(const char* name)
{
    return *name != '\0' && std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0 &&
           std::strpbrk(name, "/\\") == nullptr;
}

void refuseUnsafeNames()
{
    const char* names[] = {headerSourceName(), headerDestName()};
    for (const char* name : names)
        if (!isSafeName(name))
            fatalExit(ExitCode::UNSAFE_NAME, "[%s] unsafe file name.\n", name);
}

// The source's last-write time at the precision the record kept: whole milliseconds when flag
// bit 0 is set, whole seconds otherwise.
bool sourceTimeMatches()
{
    const bool keepMilliseconds = (headerField16(HEADER_FLAGS) & FLAG_MILLISECONDS) != 0;
    return lastWriteTime(sourceSlot, keepMilliseconds) ==
           parseTimeStamp(currentHeader.bytes + HEADER_SOURCE_TIME);
}

// The first mismatch decides. A replay that ended before the recorded end of its stream counts
// as a broken stream whatever its checksum says, and a result of another length than the
// recorded destination size as a wrong result whatever its checksum says.
void verifyChecksums(bool streamComplete, bool destComplete)
{
    if (!streamComplete || streamCrc != headerField32(HEADER_STREAM_CRC))
        fatalExit(ExitCode::STREAM_BROKEN, ".zep broken.\n");
    if (sourceCrc != headerField32(HEADER_SOURCE_CRC))
        fatalExit(ExitCode::SOURCE_CRC, "source file CRC is not match(broken?).\n");
    if (!destComplete || destCrc != headerField32(HEADER_DEST_CRC))
        fatalExit(ExitCode::DEST_CRC, "internal error out put CRC not match.\n");
}

class RecordApplier {
  public:
    explicit RecordApplier(const uint8_t* mapping)
        : mapping_(mapping), temporaryDirectory_(platform::temporaryDirectory())
    {
    }

    // Handles the record findRecord just loaded, skipped bytes behind the last one.
    void applyRecord(uint32_t skipped)
    {
        const uint64_t recordOffset = mappedOffset_ + skipped;
        const uint64_t recordEnd =
            recordOffset + currentHeader.length + headerField32(HEADER_STREAM_LENGTH);
        refuseUnsafeNames();
        if (recordEnd > diffSlot.viewLength)
            fatalExit(ExitCode::STREAM_BROKEN, ".zep broken.\n");
        seekCurrent(diffSlot, headerField32(HEADER_STREAM_LENGTH));

        const std::string temporary = createTemporary();
        const std::string sourceName = headerSourceName();
        const std::string target = headerDestName();
        std::fprintf(stderr, "%s > %s\n", sourceName.c_str(), target.c_str());
        ++recordCount_;

        const uint8_t* source = mapWholeFile(sourceName.c_str(), sourceSlot);
        if (!sourceTimeMatches()) {
            std::fprintf(stderr, "[%s] time comparison error.\n", sourceName.c_str());
            unmapFile(sourceName.c_str(), sourceSlot);
            keepOnFailure();
            deleteFile(temporary.c_str());
            mappedOffset_ = recordEnd;
            releaseHeader();
            return;
        }
        uint32_t mode = 0600;
        platform::permissionBits(sourceSlot.handle, mode);

        openForWrite(temporary.c_str(), targetSlot);
        const uint8_t* streamEnd = nullptr;
        interpretStream(source, mapping_ + recordOffset, streamEnd);
        verifyChecksums(streamEnd == mapping_ + recordEnd,
                        fileSize(targetSlot) == headerField32(HEADER_DEST_SIZE));
        keepOnFailure();

        const uint64_t destTime = parseTimeStamp(currentHeader.bytes + HEADER_DEST_TIME);
        if (destTime != kInvalidTime)
            platform::setLastWriteTicks(targetSlot.handle, destTime);
        platform::setPermissionBits(targetSlot.handle, mode);
        closeChecked(temporary.c_str(), targetSlot);
        unmapFile(sourceName.c_str(), sourceSlot);

        if (!headerHasDestName())
            makeNumberedBackup(sourceName.c_str());
        if (fileExists(target.c_str()))
            makeNumberedBackup(target.c_str());
        if (!moveOrCopy(temporary.c_str(), target.c_str()))
            fatalExit(ExitCode::RENAME_FAILED, "Rename error temp file.\n");
        mappedOffset_ = recordEnd;
        releaseHeader();
    }

    uint32_t recordCount() const
    {
        return recordCount_;
    }

  private:
    // A new empty file in the temporary directory, removed again by any failure before the
    // result has passed its checks.
    std::string createTemporary()
    {
        std::string name;
        if (!platform::createTemporaryFile(temporaryDirectory_, name))
            fatalExit(ExitCode::CANNOT_CREATE, "[%s] can not create.\n",
                      temporaryDirectory_.c_str());
        discardOnFailure(name.c_str());
        return name;
    }

    const uint8_t* mapping_;
    const std::string temporaryDirectory_;
    uint64_t mappedOffset_ = 0;  // the difference file's read position
    uint32_t recordCount_ = 0;
};

}  // namespace

void applyDifferenceFile(const char* diffPath)
{
    const uint8_t* mapping = mapWholeFile(diffPath, diffSlot);
    RecordApplier applier(mapping);
    uint32_t skipped = 0;
    while (findRecord(diffSlot, skipped))
        applier.applyRecord(skipped);
    unmapFile(diffPath, diffSlot);
    if (applier.recordCount() == 0)
        std::fprintf(stderr, "[%s] is not zep file.\n", diffPath);
}

bool makeNumberedBackup(const char* name)
{
    const PathPieces pieces = splitPath(name);
    const std::string stem = pieces.drive + pieces.directory + pieces.name;
    for (int i = 0; i < 1000; ++i) {
        char extension[8];
        std::snprintf(extension, sizeof extension, ".%03d", i);
        if (moveOrCopy(name, (stem + extension).c_str()))
            return true;
    }
    return false;
}

bool moveOrCopy(const char* existing, const char* newName)
{
    if (fileExists(newName))
        return false;
    if (platform::renameNoReplace(existing, newName))
        return true;
    if (!platform::copyNoReplace(existing, newName))
        return false;
    deleteFile(existing);
    return true;
}
