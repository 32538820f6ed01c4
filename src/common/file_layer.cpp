// File slots, opening, mapping, positioning and closing, each failure a fatal exit.
#include "common/file_layer.h"

#include "common/printable.h"
#include "common/status.h"
#include "platform/platform.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iterator>

FileSlot sourceSlot;
FileSlot targetSlot;
FileSlot diffSlot;

namespace {

// What a run must undo when it fails or is stopped by a signal. A signal handler may read it at
// any moment, so names are fixed arrays, written before the flag that makes them count; a name
// that would not fit could not have been opened.
struct PendingAppend {
    volatile sig_atomic_t armed = 0;
    bool created = false;  // this run created the file
    uint64_t originalLength = 0;
    int handle = -1;  // holds the lock: nothing is undone without it
    char name[PATH_MAX] = {};
};
PendingAppend pendingAppend;

struct DiscardedFile {
    volatile sig_atomic_t set = 0;
    char name[PATH_MAX] = {};
};
DiscardedFile discarded;

void storeName(char (&field)[PATH_MAX], const char* name)
{
    const size_t length = std::min(std::strlen(name), sizeof field - 1);
    std::memcpy(field, name, length);
    field[length] = '\0';
    std::atomic_signal_fence(std::memory_order_seq_cst);  // the name is whole before it counts
}

// Async-signal-safe: a few system calls on fixed data. Everything happens under the lock that
// the handle holds; the name is used only while it still leads to that file.
void rollBackAppend()
{
    if (pendingAppend.armed == 0)
        return;
    pendingAppend.armed = 0;
    const int handle = pendingAppend.handle;
    const uint64_t original = pendingAppend.originalLength;
    if (pendingAppend.created && original == 0) {
        platform::FileIdentity held, named;
        if (platform::identityOf(handle, held) &&
            platform::identityOfPath(pendingAppend.name, named) && held == named)
            platform::removeFile(pendingAppend.name);
        return;
    }
    // Nothing appended yet: the file stays untouched, its times included.
    uint64_t length = 0;
    if (platform::fileLength(handle, length) && length != original)
        platform::truncateFile(handle, original);
}

void removeDiscarded()
{
    if (discarded.set == 0)
        return;
    discarded.set = 0;
    platform::removeFile(discarded.name);
}

void releaseMapping(const FileSlot& slot)
{
    if (slot.view != nullptr)
        platform::unmapView(slot.view, slot.viewLength);
}

}  // namespace

void closeAllFiles()
{
    rollBackAppend();  // while the lock is still held
    for (FileSlot* slot : {&sourceSlot, &targetSlot, &diffSlot})
        releaseMapping(*slot);
    for (FileSlot* slot : {&sourceSlot, &targetSlot, &diffSlot}) {
        if (slot->handle >= 0)
            platform::closeFile(slot->handle);
        slot->handle = -1;  // a second call releases nothing twice
        slot->view = nullptr;
        slot->viewLength = 0;
    }
    removeDiscarded();
}

void undoOnSignal()
{
    rollBackAppend();
    removeDiscarded();
}

const char* mappedFileAt(const void* address)
{
    // A fault past the end of a file still lies in the last page of its view; 64 KiB covers
    // the largest page size.
    constexpr size_t kLargestPage = 65536;
    const auto at = reinterpret_cast<uintptr_t>(address);
    const FileSlot* const slots[] = {&sourceSlot, &targetSlot, &diffSlot};
    const auto* hit = std::find_if(std::begin(slots), std::end(slots), [&](const FileSlot* slot) {
        const auto start = reinterpret_cast<uintptr_t>(slot->view);
        return slot->view != nullptr && at >= start && at - start < slot->viewLength + kLargestPage;
    });
    return hit == std::end(slots) ? nullptr : (*hit)->name.c_str();
}

void openForRead(const char* name, FileSlot& slot, bool deviceAllowed)
{
    slot.name = name;
    slot.handle = platform::openReadOnly(name, deviceAllowed);
    if (slot.handle < 0)
        fail(Status::CANNOT_OPEN, "[%s] not exist.\n", printable(name).c_str());
}

void openForWrite(const char* name, FileSlot& slot)
{
    slot.name = name;
    slot.handle = platform::openWritable(name, false);
    if (slot.handle < 0)
        fail(Status::CANNOT_CREATE, "[%s] can not create.\n", printable(name).c_str());
}

