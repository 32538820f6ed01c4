// The tool's door to files: three process-wide slots hold every open file and mapping, so that a
// fatal exit from anywhere can release them all. No operation returns an error: each failure
// ends the process with its message and status.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

struct FileSlot {
    int handle = -1;
    const uint8_t* view = nullptr;  // read-only mapping of the whole file, when mapped
    size_t viewLength = 0;
    std::string name;  // as the caller passed it, for the messages of later failures
};

extern FileSlot sourceSlot;  // create: source; apply: the current record's source
extern FileSlot targetSlot;  // create: destination; apply: the temporary output file
extern FileSlot diffSlot;    // the difference file

// Releases every mapping, then every handle, of the three slots without looking at results.
// Only a fatal exit calls it. A difference file opened by openForAppend is first cut back to
// the length it had, so that a failed create never leaves a partial record behind.
void closeAllFiles();
// What closeAllFiles undoes (the partial record, the file to discard), with async-signal-safe
// calls only: for a signal handler that ends the process next.
void undoOnSignal();
// The name of the mapped file whose view holds the address, or nullptr; for a signal handler.
const char* mappedFileAt(const void* address);

// Opens a file for reading. A device is opened only where the caller allows it: the name of a
// file to map may come from a record, and a device can never be mapped anyway.
void openForRead(const char* name, FileSlot& slot, bool deviceAllowed = false);  // exit 1
void openForWrite(const char* name, FileSlot& slot);  // exit 4; existing content is kept
// Opens or creates a difference file to append to, position at its start. It must be a
// regular file. An exclusive lock, held until the slot is closed, makes other creates and
// readers of the file wait, so records are appended one at a time and never seen half-written.
// Until commitAppend, a failure or a stop by a signal cuts the file back to the length it had
// under the lock, and removes it if this call created it and it is still empty.
void openForAppend(const char* name, FileSlot& slot);  // exit 4
// Cuts the file back to a shorter length, which a failure then restores instead.
void cutBackAppend(FileSlot& slot, uint64_t length);  // exit 9
void commitAppend();
// Waits for a shared lock: a reader never sees a record that a create is still writing.
void lockShared(FileSlot& slot);
// Flushes what was written to the disk, so that a power loss cannot take it back.
void syncChecked(FileSlot& slot);  // exit 9
// Names a file that closeAllFiles removes until keepOnFailure: a temporary result that has not
// passed its checks yet is of no use to anyone after a failure.
void discardOnFailure(const char* name);
void keepOnFailure();
// Maps the whole of a file that openForRead opened; an empty file cannot be mapped.
const uint8_t* mapOpenedFile(const char* name, FileSlot& slot);  // exits 2, 3
// Opens and maps the whole file read-only.
const uint8_t* mapWholeFile(const char* name, FileSlot& slot);  // exits 1, 2, 3
void unmapFile(const char* name, FileSlot& slot);               // exit 5
void closeChecked(const char* name, FileSlot& slot);            // exit 5
// A slot that swallows whatever is written to it, for output that is only measured; closing
// it cannot fail.
void openNullSink(FileSlot& slot);
void closeNullSink(FileSlot& slot);

// Moves the position relative to the current one or to the end; a move before the start of
// the file fails. The distance is 64-bit so that unsigned 32-bit lengths never turn negative.
void seekCurrent(FileSlot& slot, int64_t distance);  // exit 6
void seekEnd(FileSlot& slot, int64_t distance);      // exit 6
// Reads up to count bytes at the current position; returns how many arrived.
size_t readBytes(FileSlot& slot, uint8_t* data, size_t count);
// The same at an offset, the position unchanged.
size_t readBytesAt(FileSlot& slot, uint8_t* data, size_t count, uint64_t offset);
// Bytes from the current position to the end of the file (0 when the position is past it).
uint64_t bytesLeft(const FileSlot& slot);

uint32_t fileSize(const FileSlot& slot);  // low 32 bits
// The whole size, for the checks that come before a file is mapped.
uint64_t fileLength(const FileSlot& slot);
// True when both slots hold the same file (device and inode).
bool sameFile(const FileSlot& one, const FileSlot& other);
// File time in 100 ns ticks since 1601 UTC, cut to whole milliseconds, or without milliseconds
// to whole seconds: the precision that a record's time-stamp text keeps.
uint64_t lastWriteTime(const FileSlot& slot, bool keepMilliseconds);
bool fileExists(const char* name);
void deleteFile(const char* name);
