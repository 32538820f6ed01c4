// File slots, opening, mapping, positioning and closing, each failure a fatal exit.
#include "common/file_layer.h"

#include "common/fatal.h"
#include "platform/platform.h"

#include <cerrno>
#include <cstdio>

FileSlot sourceSlot;
FileSlot targetSlot;
FileSlot diffSlot;

namespace {

// The difference file that a create is appending to, until the record is complete.
struct PendingAppend {
    bool armed = false;
    bool created = false;  // this run created the file
    uint64_t originalLength = 0;
    std::string name;
};
PendingAppend pendingAppend;
std::string discardedOnFailure;

void rollBackAppend()
{
    if (!pendingAppend.armed)
        return;
    pendingAppend.armed = false;
    const char* name = pendingAppend.name.c_str();
    if (pendingAppend.created && pendingAppend.originalLength == 0) {
        platform::removeFile(name);
        return;
    }
    // The handle may already be gone when its close was what failed; the name still leads there.
    if (diffSlot.handle < 0 ||
        !platform::truncateFile(diffSlot.handle, pendingAppend.originalLength))
        platform::truncatePath(name, pendingAppend.originalLength);
}

void releaseMapping(const FileSlot& slot)
{
    if (slot.view != nullptr)
        platform::unmapView(slot.view, slot.viewLength);
}

}  // namespace

void closeAllFiles()
{
    rollBackAppend();
    for (FileSlot* slot : {&sourceSlot, &targetSlot, &diffSlot})
        releaseMapping(*slot);
    for (FileSlot* slot : {&sourceSlot, &targetSlot, &diffSlot}) {
        if (slot->handle >= 0)
            platform::closeFile(slot->handle);
        slot->handle = -1;  // a second call releases nothing twice
        slot->view = nullptr;
        slot->viewLength = 0;
    }
    if (!discardedOnFailure.empty())
        platform::removeFile(discardedOnFailure.c_str());
    discardedOnFailure.clear();
}

void openForRead(const char* name, FileSlot& slot)
{
    slot.name = name;
    slot.handle = platform::openReadOnly(name);
    if (slot.handle < 0)
        fatalExit(ExitCode::CANNOT_OPEN, "[%s] not exist.\n", name);
}

void openForWrite(const char* name, FileSlot& slot)
{
    slot.name = name;
    slot.handle = platform::openWritable(name, false);
    if (slot.handle < 0)
        fatalExit(ExitCode::CANNOT_CREATE, "[%s] can not create.\n", name);
}

void openForAppend(const char* name, FileSlot& slot)
{
    slot.name = name;
    // Knowing whether this run created the file decides whether a failure removes it again.
    bool created = false;
    for (int attempt = 0; attempt < 100; ++attempt) {
        slot.handle = platform::openWritable(name, true);
        if (slot.handle >= 0) {
            created = true;
            break;
        }
        if (errno != EEXIST)
            break;
        slot.handle = platform::openWritable(name, false);
        if (slot.handle >= 0 || errno != ENOENT)
            break;  // anything but a removal between the two opens is final
    }
    if (slot.handle < 0)
        fatalExit(ExitCode::CANNOT_CREATE, "[%s] can not create.\n", name);
    uint64_t length = 0;
    platform::fileLength(slot.handle, length);
    pendingAppend = {true, created, length, name};
    seekEnd(slot, 0);
}

void commitAppend()
{
    pendingAppend.armed = false;
}

void discardOnFailure(const char* name)
{
    discardedOnFailure = name;
}

void keepOnFailure()
{
    discardedOnFailure.clear();
}

const uint8_t* mapWholeFile(const char* name, FileSlot& slot)
{
    openForRead(name, slot);
    uint64_t length = 0;
    if (!platform::fileLength(slot.handle, length) || length == 0 || length > SIZE_MAX)
        fatalExit(ExitCode::CANNOT_MAP, "[%s] can not create mapping file.\n", name);
    slot.view = platform::mapReadOnly(slot.handle, static_cast<size_t>(length));
    if (slot.view == nullptr)
        fatalExit(ExitCode::CANNOT_VIEW, "[%s] can not create mapping pointer.\n", name);
    slot.viewLength = static_cast<size_t>(length);
    return slot.view;
}

void unmapFile(const char* name, FileSlot& slot)
{
    if (slot.view != nullptr) {
        const bool unmapped = platform::unmapView(slot.view, slot.viewLength);
        slot.view = nullptr;
        slot.viewLength = 0;
        if (!unmapped)
            fatalExit(ExitCode::CANNOT_CLOSE, "[%s] can not close.\n", name);
    }
    closeChecked(name, slot);
}

void closeChecked(const char* name, FileSlot& slot)
{
    const int handle = slot.handle;
    slot.handle = -1;  // cleared first: a failed close must not be tried again
    if (handle >= 0 && !platform::closeFile(handle))
        fatalExit(ExitCode::CANNOT_CLOSE, "[%s] can not close.\n", name);
}

void seekCurrent(FileSlot& slot, int64_t distance)
{
    if (!platform::seekFile(slot.handle, distance, SEEK_CUR))
        fatalExit(ExitCode::SEEK_FAILED, "file seek error.\n");
}

void seekEnd(FileSlot& slot, int64_t distance)
{
    if (!platform::seekFile(slot.handle, distance, SEEK_END))
        fatalExit(ExitCode::SEEK_FAILED, "file seek error.\n");
}

size_t readBytes(FileSlot& slot, uint8_t* data, size_t count)
{
    return platform::readFile(slot.handle, data, count);
}

uint64_t bytesLeft(const FileSlot& slot)
{
    uint64_t length = 0;
    uint64_t position = 0;
    if (!platform::fileLength(slot.handle, length) ||
        !platform::filePosition(slot.handle, position))
        return 0;
    return position < length ? length - position : 0;
}

uint32_t fileSize(const FileSlot& slot)
{
    uint64_t length = 0;
    platform::fileLength(slot.handle, length);
    return static_cast<uint32_t>(length);
}

uint64_t lastWriteTime(const FileSlot& slot, bool keepMilliseconds)
{
    uint64_t ticks = 0;
    platform::lastWriteTicks(slot.handle, ticks);
    const uint64_t unit =
        keepMilliseconds ? platform::kTicksPerSecond / 1000 : platform::kTicksPerSecond;
    ticks -= ticks % unit;
    return ticks;
}

bool fileExists(const char* name)
{
    return platform::fileExists(name);
}

void deleteFile(const char* name)
{
    platform::removeFile(name);
}
