// POSIX implementation of the platform services. Each function is one system call or a short
// sequence of them; errno is left as the failing call set it.
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

namespace platform {

int openReadOnly(const char* path, bool deviceAllowed)
{
    struct stat named;
    if (!deviceAllowed && ::stat(path, &named) == 0 &&
        (S_ISCHR(named.st_mode) || S_ISBLK(named.st_mode))) {
        errno = ENODEV;
        return -1;
    }
    // O_NONBLOCK keeps a FIFO from hanging the open; it has no effect on regular files.
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
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

int openWritable(const char* path, bool mustCreate)
{
    // Opening a device can have effects of its own: what is not a regular file is not opened.
    struct stat info;
    if (!mustCreate && ::stat(path, &info) == 0 && !S_ISREG(info.st_mode)) {
        errno = EINVAL;
        return -1;
    }
    // O_NONBLOCK keeps a FIFO that appeared after the test from hanging the open.
    const int flags = O_RDWR | O_CREAT | O_CLOEXEC | O_NONBLOCK | (mustCreate ? O_EXCL : 0);
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

bool lockFile(int fd, bool exclusive)
{
    while (::flock(fd, exclusive ? LOCK_EX : LOCK_SH) != 0) {
        if (errno == EINTR)
            continue;
        return errno == ENOLCK || errno == EOPNOTSUPP || errno == EINVAL;
    }
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

bool fileExists(const char* path)
{
    const int fd = openReadOnly(path);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

bool pathExists(const char* path)
{
    struct stat info;
    return ::lstat(path, &info) == 0;
}

bool holdsFile(const char* path)
{
    struct stat info;
    return ::lstat(path, &info) == 0 && !S_ISDIR(info.st_mode);
}

bool removeFile(const char* path)
{
    return ::unlink(path) == 0;
}

bool renameNoReplace(const char* from, const char* to)
{
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // Some file systems lack RENAME_NOREPLACE; link() refuses an existing target as well.
    if (::link(from, to) != 0)
        return false;
    if (::unlink(from) != 0) {
        const int saved = errno;
        ::unlink(to);
        errno = saved;
        return false;
    }
    return true;
}

bool renameReplacing(const char* from, const char* to)
{
    return ::rename(from, to) == 0;
}

bool linkFile(const char* from, const char* to)
{
    return ::link(from, to) == 0;
}

namespace {

// The directory part of a path, with its last '/', or "" for a name in the current directory.
std::string directoryOf(const char* path)
{
    const char* slash = std::strrchr(path, '/');
    return slash == nullptr ? std::string() : std::string(path, slash + 1);
}

// Copies the open input's bytes, permission bits and last-write time to the open output and
// flushes the output to disk.
bool copyContents(int in, const struct stat& info, int out)
{
    std::vector<char> buffer(1 << 16);
    for (;;) {
        const ssize_t got = ::read(in, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            break;
        if (!writeFile(out, buffer.data(), static_cast<size_t>(got)))
            return false;
    }
    struct timespec times[2] = {info.st_atim, info.st_mtim};
    // The owner where the process may set it; before the mode, which a change of owner clears.
    if (::fchown(out, info.st_uid, info.st_gid) != 0)
        ::fchown(out, static_cast<uid_t>(-1), info.st_gid);
    return ::fchmod(out, info.st_mode & 07777) == 0 && ::futimens(out, times) == 0 &&
           ::fsync(out) == 0;
}

}  // namespace

bool copyNoReplace(const char* from, const char* to)
{
    const int in = openReadOnly(from);
    if (in < 0)
        return false;
    struct stat info;
    if (::fstat(in, &info) != 0 || pathExists(to)) {
        ::close(in);
        return false;
    }
    std::string hidden;
    const int out = createHiddenBeside(to, hidden);
    if (out < 0) {
        ::close(in);
        return false;
    }
    bool ok = copyContents(in, info, out);
    ok = (::close(out) == 0) && ok;
    ::close(in);
    ok = ok && renameNoReplace(hidden.c_str(), to);
    if (!ok) {
        ::unlink(hidden.c_str());
        return false;
    }
    syncDirectoryOf(to);  // the move itself reaches the disk with its directory
    return true;
}

int createHiddenBeside(const char* besideOf, std::string& hidden)
{
    hidden = directoryOf(besideOf) + ".tmpXXXXXX";
    return ::mkostemp(hidden.data(), O_CLOEXEC);
}

bool fillHidden(const char* from, const std::string& hidden, int& placed, bool& moved)
{
    // The move replaces the empty file that reserved the hidden name.
    moved = ::rename(from, hidden.c_str()) == 0;
    if (moved) {
        const int file = ::open(hidden.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (file >= 0 && ::fsync(file) == 0) {
            ::close(placed);
            placed = file;
            return true;
        }
        const int saved = errno;
        if (file >= 0)
            ::close(file);
        moved = !(::rename(hidden.c_str(), from) == 0);
        errno = saved;
        return false;
    }
    if (errno != EXDEV)
        return false;
    const int in = openReadOnly(from);
    struct stat info;
    bool ok = in >= 0 && ::fstat(in, &info) == 0;
    if (ok) {
        // Private until the caller gives it its final owner and bits.
        info.st_mode = 0600;
        info.st_uid = ::geteuid();
        info.st_gid = ::getegid();
        ok = ::ftruncate(placed, 0) == 0 && copyContents(in, info, placed);
    }
    if (in >= 0)
        ::close(in);
    return ok;
}

bool syncDirectoryOf(const char* path)
{
    const std::string directory = directoryOf(path);
    const int dir =
        ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return false;
    const bool synced = ::fsync(dir) == 0;
    ::close(dir);
    return synced;
}

bool accessOf(int fd, FileAccess& access)
{
    struct stat info;
    if (::fstat(fd, &info) != 0)
        return false;
    access = {static_cast<uint32_t>(info.st_uid), static_cast<uint32_t>(info.st_gid),
              static_cast<uint32_t>(info.st_mode & 07777)};
    return true;
}

FileAccess privateAccess()
{
    return {static_cast<uint32_t>(::geteuid()), static_cast<uint32_t>(::getegid()), 0600};
}

bool setAccess(int fd, const FileAccess& access)
{
    // Owner first: a change of owner may clear permission bits that the mode then sets.
    if (::fchown(fd, access.owner, access.group) != 0 && errno == EPERM)
        ::fchown(fd, static_cast<uid_t>(-1), access.group);
    return ::fchmod(fd, static_cast<mode_t>(access.mode & 07777)) == 0;
}

std::string temporaryDirectory()
{
    const char* dir = std::getenv("TMPDIR");
    if (dir != nullptr && *dir != '\0')
        return dir;
    return "/tmp";
}

bool createTemporaryFile(const std::string& directory, std::string& name)
{
    std::string pattern = directory;
    if (pattern.empty() || pattern.back() != '/')
        pattern += '/';
    pattern += "tmpXXXXXX";
    std::vector<char> text(pattern.begin(), pattern.end());
    text.push_back('\0');
    const int fd = ::mkstemp(text.data());
    if (fd < 0)
        return false;
    ::close(fd);
    name = text.data();
    return true;
}

}  // namespace platform
