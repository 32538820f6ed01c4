// The library's door to files: the slots of one run hold every file and mapping it opens, so that
// however the run ends they are all released. No operation returns an error: each failure is
// thrown with its message and status.
#pragma once
#include <climits>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <string>

namespace zep {

class Report;

struct FileSlot {
    int handle = -1;
    const uint8_t* view = nullptr;  // read-only mapping of the whole file, when mapped
    size_t viewLength = 0;
    std::string name;  // as the caller passed it, for the messages of later failures
};

// What a run must undo when it fails or is stopped by a signal. A signal handler may read it at
// any moment, so names are fixed arrays, written before the flag that makes them count; a name
// that would not fit could not have been opened.
struct PendingAppend {
    volatile sig_atomic_t armed = 0;
    bool created = false;  // this run created the file
    uint64_t originalLength = 0;
    int handle = -1;  // holds the lock: nothing is undone without it
    char name[PATH_MAX] = {};
    bool toldWaiting = false;  // the run said once that it waits for another process
    uint64_t waitUntil = 0;    // when its waiting ends, on the steady clock; 0 until it starts
};
// A temporary file of a run. Its name is recorded before the file is created and forgotten
// only once the file is gone or has its final name, so there is no moment at which it is on disk
// and a stop would leave it behind.
enum : sig_atomic_t {
    DISCARD_NEVER = 0,    // the slot is free
    DISCARD_ALWAYS = 1,   // a failure or a stop removes the file
    DISCARD_ON_STOP = 2,  // only a stop does: a failure keeps it, for the user to take
};
struct DiscardedFile {
    volatile sig_atomic_t when = DISCARD_NEVER;
    int directory = -1;  // the name is taken in it (AT_FDCWD: a path)
    // Set for a name that may turn out to be another file's: it is removed only while it leads
    // to the file of this device and inode.
    bool identified = false;
    uint64_t device = 0;
    uint64_t inode = 0;
    char name[PATH_MAX] = {};
};

// The files of one run: at most three open at a time besides an apply's directory, and what a
// failure must undo. However the run ends, its files are released when this goes, a partial
// record cut back and unchecked temporary files removed unless the run committed or kept them.
struct RunFiles {
    FileSlot source;  // create: source; apply: the current record's source
    FileSlot target;  // create: destination; apply: the temporary output file
    FileSlot diff;    // the difference file
    PendingAppend append;
    // An apply's temporary result, the hidden file beside its target, a backup's hidden copy
    // and the backup's own name may exist at once.
    DiscardedFile discarded[4];
    int directory = -1;       // apply: the directory it works in, opened once
    bool holdsDiff = false;   // create: this thread holds the locks of the difference file
    uint64_t diffDevice = 0;  // and which file that is
    uint64_t diffInode = 0;

