// POSIX stand-ins for the few system services the tool needs: files by descriptor, whole-file
// read-only mappings, last-write times as 100 ns ticks since 1601, local calendar time, temporary
// files, and moves or copies that never replace an existing file. No messages, exits or policy:
// every function reports plain success or failure and the file layer decides what it means.
#pragma once
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace zep {

namespace platform {

// Opens an existing file for reading. Directories and names that cannot be read give -1, and
// so do devices unless asked for: opening one may act, as a tape's or a watchdog's does.
int openReadOnly(const char* path, bool deviceAllowed = false);
// True when the name leads to a pipe (FIFO) or a socket: bytes that can be read only once, front
// to back, and never sought.
bool isPipe(const char* path);
// Opens a regular file for reading and writing, creating it empty when missing; existing
// content is kept. With mustCreate the call fails (errno EEXIST) when the name already exists.
// Anything but a regular file (a FIFO, a device, a directory) is refused without blocking, and a
// symbolic link, dangling or not, is not followed (errno ELOOP).
int openWritable(const char* path, bool mustCreate);
bool closeFile(int fd);
// /dev/null for writing: output that is only measured.
int openNull();
// Locks that never wait: BUSY when another open file description holds a lock in the way, and
// TAKEN on a file system without such locks, which counts as locked: there is nothing better to
// do there. The caller decides how long to try again.
enum class LockResult { TAKEN, BUSY, FAILED };
// The exclusive whole-file lock (flock) that creates take; a descriptor open for reading can
// take it too.
LockResult tryLockWholeFile(int fd);
// An exclusive lock on the bytes [start, start + length) held by the open file description
// (F_OFD_SETLK), which only a descriptor open for writing can take; it goes with the last
// descriptor of that description.
LockResult tryLockRange(int fd, uint64_t start, uint64_t length);
// Whether another open file description holds an exclusive lock over the byte at offset.
bool rangeLockedAt(int fd, uint64_t offset);
// Milliseconds of a clock that never goes back, for timing a wait.
uint64_t steadyMilliseconds();
// Sleeps; a signal that is caught ends the pause early.
void pauseMilliseconds(uint32_t milliseconds);
// The directory that holds path (the current one for a plain name): its owner, whether it is
// sticky, and whether users other than its owner may write in it. In a sticky directory that
// others may write in, any of them may leave a file under a name that someone else will use.
struct DirectoryAccess {
    uint32_t owner = 0;
    bool sticky = false;
    bool shared = false;
};
bool directoryAccessOf(const char* path, DirectoryAccess& access);

// Device and inode: two names or descriptors of one file give the same identity.
struct FileIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
};
bool identityOf(int fd, FileIdentity& identity);
bool identityOfPath(const char* path, FileIdentity& identity);

// Moves the file position; whence is SEEK_CUR or SEEK_END. A position below 0 fails.
bool seekFile(int fd, int64_t distance, int whence);
// Reads up to count bytes, retrying short reads; returns the bytes read (fewer at end of file
// or on an error).
size_t readFile(int fd, void* data, size_t count);
// The same at a given offset, leaving the file position alone.
size_t readFileAt(int fd, void* data, size_t count, uint64_t offset);
// Writes all count bytes or reports failure (disk full, quota, file size limit, I/O error).
bool writeFile(int fd, const void* data, size_t count);
bool fileLength(int fd, uint64_t& length);
bool filePosition(int fd, uint64_t& position);
bool truncateFile(int fd, uint64_t length);
bool truncatePath(const char* path, uint64_t length);
// Flushes the file's data and size to the disk; a special file has nothing to flush.
bool syncFile(int fd);

// Maps length bytes of the file read-only from offset 0; nullptr on failure.
const uint8_t* mapReadOnly(int fd, size_t length);
bool unmapView(const uint8_t* view, size_t length);

// File time: the count of 100 ns ticks since 1601-01-01 UTC that difference files record.
constexpr int64_t kUnixEpochSeconds = 11644473600;  // 1601-01-01 to 1970-01-01
constexpr uint64_t kTicksPerSecond = 10000000;
uint64_t fileTimeFromUnix(int64_t seconds, long nanoseconds);
void unixFromFileTime(uint64_t ticks, int64_t& seconds, long& nanoseconds);
bool lastWriteTicks(int fd, uint64_t& ticks);
// Sets the last-write time only; the access time stays as it is.
bool setLastWriteTicks(int fd, uint64_t ticks);

// Local wall-clock time of the machine (TZ honoured), whole seconds.
struct CalendarTime {
    int year, month, day, hour, minute, second;  // month 1-12, day 1-31
};
bool localFromUnix(int64_t seconds, CalendarTime& local);
// The wall-clock time read as daylight-saving time (saving 1), as standard time (0), or as
// the system decides (-1). A reading that does not exist comes back normalised to another
// wall-clock time, which the caller can tell by converting back.
bool unixFromLocal(const CalendarTime& local, int64_t& seconds, int saving = -1);

// True when the name is a file that can be opened for reading (not a directory).
bool fileExists(const char* path);
// True when name, in the directory (AT_FDCWD: the current one), is a directory this process may
// create files in (by its effective IDs).
bool isWritableDirectory(int directory, const char* name);
bool removeFile(const char* path);

// Names in a directory that a run opened once (openDirectory): each name below is taken in the
// directory the descriptor holds (AT_FDCWD: the current one, or a path), so that moving or
// replacing the directory's own name meanwhile cannot lead the work into another directory.
// "" is the current directory. One that may be searched but not read is opened all the same
// (only syncDirectory then fails).
int openDirectory(const char* path);
// openReadOnly for a name in the directory.
int openReadOnlyAt(int directory, const char* name, bool deviceAllowed = false);
// Opens the relative path below the directory with the open flags, each component taken in
// the one before and none of them a symbolic link (ELOOP, or ENOTDIR where one stands for a
// directory): a path can lead nowhere outside the directory, whatever its names hold now. A
// ".." component fails (EINVAL); the caller has refused "." and empty ones. -1 with errno on
// failure.
int openBeneath(int directory, const char* path, int flags);
// What holds a name, the name itself examined (a symbolic link is not followed). False when
// nothing does (errno ENOENT) or the name cannot be examined. An empty name: the open file
// that directory stands for.
struct Entry {
    bool directory = false;
    bool symbolicLink = false;
    bool regular = false;
    uint64_t links = 0;  // names of the file, this one included
    FileIdentity identity;
    uint32_t mode = 0;   // permission, set-ID and sticky bits
    uint64_t size = 0;   // bytes; for a link, its target's length
    uint64_t ticks = 0;  // last-write time, as lastWriteTicks gives it
};
bool entryOf(int directory, const char* name, Entry& entry);
// The names in the directory open at descriptor directory, without "." and "..", in no order.
bool namesIn(int directory, std::vector<std::string>& names);
// The text a symbolic link in the directory holds.
bool linkTargetOf(int directory, const char* name, std::string& target);
bool removeFile(int directory, const char* name);
// Moves a file into place, never over an existing one.
bool renameNoReplace(int fromDirectory, const char* from, int toDirectory, const char* to);
// Moves a file into place in one step, over the file that holds the name, if any.
bool renameReplacing(int fromDirectory, const char* from, int toDirectory, const char* to);
// Holds back every signal that can be held from the calling thread until releaseSignals: one
// that comes meanwhile waits, so that no handler runs between steps that belong together.
struct HeldSignals {
    sigset_t previous;
};
void holdSignals(HeldSignals& held);
void releaseSignals(const HeldSignals& held);
// A thread for work that runs beside a run's own (a search, a compression, a prediction). It
// takes no signals: the handlers that end a run belong to the run's thread. Throws
// std::system_error where no thread can be had.
template <typename Work> std::thread startWorker(Work&& work)
{
    HeldSignals held;
    holdSignals(held);
    try {
        std::thread worker(std::forward<Work>(work));
        releaseSignals(held);
        return worker;
    } catch (...) {
        releaseSignals(held);
        throw;
    }
}
// A second name for the file; fails (errno EEXIST) when the name is taken. Some file systems
// have no such names (errno EPERM or EOPNOTSUPP).
bool linkFile(int directory, const char* from, const char* to);
// Creates a new empty file, mode 0600, open for reading and writing; fails (errno EEXIST) when
// anything holds the name, a symbolic link included.
int createNew(int directory, const char* name);
// count letters and digits at random: names that no other program will choose or guess.
std::string randomName(size_t count);
// Copies the open input's bytes, owner and group (where the process may set them), mode bits
// and last-write time to the open output, and flushes the output to disk. Set-user-ID and
// set-group-ID are copied only where the owner and the group were.
bool copyFile(int in, int out);
// Puts the file at the path from under hidden in the directory, where createNew made an empty
// file (placed: its descriptor), flushed to disk: moved where both lie on one file system (moved
// true, placed then describes the moved file), copied with its last-write time otherwise, still
// private. On failure the file is still at from.
bool fillHidden(const char* from, int directory, const char* hidden, int& placed, bool& moved);
// Flushes the entries made or moved in the directory to disk.
bool syncDirectory(int directory);

// A descriptor closed when its holder goes (-1: none).
struct Held {
    explicit Held(int opened = -1) : fd(opened) {}
    ~Held()
    {
        if (fd >= 0)
            closeFile(fd);
    }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    int fd;
};

// Services for updating a tree in place: names taken in a directory held open, never through
// a symbolic link at the name itself.
// A file that lives in memory only, open for reading and writing; -1 where there is none.
int memoryFile();
// Flushes every change on the file system that holds the open file to disk.
bool syncFileSystem(int fd);
// The directory's own lock, taken without waiting: false (errno EWOULDBLOCK) while another
// process holds it. It goes with the descriptor.
bool lockDirectory(int directory);
// A new directory with exactly the mode bits given (the process's umask does not apply).
bool makeDirectory(int directory, const char* name, uint32_t mode);
bool removeDirectory(int directory, const char* name);
// Sets the mode bits of what holds the name (not through a link).
bool setMode(int directory, const char* name, uint32_t mode);
// A new symbolic link holding target.
bool makeLink(const char* target, int directory, const char* name);
// A second name, in another directory, for what holds from (a link itself, not its target).
bool linkBeside(int fromDirectory, const char* from, int toDirectory, const char* to);
// Removes the name and, for a directory, everything below it, never following a link.
bool removeAll(int directory, const char* name);
// Holds back SIGINT, SIGTERM and SIGHUP alone (releaseSignals lets them through), and tells
// whether one of them waits.
void holdStopSignals(HeldSignals& held);
bool stopSignalWaiting();
// Whether the process may make and remove names in the open directory (by its effective IDs).
bool canWriteIn(int directory);
// Whether the open file belongs to the process's effective user and no one else may write it.
bool isPrivateFile(int fd);
// Whether the process may set the open file's mode and times: its owner, or root.
bool mayChangeAttributes(int fd);
// setMode for a directory alone: anything else under the name is left as it is.
bool setDirectoryMode(int directory, const char* name, uint32_t mode);

// Owner, group and mode bits (permissions, set-user-ID, set-group-ID, sticky) of an open file.
// The largest value of owner or group stands for "as it is".
struct FileAccess {
    uint32_t owner = UINT32_MAX;
    uint32_t group = UINT32_MAX;
    uint32_t mode = 0600;
};
bool accessOf(int fd, FileAccess& access);
// Gives an open file the owner and group where the process may set them (the group alone, or
// neither, otherwise), then the mode bits, which must succeed. Set-user-ID stays only where the
// file got the owner, set-group-ID only where it got the group (as copyFile does).
bool setAccess(int fd, const FileAccess& access);
// The access of a file that only this process's user may read: its own owner and group, 0600.
FileAccess privateAccess();

// $TMPDIR when set and non-empty, else /tmp; no trailing slash is added.
std::string temporaryDirectory();

}  // namespace platform

}  // namespace zep
