// POSIX implementation of the platform services on names in a directory held open: what holds a
// name, removal, moves, second names, new files under random names, copies, hidden files beside
// a target, access bits, and signals held over a move. Each function is one system call or a
// short sequence of them; errno is left as the failing call set it.
#include "platform/platform.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace zep {

namespace platform {

int openBeneath(int directory, const char* path, int flags)
{
    // ".." would lead above the directory, whatever the caller checked.
    for (const char* name = path; name != nullptr;) {
        const char* slash = std::strchr(name, '/');
        const size_t length =
            slash == nullptr ? std::strlen(name) : static_cast<size_t>(slash - name);
        if (length == 2 && name[0] == '.' && name[1] == '.') {
            errno = EINVAL;
            return -1;
        }
        name = slash == nullptr ? nullptr : slash + 1;
    }
    int at = directory;
    const char* name = path;
    for (const char* slash; (slash = std::strchr(name, '/')) != nullptr; name = slash + 1) {
        const std::string component(name, static_cast<size_t>(slash - name));
        const int next =
            ::openat(at, component.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int reason = errno;
        if (at != directory)
            ::close(at);
        if (next < 0) {
            errno = reason;
            return -1;
        }
        at = next;
    }
    const int opened = ::openat(at, name, flags | O_NOFOLLOW | O_CLOEXEC, 0600);
    const int reason = errno;
    if (at != directory)
        ::close(at);
    errno = reason;
    return opened;
}

bool isWritableDirectory(int directory, const char* name)
{
    struct stat info;
    return ::fstatat(directory, name, &info, 0) == 0 && S_ISDIR(info.st_mode) &&
           ::faccessat(directory, name, W_OK | X_OK, AT_EACCESS) == 0;
}

bool fileExists(const char* path)
{
    const int fd = openReadOnly(path);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

bool removeFile(const char* path)
{
    return ::unlink(path) == 0;
}

int openDirectory(const char* path)
{
    const char* name = *path == '\0' ? "." : path;
    const int fd = ::open(name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0 || errno != EACCES)
        return fd;
    // Searching a directory is all that its names need; only a flush needs it readable.
    return ::open(name, O_PATH | O_DIRECTORY | O_CLOEXEC);
}

bool entryOf(int directory, const char* name, Entry& entry)
{
    struct stat info;
    // An empty name examines the open file itself.
    const int flags = AT_SYMLINK_NOFOLLOW | (*name == '\0' ? AT_EMPTY_PATH : 0);
    if (::fstatat(directory, name, &info, flags) != 0)
        return false;
    entry.directory = S_ISDIR(info.st_mode);
    entry.symbolicLink = S_ISLNK(info.st_mode);
    entry.regular = S_ISREG(info.st_mode);
    entry.links = static_cast<uint64_t>(info.st_nlink);
    entry.identity = {static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
    entry.mode = static_cast<uint32_t>(info.st_mode & 07777);
    entry.size = static_cast<uint64_t>(info.st_size);
    entry.ticks = fileTimeFromUnix(info.st_mtim.tv_sec, info.st_mtim.tv_nsec);
    return true;
}

bool namesIn(int directory, std::vector<std::string>& names)
{
    // The stream takes a descriptor of its own, so that the caller's stays open.
    const int own = ::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* stream = own >= 0 ? ::fdopendir(own) : nullptr;
    if (stream == nullptr) {
        if (own >= 0)
            ::close(own);
        return false;
    }
    names.clear();
    errno = 0;
    while (const dirent* entry = ::readdir(stream)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.emplace_back(entry->d_name);
    }
    const bool complete = errno == 0;
    ::closedir(stream);
    return complete;
}

bool linkTargetOf(int directory, const char* name, std::string& target)
{
    std::vector<char> text(256);
    for (;;) {
        const ssize_t length = ::readlinkat(directory, name, text.data(), text.size());
        if (length < 0)
            return false;
        if (static_cast<size_t>(length) < text.size()) {
            target.assign(text.data(), static_cast<size_t>(length));
            return true;
        }
        text.resize(text.size() * 2);
    }
}

bool removeFile(int directory, const char* name)
{
    return ::unlinkat(directory, name, 0) == 0;
}

bool renameNoReplace(int fromDirectory, const char* from, int toDirectory, const char* to)
{
    if (::renameat2(fromDirectory, from, toDirectory, to, RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // Some file systems lack RENAME_NOREPLACE; link() refuses an existing target as well.
    if (::linkat(fromDirectory, from, toDirectory, to, 0) != 0)
        return false;
    if (::unlinkat(fromDirectory, from, 0) != 0) {
        const int saved = errno;
        ::unlinkat(toDirectory, to, 0);
        errno = saved;
        return false;
    }
    return true;
}

bool renameReplacing(int fromDirectory, const char* from, int toDirectory, const char* to)
{
    return ::renameat(fromDirectory, from, toDirectory, to) == 0;
}

void holdSignals(HeldSignals& held)
{
    sigset_t all;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &held.previous);
}

void releaseSignals(const HeldSignals& held)
{
    ::pthread_sigmask(SIG_SETMASK, &held.previous, nullptr);
}

bool linkFile(int directory, const char* from, const char* to)
{
    return ::linkat(directory, from, directory, to, 0) == 0;
}

int createNew(int directory, const char* name)
{
    return ::openat(directory, name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
}

std::string randomName(size_t count)
{
    static const char kCharacters[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::vector<unsigned char> bytes(count);
    size_t filled = 0;
    while (filled < count) {
        // Never waiting: an update applied early at boot must not hang for entropy.
        const ssize_t got = ::getrandom(bytes.data() + filled, count - filled, GRND_NONBLOCK);
        if (got > 0) {
            filled += static_cast<size_t>(got);
        } else if (got < 0 && errno != EINTR) {
            break;
        }
    }
    // Without the kernel's generator (not ready yet, a very old kernel, a seccomp filter), the
    // clock and the process still make a clash with another program unlikely; a clash only
    // costs a retry.
    uint64_t mix =
        static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
        (static_cast<uint64_t>(::getpid()) << 40);
    std::string name(count, 'x');
    for (size_t i = 0; i < count; ++i) {
        if (i >= filled) {
            mix = mix * 6364136223846793005u + 1442695040888963407u;
            bytes[i] = static_cast<unsigned char>(mix >> 56);
        }
        // 62 characters: the slight bias of the remainder costs a fraction of a bit per name.
        name[i] = kCharacters[bytes[i] % (sizeof kCharacters - 1)];
    }
    return name;
}

namespace {

// Gives the file the owner and group where the process may (the group alone, or neither,
// otherwise), then the mode bits. Set-user-ID and set-group-ID count only for the owner and
// group they were set for: on a file that the process could not give them, they would run
// whatever the file holds with the rights of the process's own user or group instead.
bool giveAccess(int fd, uid_t owner, gid_t group, mode_t mode)
{
    // Owner first: a change of owner clears the bits that the mode then sets.
    if (::fchown(fd, owner, group) != 0)
        ::fchown(fd, static_cast<uid_t>(-1), group);
    struct stat given;
    if (::fstat(fd, &given) != 0)
        return false;
    if (given.st_uid != owner)
        mode &= ~static_cast<mode_t>(S_ISUID);
    if (given.st_gid != group)
        mode &= ~static_cast<mode_t>(S_ISGID);
    return ::fchmod(fd, mode & 07777) == 0;
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
    return giveAccess(out, info.st_uid, info.st_gid, info.st_mode) && ::futimens(out, times) == 0 &&
           ::fsync(out) == 0;
}

}  // namespace

bool copyFile(int in, int out)
{
    struct stat info;
    return ::fstat(in, &info) == 0 && copyContents(in, info, out);
}

bool fillHidden(const char* from, int directory, const char* hidden, int& placed, bool& moved)
{
    // Opened before the move: the descriptor stays with the moved file whatever happens to the
    // hidden name afterwards.
    const int file = ::open(from, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (file < 0)
        return false;
    // The move replaces the empty file that reserved the hidden name.
    moved = ::renameat(AT_FDCWD, from, directory, hidden) == 0;
    if (moved) {
        if (::fsync(file) == 0) {
            ::close(placed);
            placed = file;
            return true;
        }
        const int saved = errno;
        ::close(file);
        moved = !(::renameat(directory, hidden, AT_FDCWD, from) == 0);
        errno = saved;
        return false;
    }
    struct stat info;
    bool ok = errno == EXDEV && ::fstat(file, &info) == 0;
    if (ok) {
        // Private until the caller gives it its final owner and bits.
        info.st_mode = 0600;
        info.st_uid = ::geteuid();
        info.st_gid = ::getegid();
        ok = ::ftruncate(placed, 0) == 0 && copyContents(file, info, placed);
    }
    const int saved = errno;
    ::close(file);
    errno = saved;
    return ok;
}

bool syncDirectory(int directory)
{
    return ::fsync(directory) == 0;
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
    return giveAccess(fd, static_cast<uid_t>(access.owner), static_cast<gid_t>(access.group),
                      static_cast<mode_t>(access.mode));
}

std::string temporaryDirectory()
{
    const char* dir = std::getenv("TMPDIR");
    if (dir != nullptr && *dir != '\0')
        return dir;
    return "/tmp";
}

}  // namespace platform

}  // namespace zep
