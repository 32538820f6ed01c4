// File slots, opening, mapping, positioning and closing, each failure thrown.
#include "common/file_layer.h"

#include "common/printable.h"
#include "common/report.h"
#include "common/status.h"
#include "platform/platform.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <vector>

namespace zep {

namespace {

void storeName(char (&field)[PATH_MAX], const char* name)
{
    const size_t length = std::min(std::strlen(name), sizeof field - 1);
    std::memcpy(field, name, length);
    field[length] = '\0';
    std::atomic_signal_fence(std::memory_order_seq_cst);  // the name is whole before it counts
}

// Async-signal-safe: a few system calls on fixed data. Everything happens under the lock that
// the handle holds; the name is used only while it still leads to that file.
void rollBackAppend(PendingAppend& append)
{
    if (append.armed == 0)
        return;
    append.armed = 0;
    const int handle = append.handle;
    const uint64_t original = append.originalLength;
    if (append.created && original == 0) {
        platform::FileIdentity held, named;
        if (platform::identityOf(handle, held) && platform::identityOfPath(append.name, named) &&
            held == named)
            platform::removeFile(append.name);
        return;
    }
    // Nothing appended yet: the file stays untouched, its times included.
    uint64_t length = 0;
    if (platform::fileLength(handle, length) && length != original)
        platform::truncateFile(handle, original);
}

// Far beyond any file a record can be appended to: its lock says that a create is on.
constexpr uint64_t kWritersByte = uint64_t{1} << 62;

// How long a create waits for locks that another process holds: the whole seconds that
// ZEP_LOCK_WAIT gives, 60 when it is missing or no such number.
uint64_t lockWaitMilliseconds()
{
    constexpr uint64_t kDefault = 60000;
    const char* text = std::getenv("ZEP_LOCK_WAIT");
    if (text == nullptr || *text < '0' || *text > '9')
        return kDefault;
    uint64_t seconds = 0;
    for (; *text >= '0' && *text <= '9'; ++text)
        seconds = std::min<uint64_t>(seconds * 10 + static_cast<uint64_t>(*text - '0'), 1u << 30);
    return *text == '\0' ? seconds * 1000 : kDefault;
}

// The difference files whose locks a create in this thread holds: a create that a callback of
// that create starts on the same file would wait for its own caller, which waits for it.
thread_local std::vector<platform::FileIdentity> heldHere;

[[noreturn]] void failBusy(const FileSlot& diff)
{
    fail(Status::BUSY, "[%s] is still in use by another process; nothing appended.\n",
         printable(diff.name).c_str());
}

// The milliseconds a create may still wait for other processes: one allowance for all its
// waits together, so that whoever holds the file cannot make it start over.
uint64_t waitLeft(PendingAppend& append)
{
    const uint64_t now = platform::steadyMilliseconds();
    if (append.waitUntil == 0)
        append.waitUntil = now + lockWaitMilliseconds();
    return append.waitUntil > now ? append.waitUntil - now : 0;
}

// Tries to take locks until take gives TAKEN or the wait is over. Sleeping between tries, not
// blocking in the kernel, bounds the wait whatever holds the lock, and a signal still ends it.
template <typename Take> void waitForLocks(RunFiles& files, const Report& report, Take take)
{
    uint32_t pause = 1;
    for (;;) {
        const platform::LockResult result = take();
        if (result == platform::LockResult::TAKEN)
            return;
        if (result == platform::LockResult::FAILED)
            fail(Status::CANNOT_CREATE, "[%s] can not create.\n",
                 printable(files.diff.name).c_str());
        const uint64_t left = waitLeft(files.append);
        if (left == 0)
            failBusy(files.diff);
        if (!files.append.toldWaiting) {
            files.append.toldWaiting = true;
            report.line("[%s] is in use by another process; waiting.\n",
                        printable(files.diff.name).c_str());
        }
        platform::pauseMilliseconds(static_cast<uint32_t>(std::min<uint64_t>(pause, left)));
        pause = std::min<uint32_t>(pause * 2, 100);
    }
}

// Async-signal-safe: one or two system calls.
void removeName(const DiscardedFile& file)
{
    platform::Entry entry;
    if (file.identified && !(platform::entryOf(file.directory, file.name, entry) &&
                             entry.identity == platform::FileIdentity{file.device, file.inode}))
        return;
    platform::removeFile(file.directory, file.name);
}

// Async-signal-safe. The record is cleared first: a second signal finds nothing to remove.
void removeRecorded(DiscardedFile& file, bool failure)
{
    const sig_atomic_t when = file.when;
    file.when = DISCARD_NEVER;
    if (when == DISCARD_ALWAYS || (when == DISCARD_ON_STOP && !failure))
        removeName(file);
}

// Takes a free record for the name; nullptr when none is free or the name does not fit. With
// an identity, the name is removed only while it leads to that file.
DiscardedFile* recordName(RunFiles& files, int directory, const char* name, sig_atomic_t when,
                          const platform::FileIdentity* identity = nullptr)
{
    const size_t length = std::strlen(name);
    for (DiscardedFile& file : files.discarded) {
        if (file.when != DISCARD_NEVER)
            continue;
        if (length >= sizeof file.name) {
            errno = ENAMETOOLONG;
            return nullptr;
        }
        file.directory = directory;
        file.identified = identity != nullptr;
        file.device = identity != nullptr ? identity->device : 0;
        file.inode = identity != nullptr ? identity->inode : 0;
        std::memcpy(file.name, name, length + 1);
        std::atomic_signal_fence(std::memory_order_seq_cst);  // the name is whole before it counts
        file.when = when;
        return &file;
    }
    errno = EMFILE;
    return nullptr;
}

void releaseMapping(const FileSlot& slot)
{
    if (slot.view != nullptr)
        platform::unmapView(slot.view, slot.viewLength);
}

}  // namespace

void releaseSlot(FileSlot& slot)
{
    releaseMapping(slot);
    if (slot.handle >= 0)
        platform::closeFile(slot.handle);
    slot.handle = -1;  // a second call releases nothing twice
    slot.view = nullptr;
    slot.viewLength = 0;
}

void RunFiles::release()
{
    rollBackAppend(append);  // while the lock is still held
    for (FileSlot* slot : {&source, &target, &diff}) {
        releaseMapping(*slot);
        slot->view = nullptr;
        slot->viewLength = 0;
    }
    if (holdsDiff) {
        const auto entry = std::find(heldHere.begin(), heldHere.end(),
                                     platform::FileIdentity{diffDevice, diffInode});
        if (entry != heldHere.end())
            heldHere.erase(entry);
        holdsDiff = false;
    }
    for (FileSlot* slot : {&source, &target, &diff})
        releaseSlot(*slot);
    for (DiscardedFile& file : discarded)
        removeRecorded(file, true);
    if (directory >= 0)
        platform::closeFile(directory);  // only now: the records' names are taken in it
    directory = -1;
}

void RunFiles::undo()
{
    rollBackAppend(append);
    for (DiscardedFile& file : discarded)
        removeRecorded(file, false);
}

const char* RunFiles::mappedFileAt(const void* address) const
{
    // A fault past the end of a file still lies in the last page of its view; 64 KiB covers
    // the largest page size.
    constexpr size_t kLargestPage = 65536;
    const auto at = reinterpret_cast<uintptr_t>(address);
    const FileSlot* const slots[] = {&source, &target, &diff};
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

void openForRead(int directory, const char* name, const char* shown, FileSlot& slot)
{
    slot.name = shown;
    slot.handle = platform::openReadOnlyAt(directory, name);
    if (slot.handle < 0)
        fail(Status::CANNOT_OPEN, "[%s] not exist.\n", printable(shown).c_str());
}

void openForWrite(const char* name, FileSlot& slot)
{
    slot.name = name;
    slot.handle = platform::openWritable(name, false);
    if (slot.handle < 0)
        fail(Status::CANNOT_CREATE, "[%s] can not create.\n", printable(name).c_str());
}

void openForAppend(RunFiles& files, const char* name, const Report& report)
{
    FileSlot& slot = files.diff;
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
        platform::FileIdentity opened;
        if (platform::identityOf(slot.handle, opened) &&
            std::find(heldHere.begin(), heldHere.end(), opened) != heldHere.end())
            fail(Status::BUSY,
                 "[%s] is in use by the call that this one runs in; nothing appended.\n",
                 printable(name).c_str());
        // Older creates take the whole-file lock only; this one takes the writers' byte too. A
        // file this run created stays when the wait runs out: whoever holds the locks may be
        // writing into it already.
        waitForLocks(files, report, [&] {
            const platform::LockResult whole = platform::tryLockWholeFile(slot.handle);
            return whole != platform::LockResult::TAKEN
                       ? whole
                       : platform::tryLockRange(slot.handle, kWritersByte, 1);
        });
        // Another create that held the lock may have removed the file it had created: the
        // lock counts only on the file that still has the name.
        platform::FileIdentity held, named;
        if (!platform::identityOf(slot.handle, held))
            break;
        if (!platform::identityOfPath(name, named) || !(held == named)) {
            // The name changed hands while this run waited; it tries the file now under it,
            // within the same allowance, as long as another process keeps replacing it.
            platform::closeFile(slot.handle);
            slot.handle = -1;
            if (waitLeft(files.append) == 0 || attempt == 99)
                failBusy(slot);
            continue;
        }
        // A file that another user left under the name in a shared sticky directory (/tmp) may
        // be theirs to read and change after this run appended to it: it is not written to.
        platform::FileAccess file;
        platform::DirectoryAccess directory;
        if (!created && platform::accessOf(slot.handle, file) &&
            platform::directoryAccessOf(name, directory) && directory.sticky && directory.shared &&
            file.owner != platform::privateAccess().owner && file.owner != directory.owner)
            fail(Status::CANNOT_CREATE,
                 "[%s] belongs to another user in a shared directory; nothing appended.\n",
                 printable(name).c_str());
        uint64_t length = 0;
        if (!platform::fileLength(slot.handle, length))
            break;
        heldHere.push_back(held);
        files.holdsDiff = true;
        files.diffDevice = held.device;
        files.diffInode = held.inode;
        PendingAppend& append = files.append;
        append.created = created && length == 0;
        append.originalLength = length;
        append.handle = slot.handle;
        storeName(append.name, name);
        append.armed = 1;
        return;
    }
    if (errno == ELOOP)  // from the open, which follows no symbolic link
        fail(Status::CANNOT_CREATE, "[%s] is a symbolic link; nothing appended.\n",
             printable(name).c_str());
    fail(Status::CANNOT_CREATE, "[%s] can not create.\n", printable(name).c_str());
}

void lockAppendRange(RunFiles& files, uint64_t at, const Report& report)
{
    const int handle = files.diff.handle;
    waitForLocks(files, report,
                 [&] { return platform::tryLockRange(handle, at, kWritersByte - at); });
}

void cutBackAppend(RunFiles& files, uint64_t length)
{
    // The new length counts first: a stop in between must not restore what is being cut.
    files.append.originalLength = length;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (!platform::truncateFile(files.diff.handle, length))
        fail(Status::CANNOT_WRITE, "[%s] can not write.\n", printable(files.diff.name).c_str());
}

void commitAppend(RunFiles& files)
{
    files.append.armed = 0;
}

bool appendLockedAt(const FileSlot& slot, uint64_t offset)
{
    return platform::rangeLockedAt(slot.handle, offset);
}

void syncChecked(FileSlot& slot)
{
    if (!platform::syncFile(slot.handle))
        fail(Status::CANNOT_WRITE, "[%s] can not write.\n", printable(slot.name).c_str());
}

int createDiscarded(RunFiles& files, int directory, const std::string& prefix,
                    DiscardedFile*& record)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = prefix + platform::randomName(12);
        DiscardedFile* file = recordName(files, directory, name.c_str(), DISCARD_ALWAYS);
        if (file == nullptr)
            return -1;
        const int handle = platform::createNew(directory, name.c_str());
        if (handle >= 0) {
            record = file;
            return handle;
        }
        // Not this run's file: another program's under the same name, or none at all.
        const int reason = errno;
        forgetDiscarded(file);
        errno = reason;
        if (reason != EEXIST)
            return -1;
    }
    return -1;
}

DiscardedFile* discardOnStop(RunFiles& files, int directory, const char* name)
{
    return recordName(files, directory, name, DISCARD_ON_STOP);
}

DiscardedFile* discardSecondName(RunFiles& files, int directory, const char* name, uint64_t device,
                                 uint64_t inode)
{
    const platform::FileIdentity identity{device, inode};
    return recordName(files, directory, name, DISCARD_ALWAYS, &identity);
}

void keepOnFailure(DiscardedFile* file)
{
    if (file != nullptr && file->when == DISCARD_ALWAYS)
        file->when = DISCARD_ON_STOP;
}

void forgetDiscarded(DiscardedFile* file)
{
    if (file != nullptr)
        file->when = DISCARD_NEVER;
}

void removeDiscarded(DiscardedFile* file)
{
    if (file != nullptr && file->when != DISCARD_NEVER) {
        removeName(*file);
        file->when = DISCARD_NEVER;
    }
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

void dropMapping(FileSlot& slot)
{
    releaseMapping(slot);
    slot.view = nullptr;
    slot.viewLength = 0;
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

void seekStart(FileSlot& slot)
{
    if (!platform::seekFile(slot.handle, 0, SEEK_SET))
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

}  // namespace zep