void openForAppend(const char* name, FileSlot& slot)
{
    slot.name = name;
    for (int attempt = 0; attempt < 100; ++attempt) {
        // Knowing whether this run created the file decides whether a failure removes it again.
        slot.handle = platform::openWritable(name, true);
        const bool created = slot.handle >= 0;
        if (!created && errno == EEXIST)
            slot.handle = platform::openWritable(name, false);
        if (slot.handle < 0) {
            if (errno == ENOENT)
                continue;  // removed between the two opens
            break;
        }
        // Another create that held the lock may have removed the file it had created: the
        // lock counts only on the file that still has the name.
        platform::FileIdentity held, named;
        if (!platform::lockFile(slot.handle, true) || !platform::identityOf(slot.handle, held))
            break;
        if (!platform::identityOfPath(name, named) || !(held == named)) {
            platform::closeFile(slot.handle);
            slot.handle = -1;
            continue;
        }
        uint64_t length = 0;
        if (!platform::fileLength(slot.handle, length))
            break;
        pendingAppend.created = created && length == 0;
        pendingAppend.originalLength = length;
        pendingAppend.handle = slot.handle;
        storeName(pendingAppend.name, name);
        pendingAppend.armed = 1;
        return;
    }
    fail(Status::CANNOT_CREATE, "[%s] can not create.\n", printable(name).c_str());
}

void cutBackAppend(FileSlot& slot, uint64_t length)
{
    // The new length counts first: a stop in between must not restore what is being cut.
    pendingAppend.originalLength = length;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (!platform::truncateFile(slot.handle, length))
        fail(Status::CANNOT_WRITE, "[%s] can not write.\n", printable(slot.name).c_str());
}

void commitAppend()
{
    pendingAppend.armed = 0;
}

void lockShared(FileSlot& slot)
{
    platform::lockFile(slot.handle, false);
}

void syncChecked(FileSlot& slot)
{
    if (!platform::syncFile(slot.handle))
        fail(Status::CANNOT_WRITE, "[%s] can not write.\n", printable(slot.name).c_str());
}

void discardOnFailure(const char* name)
{
    discarded.set = 0;
    storeName(discarded.name, name);
    discarded.set = 1;
}

void keepOnFailure()
{
    discarded.set = 0;
}

const uint8_t* mapOpenedFile(const char* name, FileSlot& slot)
{
    const uint64_t length = fileLength(slot);
    if (length == 0 || length > SIZE_MAX)
        fail(Status::CANNOT_MAP, "[%s] can not create mapping file.\n", printable(name).c_str());
    slot.view = platform::mapReadOnly(slot.handle, static_cast<size_t>(length));
    if (slot.view == nullptr)
        fail(Status::CANNOT_VIEW, "[%s] can not create mapping pointer.\n",
             printable(name).c_str());
    slot.viewLength = static_cast<size_t>(length);
    return slot.view;
}

const uint8_t* mapWholeFile(const char* name, FileSlot& slot)
{
    openForRead(name, slot);
    return mapOpenedFile(name, slot);
}

void unmapFile(const char* name, FileSlot& slot)
{
    if (slot.view != nullptr) {
        const bool unmapped = platform::unmapView(slot.view, slot.viewLength);
        slot.view = nullptr;
        slot.viewLength = 0;
        if (!unmapped)
            fail(Status::CANNOT_CLOSE, "[%s] can not close.\n", printable(name).c_str());
    }
    closeChecked(name, slot);
}

void closeChecked(const char* name, FileSlot& slot)
{
    const int handle = slot.handle;
    slot.handle = -1;  // cleared first: a failed close must not be tried again
    if (handle >= 0 && !platform::closeFile(handle))
        fail(Status::CANNOT_CLOSE, "[%s] can not close.\n", printable(name).c_str());
}

void openNullSink(FileSlot& slot)
{
    slot.name = "/dev/null";
    slot.handle = platform::openNull();
    if (slot.handle < 0)
        fail(Status::CANNOT_CREATE, "[%s] can not create.\n", "/dev/null");
}

void closeNullSink(FileSlot& slot)
{
    if (slot.handle >= 0)
        platform::closeFile(slot.handle);
    slot.handle = -1;
}

void seekCurrent(FileSlot& slot, int64_t distance)
{
    if (!platform::seekFile(slot.handle, distance, SEEK_CUR))
        fail(Status::SEEK_FAILED, "file seek error.\n");
}

void seekEnd(FileSlot& slot, int64_t distance)
{
    if (!platform::seekFile(slot.handle, distance, SEEK_END))
        fail(Status::SEEK_FAILED, "file seek error.\n");
}

size_t readBytes(FileSlot& slot, uint8_t* data, size_t count)
{
    return platform::readFile(slot.handle, data, count);
}

size_t readBytesAt(FileSlot& slot, uint8_t* data, size_t count, uint64_t offset)
{
    return platform::readFileAt(slot.handle, data, count, offset);
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

uint64_t fileLength(const FileSlot& slot)
{
    uint64_t length = 0;
    platform::fileLength(slot.handle, length);
    return length;
}

bool sameFile(const FileSlot& one, const FileSlot& other)
{
    platform::FileIdentity first, second;
    return platform::identityOf(one.handle, first) && platform::identityOf(other.handle, second) &&
           first == second;
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
