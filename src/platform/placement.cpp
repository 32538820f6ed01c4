// POSIX implementation of the platform services on names: existence, removal, moves, second
// names, copies, hidden files beside a target, temporary files and access bits. Each function
// is one system call or a short sequence of them; errno is left as the failing call set it.
#include "platform/platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace platform {

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
