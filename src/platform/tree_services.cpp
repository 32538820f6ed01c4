// POSIX implementation of the services that update a tree in place: directories made, moved and
// removed below a root held open, links, locks, and a file system flushed as a whole.
#include "platform/platform.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace zep {

namespace platform {

namespace {

// fchmodat cannot refuse to follow a link on every kernel: the name is opened instead, with
// the flags that say what it must be.
bool setModeOpened(int directory, const char* name, uint32_t mode, int flags)
{
    const int fd = ::openat(directory, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | flags);
    if (fd < 0)
        return false;
    const bool set = ::fchmod(fd, static_cast<mode_t>(mode & 07777)) == 0;
    ::close(fd);
    return set;
}

}  // namespace

int memoryFile()
{
    return ::memfd_create("zep", MFD_CLOEXEC);
}

bool syncFileSystem(int fd)
{
    return ::syncfs(fd) == 0;
}

bool lockDirectory(int directory)
{
    return ::flock(directory, LOCK_EX | LOCK_NB) == 0;
}

bool makeDirectory(int directory, const char* name, uint32_t mode)
{
    return ::mkdirat(directory, name, 0700) == 0 && setMode(directory, name, mode);
}

bool removeDirectory(int directory, const char* name)
{
    return ::unlinkat(directory, name, AT_REMOVEDIR) == 0;
}

bool setMode(int directory, const char* name, uint32_t mode)
{
    return setModeOpened(directory, name, mode, O_NONBLOCK);
}

bool makeLink(const char* target, int directory, const char* name)
{
    return ::symlinkat(target, directory, name) == 0;
}

bool linkBeside(int fromDirectory, const char* from, int toDirectory, const char* to)
{
    return ::linkat(fromDirectory, from, toDirectory, to, 0) == 0;
}

bool removeAll(int directory, const char* name)
{
    if (::unlinkat(directory, name, 0) == 0 || errno == ENOENT)
        return true;
    if (errno != EISDIR && errno != EPERM)
        return false;
    const int below = ::openat(directory, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (below < 0)
        return false;
    std::vector<std::string> names;
    bool removed = namesIn(below, names);
    for (const std::string& held : names)
        removed = removeAll(below, held.c_str()) && removed;
    ::close(below);
    return removed && (::unlinkat(directory, name, AT_REMOVEDIR) == 0 || errno == ENOENT);
}

void holdStopSignals(HeldSignals& held)
{
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGHUP);
    ::pthread_sigmask(SIG_BLOCK, &stops, &held.previous);
}

bool isPrivateFile(int fd)
{
    struct stat info;
    return ::fstat(fd, &info) == 0 && info.st_uid == ::geteuid() && (info.st_mode & 022) == 0;
}

bool mayChangeAttributes(int fd)
{
    struct stat info;
    return ::fstat(fd, &info) == 0 && (info.st_uid == ::geteuid() || ::geteuid() == 0);
}

bool canWriteIn(int directory)
{
    return ::faccessat(directory, ".", W_OK | X_OK, AT_EACCESS) == 0;
}

bool setDirectoryMode(int directory, const char* name, uint32_t mode)
{
    return setModeOpened(directory, name, mode, O_DIRECTORY);
}

bool stopSignalWaiting()
{
    sigset_t waiting;
    if (::sigpending(&waiting) != 0)
        return false;
    return sigismember(&waiting, SIGINT) == 1 || sigismember(&waiting, SIGTERM) == 1 ||
           sigismember(&waiting, SIGHUP) == 1;
}

}  // namespace platform

}  // namespace zep