    RunFiles() = default;
    RunFiles(const RunFiles&) = delete;
    RunFiles& operator=(const RunFiles&) = delete;
    ~RunFiles()
    {
        release();
    }
    // Undoes, then releases every mapping and every handle without looking at results.
    void release();
    // What release undoes (the partial record), and every temporary file, with async-signal-safe
    // calls only: for a signal handler that ends the process next.
    void undo();
    // The name of the mapped file whose view holds the address, or nullptr; for a signal handler.
    const char* mappedFileAt(const void* address) const;
};

void openForRead(const char* name, FileSlot& slot, bool deviceAllowed = false);  // status 1
// The same for a name in a directory the run holds open; messages show the file as shown.
void openForRead(int directory, const char* name, const char* shown, FileSlot& slot);  // status 1
void openForWrite(const char* name, FileSlot& slot);  // status 4; existing content is kept
// Opens or creates a difference file to append to, position at its start. It must be a
// regular file. Creates take turns: each holds, until the slot is closed, the exclusive
// whole-file lock (flock, which older versions take as well) and the writers' byte, a record
// lock far beyond any real file. While another process holds either, the run says so once
// through report and tries again, 1 ms later growing to 100 ms, for the seconds ZEP_LOCK_WAIT
// gives (default 60); then it fails with status 13. Until commitAppend, a failure or a stop by a
// signal cuts the file back to the length it had under the lock, and removes it if this call
// created it and it is still empty.
void openForAppend(RunFiles& files, const char* name, const Report& report);  // statuses 4, 13
// Locks [at, the writers' byte) before anything there changes: a record is being written from
// at on. Only a descriptor open for writing can take such a lock, so nobody who may only read
// the file can pretend to write it. Waits for a reader's lock there as openForAppend waits.
void lockAppendRange(RunFiles& files, uint64_t at, const Report& report);  // statuses 4, 13
// Whether a create holds the lock that lockAppendRange takes over the byte at offset: the
// record there is being written. Readers ask, and never wait.
bool appendLockedAt(const FileSlot& slot, uint64_t offset);
// Cuts the file back to a shorter length, which a failure then restores instead.
void cutBackAppend(RunFiles& files, uint64_t length);  // status 9
void commitAppend(RunFiles& files);
// Flushes what was written to the disk, so that a power loss cannot take it back.
void syncChecked(FileSlot& slot);  // status 9
// Creates a new empty file (mode 0600) named prefix and 12 random letters and digits in the
// directory (AT_FDCWD: prefix is a path), recorded first as DISCARD_ALWAYS: a temporary result
// that has not passed its checks yet is of no use to anyone after a failure. Returns its
// descriptor, and its record, which holds its name, in record; -1 when it cannot be created
// (errno as the creation left it), and nothing stays recorded then.
int createDiscarded(RunFiles& files, int directory, const std::string& prefix,
                    DiscardedFile*& record);
// Records the name of a file that is about to be put there, as DISCARD_ON_STOP; nullptr when
// the run has no room for it.
DiscardedFile* discardOnStop(RunFiles& files, int directory, const char* name);
// Records, as DISCARD_ALWAYS, a name that the file of the given device and inode is about to
// take as a second name, before it takes it: from the moment the name exists a failure or a
// stop removes it, but only while it leads to that file, so that a name found taken keeps its
// own file. nullptr when the run has no room for it.
DiscardedFile* discardSecondName(RunFiles& files, int directory, const char* name, uint64_t device,
                                 uint64_t inode);
// From now on only a stop removes the file.
void keepOnFailure(DiscardedFile* file);
// The file is gone or has its final name: nothing is to remove any more.
void forgetDiscarded(DiscardedFile* file);
// Removes the file (a second name: while it leads to its file) and forgets it.
void removeDiscarded(DiscardedFile* file);
// Maps the whole of a file that openForRead opened; an empty file cannot be mapped.
const uint8_t* mapOpenedFile(const char* name, FileSlot& slot);  // statuses 2, 3
// Unmaps what mapOpenedFile mapped; the file stays open.
void dropMapping(FileSlot& slot);
// Opens and maps the whole file read-only.
const uint8_t* mapWholeFile(const char* name, FileSlot& slot);  // statuses 1, 2, 3
void unmapFile(const char* name, FileSlot& slot);               // status 5
void closeChecked(const char* name, FileSlot& slot);            // status 5
// Unmaps and closes without looking at results: for a slot whose file was only read.
void releaseSlot(FileSlot& slot);
// A slot that swallows whatever is written to it, for output that is only measured; closing
// it cannot fail.
void openNullSink(FileSlot& slot);
void closeNullSink(FileSlot& slot);

// Moves the position relative to the current one or to the end; a move before the start of
// the file fails. The distance is 64-bit so that unsigned 32-bit lengths never turn negative.
void seekCurrent(FileSlot& slot, int64_t distance);  // status 6
void seekEnd(FileSlot& slot, int64_t distance);      // status 6
void seekStart(FileSlot& slot);                      // status 6
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

}  // namespace zep
