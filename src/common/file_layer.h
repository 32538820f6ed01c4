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

void openForRead(const char* name, FileSlot& slot);   // exit 1
void openForWrite(const char* name, FileSlot& slot);  // exit 4; existing content is kept
// Opens or creates the file with its position at the end. Until commitAppend, a fatal exit
// truncates the file back to its old length and removes it if this call created it empty.
void openForAppend(const char* name, FileSlot& slot);  // exits 4, 6
void commitAppend();
// Names a file that closeAllFiles removes until keepOnFailure: a temporary result that has not
// passed its checks yet is of no use to anyone after a failure.
void discardOnFailure(const char* name);
void keepOnFailure();
// Opens and maps the whole file read-only; an empty file cannot be mapped.
const uint8_t* mapWholeFile(const char* name, FileSlot& slot);  // exits 1, 2, 3
void unmapFile(const char* name, FileSlot& slot);               // exit 5
void closeChecked(const char* name, FileSlot& slot);            // exit 5

// Moves the position relative to the current one or to the end; a move before the start of
// the file fails. The distance is 64-bit so that unsigned 32-bit lengths never turn negative.
void seekCurrent(FileSlot& slot, int64_t distance);  // exit 6
void seekEnd(FileSlot& slot, int64_t distance);      // exit 6
// Reads up to count bytes at the current position; returns how many arrived.
size_t readBytes(FileSlot& slot, uint8_t* data, size_t count);
// Bytes from the current position to the end of the file (0 when the position is past it).
uint64_t bytesLeft(const FileSlot& slot);

uint32_t fileSize(const FileSlot& slot);  // low 32 bits
// File time in 100 ns ticks since 1601 UTC, cut to whole milliseconds, or without milliseconds
// to whole seconds: the precision that a record's time-stamp text keeps.
uint64_t lastWriteTime(const FileSlot& slot, bool keepMilliseconds);
bool fileExists(const char* name);
void deleteFile(const char* name);
