// POSIX implementation of the platform services on open files: opening, locking, reading,
// writing, mapping, and file times. Each function is one system call or a short sequence of
// them; errno is left as the failing call set it.
#include "platform/platform.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace zep {

namespace platform {

int openReadOnly(const char* path, bool deviceAllowed)
{
    return openReadOnlyAt(AT_FDCWD, path, deviceAllowed);
}

int openReadOnlyAt(int directory, const char* name, bool deviceAllowed)
{
    struct stat named;
    if (!deviceAllowed && ::fstatat(directory, name, &named, 0) == 0 &&
        (S_ISCHR(named.st_mode) || S_ISBLK(named.st_mode))) {
        errno = ENODEV;
        return -1;
    }
    // O_NONBLOCK keeps a FIFO from hanging the open; it has no effect on regular files.
    const int fd = ::openat(directory, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return -1;
    struct stat info;
    if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        ::close(fd);
        errno = EISDIR;
        return -1;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

bool isPipe(const char* path)
{
    struct stat named;
    return ::stat(path, &named) == 0 && (S_ISFIFO(named.st_mode) || S_ISSOCK(named.st_mode));
}

int openWritable(const char* path, bool mustCreate)
{
    // Opening a device can have effects of its own: what is not a regular file is not opened.
    // Nor is a symbolic link followed: in a directory that others may write, it would lead the
    // write into any file they point it at.
    struct stat info;
    if (!mustCreate && ::lstat(path, &info) == 0 && !S_ISREG(info.st_mode)) {
        errno = S_ISLNK(info.st_mode) ? ELOOP : EINVAL;
        return -1;
    }
    // O_NONBLOCK keeps a FIFO that appeared after the test from hanging the open.
    const int flags =
        O_RDWR | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW | (mustCreate ? O_EXCL : 0);
    const int fd = ::open(path, flags, 0666);
    if (fd < 0)
        return -1;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

bool closeFile(int fd)
{
    return ::close(fd) == 0;
}

int openNull()
{
    return ::open("/dev/null", O_WRONLY | O_CLOEXEC);
}

namespace {

// The errors of a file system that keeps no locks of this kind.
bool noLocksHere(int error)
{
    return error == ENOLCK || error == EOPNOTSUPP || error == EINVAL;
}

}  // namespace

LockResult tryLockWholeFile(int fd)
{
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR)
            continue;
        if (errno == EWOULDBLOCK)
            return LockResult::BUSY;
        return noLocksHere(errno) ? LockResult::TAKEN : LockResult::FAILED;
    }
    return LockResult::TAKEN;
}

LockResult tryLockRange(int fd, uint64_t start, uint64_t length)
{
#ifdef F_OFD_SETLK
    struct flock lock = {};  // l_pid must be 0 for locks of an open file description
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = static_cast<off_t>(start);
    lock.l_len = static_cast<off_t>(length);
    if (::fcntl(fd, F_OFD_SETLK, &lock) == 0)
        return LockResult::TAKEN;
    if (errno == EAGAIN || errno == EACCES)
        return LockResult::BUSY;
    return noLocksHere(errno) ? LockResult::TAKEN : LockResult::FAILED;
#else
    static_cast<void>(fd);
    static_cast<void>(start);
    static_cast<void>(length);
    return LockResult::TAKEN;
#endif
}

bool rangeLockedAt(int fd, uint64_t offset)
{
#ifdef F_OFD_GETLK
    // Asking for a shared lock finds only the exclusive locks in its way.
    struct flock lock = {};
    lock.l_type = F_RDLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = static_cast<off_t>(offset);
    lock.l_len = 1;
    return ::fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
#else
    static_cast<void>(fd);
    static_cast<void>(offset);
    return false;
#endif
}

uint64_t steadyMilliseconds()
{
    struct timespec now = {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

void pauseMilliseconds(uint32_t milliseconds)
{
    struct timespec pause = {};
    pause.tv_sec = static_cast<time_t>(milliseconds / 1000);
    pause.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000;
    ::nanosleep(&pause, nullptr);
}

bool directoryAccessOf(const char* path, DirectoryAccess& access)
{
    const char* slash = std::strrchr(path, '/');
    const std::string directory =
        slash == nullptr ? std::string(".") : std::string(path, slash == path ? slash + 1 : slash);
    struct stat info;
    if (::stat(directory.c_str(), &info) != 0)
        return false;
    access = {static_cast<uint32_t>(info.st_uid), (info.st_mode & S_ISVTX) != 0,
              (info.st_mode & (S_IWGRP | S_IWOTH)) != 0};
    return true;
}

bool identityOf(int fd, FileIdentity& identity)
{
    struct stat info;
    if (::fstat(fd, &info) != 0)
        return false;
    identity = {static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
    return true;
}

bool identityOfPath(const char* path, FileIdentity& identity)
{
    struct stat info;
    if (::stat(path, &info) != 0)
        return false;
    identity = {static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
    return true;
}

bool seekFile(int fd, int64_t distance, int whence)
{
    return ::lseek(fd, static_cast<off_t>(distance), whence) >= 0;
}

size_t readFile(int fd, void* data, size_t count)
{
    size_t done = 0;
    while (done < count) {
        const ssize_t got = ::read(fd, static_cast<char*>(data) + done, count - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += static_cast<size_t>(got);
    }
    return done;
}

size_t readFileAt(int fd, void* data, size_t count, uint64_t offset)
{
    size_t done = 0;
    while (done < count) {
        const ssize_t got = ::pread(fd, static_cast<char*>(data) + done, count - done,
                                    static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += static_cast<size_t>(got);
    }
    return done;
}

bool writeFile(int fd, const void* data, size_t count)
{
    size_t done = 0;
    while (done < count) {
        const ssize_t put = ::write(fd, static_cast<const char*>(data) + done, count - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        done += static_cast<size_t>(put);
    }
    return true;
}

bool fileLength(int fd, uint64_t& length)
{
    struct stat info;
    if (::fstat(fd, &info) != 0)
        return false;
    length = static_cast<uint64_t>(info.st_size);
    return true;
}

bool filePosition(int fd, uint64_t& position)
{
    const off_t where = ::lseek(fd, 0, SEEK_CUR);
    if (where < 0)
        return false;
    position = static_cast<uint64_t>(where);
    return true;
}

bool truncateFile(int fd, uint64_t length)
{
    return ::ftruncate(fd, static_cast<off_t>(length)) == 0;
}

bool truncatePath(const char* path, uint64_t length)
{
    return ::truncate(path, static_cast<off_t>(length)) == 0;
}

bool syncFile(int fd)
{
    // EINVAL: a special file such as /dev/null, which has nothing to flush.
    return ::fsync(fd) == 0 || errno == EINVAL;
}

const uint8_t* mapReadOnly(int fd, size_t length)
{
    // Both commands read every page front to back: map them all at once (no fault per page)
    // and let the kernel read ahead.
    void* view = ::mmap(nullptr, length, PROT_READ, MAP_SHARED | MAP_POPULATE, fd, 0);
    if (view == MAP_FAILED)
        return nullptr;
    ::madvise(view, length, MADV_SEQUENTIAL);
    return static_cast<const uint8_t*>(view);
}

bool unmapView(const uint8_t* view, size_t length)
{
    return ::munmap(const_cast<uint8_t*>(view), length) == 0;
}

uint64_t fileTimeFromUnix(int64_t seconds, long nanoseconds)
{
    // Times before 1601 cannot be expressed; they become the earliest file time.
    if (seconds < -kUnixEpochSeconds)
        return 0;
    return static_cast<uint64_t>(seconds + kUnixEpochSeconds) * kTicksPerSecond +
           static_cast<uint64_t>(nanoseconds / 100);
}

void unixFromFileTime(uint64_t ticks, int64_t& seconds, long& nanoseconds)
{
    seconds = static_cast<int64_t>(ticks / kTicksPerSecond) - kUnixEpochSeconds;
    nanoseconds = static_cast<long>(ticks % kTicksPerSecond) * 100;
}

bool lastWriteTicks(int fd, uint64_t& ticks)
{
    struct stat info;
    if (::fstat(fd, &info) != 0)
        return false;
    ticks = fileTimeFromUnix(info.st_mtim.tv_sec, info.st_mtim.tv_nsec);
    return true;
}

bool setLastWriteTicks(int fd, uint64_t ticks)
{
    int64_t seconds;
    long nanoseconds;
    unixFromFileTime(ticks, seconds, nanoseconds);
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(seconds);
    times[1].tv_nsec = nanoseconds;
    return ::futimens(fd, times) == 0;
}

bool localFromUnix(int64_t seconds, CalendarTime& local)
{
    const time_t when = static_cast<time_t>(seconds);
    struct tm fields;
    if (::localtime_r(&when, &fields) == nullptr)
        return false;
    local = {fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday,
             fields.tm_hour,        fields.tm_min,     fields.tm_sec};
    return true;
}

bool unixFromLocal(const CalendarTime& local, int64_t& seconds, int saving)
{
    struct tm fields = {};
    fields.tm_year = local.year - 1900;
    fields.tm_mon = local.month - 1;
    fields.tm_mday = local.day;
    fields.tm_hour = local.hour;
    fields.tm_min = local.minute;
    fields.tm_sec = local.second;
    fields.tm_isdst = saving;
    errno = 0;
    const time_t when = ::mktime(&fields);
    // -1 is also one second before the epoch; only errno tells the two apart.
    if (when == static_cast<time_t>(-1) && errno != 0)
        return false;
    seconds = static_cast<int64_t>(when);
    return true;
}

}  // namespace platform

}  // namespace zep
