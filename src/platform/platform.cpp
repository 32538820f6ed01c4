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
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace platform {

int openReadOnly(const char* path)
{
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
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (mustCreate ? O_EXCL : 0);
    return ::open(path, flags, 0666);
}

bool closeFile(int fd)
{
    return ::close(fd) == 0;
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

bool unixFromLocal(const CalendarTime& local, int64_t& seconds)
{
    struct tm fields = {};
    fields.tm_year = local.year - 1900;
    fields.tm_mon = local.month - 1;
    fields.tm_mday = local.day;
    fields.tm_hour = local.hour;
    fields.tm_min = local.minute;
    fields.tm_sec = local.second;
    fields.tm_isdst = -1;
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
    const std::string directory = directoryOf(to);
    std::string hidden = directory + ".tmpXXXXXX";
    const int out = ::mkstemp(hidden.data());
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
    // The move itself reaches the disk with its directory.
    const int dir = ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

bool permissionBits(int fd, uint32_t& mode)
{
    struct stat info;
    if (::fstat(fd, &info) != 0)
        return false;
    mode = info.st_mode & 0777;
    return true;
}

bool setPermissionBits(int fd, uint32_t mode)
{
    return ::fchmod(fd, static_cast<mode_t>(mode & 0777)) == 0;
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
