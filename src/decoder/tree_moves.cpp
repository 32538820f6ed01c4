// The staging directory, the journal and the moves of a tree's update. Every name is taken in a
// directory opened below the root without following a link.
#include "decoder/tree_moves.h"

#include "common/printable.h"
#include "common/status.h"
#include "format/file_names.h"
#include "platform/platform.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>

namespace zep {

namespace {

constexpr char kStagePrefix[] = ".zep-stage-";
constexpr char kBackupInStage[] = "backup";
constexpr char kJournalEnd[] = "end\n";
constexpr char kRetimedList[] = "times";

// The path without its "./", split into the directory that holds it and its own name.
void splitPath(const std::string& path, std::string& parent, std::string& name)
{
    const size_t slash = path.find_last_of('/');
    parent = slash <= 1 ? std::string(".") : path.substr(2, slash - 2);
    name = path.substr(slash + 1);
}

int openParent(int root, const std::string& path, std::string& name)
{
    std::string parent;
    splitPath(path, parent, name);
    return platform::openBeneath(root, parent.c_str(), O_RDONLY | O_DIRECTORY);
}

// Makes the directory at path ("a/b") below root and every one above it that is missing,
// mode 0700.
bool makeDirectories(int root, const std::string& path)
{
    for (size_t end = path.find('/');; end = path.find('/', end + 1)) {
        std::string parent;
        std::string name;
        splitPath("./" + path.substr(0, end), parent, name);
        const platform::Held above(
            platform::openBeneath(root, parent.c_str(), O_RDONLY | O_DIRECTORY));
        if (above.fd < 0 ||
            (!platform::makeDirectory(above.fd, name.c_str(), 0700) && errno != EEXIST))
            return false;
        if (end == std::string::npos)
            return true;
    }
}

PathKind kindOf(const platform::Entry& entry)
{
    return entry.directory      ? PathKind::DIRECTORY
           : entry.symbolicLink ? PathKind::LINK
           : entry.regular      ? PathKind::FILE
                                : PathKind::NONE;
}

// ".zep-stage-" and the six letters or digits that TreeStage picks: no other name is removed.
bool isStageName(const std::string& name)
{
    const size_t prefix = std::strlen(kStagePrefix);
    return name.size() == prefix + 6 && name.compare(0, prefix, kStagePrefix) == 0 &&
           std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix), name.end(),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; });
}

// "<offset> <table CRC> <contents CRC>": decimal, then two of eight hexadecimal digits.
bool readNumbers(const std::string& line, uint64_t& offset, uint32_t& tableCrc,
                 uint32_t& contentsCrc)
{
    const size_t first = line.find(' ');
    if (first == std::string::npos || line.size() != first + 18 || line[first + 9] != ' ' ||
        first == 0 || line.find_first_not_of("0123456789") != first)
        return false;
    const std::string crcs = line.substr(first + 1, 8) + line.substr(first + 10, 8);
    if (crcs.find_first_not_of("0123456789abcdef") != std::string::npos)
        return false;
    offset = std::stoull(line.substr(0, first));
    tableCrc = static_cast<uint32_t>(std::stoul(crcs.substr(0, 8), nullptr, 16));
    contentsCrc = static_cast<uint32_t>(std::stoul(crcs.substr(8), nullptr, 16));
    return true;
}

[[noreturn]] void failMove(const std::string& shownRoot, const std::string& path)
{
    fail(Status::RENAME_FAILED,
         "[%s] can not be moved into place; run zep -R again to finish the update.\n",
         printable(shownRoot + path.substr(1)).c_str());
}

// An old version going for good or for another kind: into the backup directory, a directory
// (empty by now: what it held went before it) removed.
void moveAway(int root, int backup, const std::string& shownRoot, const TreeEntry& entry)
{
    std::string name;
    platform::Held parent(openParent(root, entry.path, name));
    platform::Entry now;
    if (parent.fd < 0 || !platform::entryOf(parent.fd, name.c_str(), now) ||
        kindOf(now) != entry.before.kind)
        return;  // moved before a stop
    if (entry.before.kind == PathKind::DIRECTORY) {
        if (platform::removeDirectory(parent.fd, name.c_str()))
            return;
        if (errno != ENOTEMPTY && errno != EEXIST)
            failMove(shownRoot, entry.path);
    }
    // A file, a link, or a directory that something put files in after the checks: the
    // backup directory keeps it, under a name of its own where the name is taken.
    std::string kept;
    platform::Held keptParent(openParent(backup, entry.path, kept));
    bool moved = false;
    for (int suffix = 0; keptParent.fd >= 0 && !moved && suffix < 100; ++suffix) {
        const std::string keptName = suffix == 0 ? kept : kept + ".kept-" + std::to_string(suffix);
        moved = platform::renameNoReplace(parent.fd, name.c_str(), keptParent.fd, keptName.c_str());
    }
    if (!moved)
        failMove(shownRoot, entry.path);
}

// A new version from the staging directory into place. A file or link that replaces one of its
// kind keeps the old one under a second name in the backup directory first: the path holds the
// old or the new version at every moment.
void moveIn(int root, int stage, int backup, const std::string& shownRoot, const TreeEntry& entry,
            size_t index)
{
    std::string name;
    platform::Held parent(openParent(root, entry.path, name));
    if (parent.fd < 0)
        failMove(shownRoot, entry.path);
    if (entry.before.kind == PathKind::DIRECTORY && entry.after.kind == PathKind::DIRECTORY)
        return;  // its mode comes last
    const std::string staged = std::to_string(index);
    platform::Entry held;
    if (!platform::entryOf(stage, staged.c_str(), held))
        return;  // moved before a stop
    platform::Entry now;
    if (entry.before.kind == entry.after.kind && platform::entryOf(parent.fd, name.c_str(), now) &&
        kindOf(now) == entry.before.kind) {
        std::string kept;
        platform::Held keptParent(openParent(backup, entry.path, kept));
        // Where the old version can have no second name (another user's file, a file system
        // without them), it moves into the backup directory instead, and the path is empty
        // until the rename below.
        if (keptParent.fd < 0 ||
            (!platform::linkBeside(parent.fd, name.c_str(), keptParent.fd, kept.c_str()) &&
             errno != EEXIST &&
             !platform::renameNoReplace(parent.fd, name.c_str(), keptParent.fd, kept.c_str())))
            failMove(shownRoot, entry.path);
    }
    if (!platform::renameReplacing(stage, staged.c_str(), parent.fd, name.c_str()))
        failMove(shownRoot, entry.path);
}

}  // namespace

TreeStage::TreeStage(int root, const std::string& shownRoot) : root_(root), shownRoot_(shownRoot)
{
    for (int tries = 0; tries < 100 && stage_ < 0; ++tries) {
        name_ = kStagePrefix + platform::randomName(6);
        if (platform::makeDirectory(root_, name_.c_str(), 0700))
            stage_ = platform::openBeneath(root_, name_.c_str(), O_RDONLY | O_DIRECTORY);
        else if (errno != EEXIST)
            break;
    }
    if (stage_ < 0)
        fail(Status::CANNOT_CREATE, "[%s] can not create.\n", printable(shown(name_)).c_str());
}

TreeStage::~TreeStage()
{
    platform::closeFile(stage_);
    if (!committed_)
        platform::removeAll(root_, name_.c_str());
}

std::string TreeStage::shown(const std::string& name) const
{
    return shownRoot_ + "/" + name;
}

int TreeStage::createImage(const char* name)
{
    const int fd = platform::createNew(stage_, name);
    if (fd < 0)
        fail(Status::CANNOT_CREATE, "[%s] can not create.\n", printable(shown(name_)).c_str());
    return fd;
}

void TreeStage::removeImage(const char* name)
{
    platform::removeFile(stage_, name);
}

void TreeStage::addFile(size_t index, const uint8_t* bytes, size_t length, const PathState& after)
{
    const std::string staged = std::to_string(index);
    platform::Held file(platform::createNew(stage_, staged.c_str()));
    if (file.fd < 0)
        fail(Status::CANNOT_CREATE, "[%s] can not create.\n", printable(shown(name_)).c_str());
    // The result takes its mode and recorded time; the whole file system is flushed at once
    // before the journal (one flush instead of one per file).
    if (!platform::writeFile(file.fd, bytes, length) ||
        !platform::setMode(stage_, staged.c_str(), after.mode) ||
        !platform::setLastWriteTicks(file.fd, after.ticks))
        fail(Status::CANNOT_WRITE, "[%s] can not write.\n", printable(shown(name_)).c_str());
}

void TreeStage::addLink(size_t index, const std::string& target)
{
    if (!platform::makeLink(target.c_str(), stage_, std::to_string(index).c_str()))
        fail(Status::CANNOT_CREATE, "[%s] can not create.\n", printable(shown(name_)).c_str());
}

void TreeStage::addDirectory(size_t index, uint32_t mode)
{
    if (!platform::makeDirectory(stage_, std::to_string(index).c_str(), mode))
        fail(Status::CANNOT_CREATE, "[%s] can not create.\n", printable(shown(name_)).c_str());
}

void TreeStage::addRetimed(const std::vector<std::string>& paths)
{
    std::string list;
    for (const std::string& path : paths)
        list += path + '\0';
    platform::Held file(platform::createNew(stage_, kRetimedList));
    if (file.fd < 0 || !platform::writeFile(file.fd, list.data(), list.size()))
        fail(Status::CANNOT_WRITE, "[%s] can not write.\n", printable(shown(name_)).c_str());
}

void TreeStage::addRetimedCopy(size_t index, int from, uint64_t ticks)
{
    const std::string staged = "r" + std::to_string(index);
    platform::Held file(platform::createNew(stage_, staged.c_str()));
    if (file.fd < 0 || !platform::copyFile(from, file.fd) ||
        !platform::setLastWriteTicks(file.fd, ticks))
        fail(Status::CANNOT_WRITE, "[%s] can not write.\n", printable(shown(name_)).c_str());
}

void TreeStage::prepareBackup(const std::vector<TreeEntry>& entries)
{
    if (!platform::makeDirectory(stage_, kBackupInStage, 0700))
        fail(Status::CANNOT_CREATE, "[%s] can not create.\n", printable(shown(name_)).c_str());
    platform::Held backup(platform::openBeneath(stage_, kBackupInStage, O_RDONLY | O_DIRECTORY));
    for (const TreeEntry& entry : entries) {
        if (entry.before.kind == PathKind::NONE)
            continue;
        const size_t slash = entry.path.find_last_of('/');
        if (slash > 1 &&
            (backup.fd < 0 || !makeDirectories(backup.fd, entry.path.substr(2, slash - 2))))
            fail(Status::CANNOT_CREATE, "[%s] can not create.\n", printable(shown(name_)).c_str());
    }
}

void TreeStage::commit(TreeJournal& journal)
{
    journal.stage = name_;
    // The first backup name free now; the journal keeps it for a run that finishes the moves.
    for (unsigned number = 1;; ++number) {
        journal.backup = ".zep-backup-" + std::to_string(number);
        platform::Entry taken;
        if (!platform::entryOf(root_, journal.backup.c_str(), taken))
            break;
    }
    char text[512];
    const int length = std::snprintf(
        text, sizeof text, "zep tree journal 1\n%llu %08x %08x\n%s\n%s\n%s",
        static_cast<unsigned long long>(journal.tableOffset), journal.tableCrc, journal.contentsCrc,
        journal.stage.c_str(), journal.backup.c_str(), kJournalEnd);
    if (!platform::syncFileSystem(root_))
        fail(Status::CANNOT_WRITE, "[%s] can not write.\n", printable(shown(name_)).c_str());
    platform::Held file(platform::createNew(root_, kJournalName));
    if (file.fd < 0)
        fail(Status::CANNOT_CREATE, "[%s] can not create.\n",
             printable(shown(kJournalName)).c_str());
    if (!platform::writeFile(file.fd, text, static_cast<size_t>(length)) ||
        !platform::syncFile(file.fd) || !platform::syncDirectory(root_)) {
        platform::removeFile(root_, kJournalName);
        fail(Status::CANNOT_WRITE, "[%s] can not write.\n", printable(shown(kJournalName)).c_str());
    }
    committed_ = true;
}

bool readJournal(int root, const std::string& shownRoot, TreeJournal& journal)
{
    platform::Held file(platform::openBeneath(root, kJournalName, O_RDONLY | O_NONBLOCK));
    if (file.fd < 0 && errno == ENOENT)
        return false;
    // Only a journal this user wrote is followed: in a directory that others may write, anyone
    // could put one there.
    platform::Entry entry;
    if (file.fd < 0 || !platform::entryOf(file.fd, "", entry) || !entry.regular ||
        !platform::isPrivateFile(file.fd))
        fail(Status::CANNOT_CREATE, "[%s] is in the way of zep's journal; nothing changed.\n",
             printable(shownRoot + "/" + kJournalName).c_str());
    char text[1024] = {};
    const size_t length = platform::readFile(file.fd, text, sizeof text - 1);
    // Five lines: the first, the numbers, the two names, the end.
    std::vector<std::string> lines;
    for (size_t start = 0; start < length;) {
        const size_t end = std::string(text, length).find('\n', start);
        if (end == std::string::npos)
            break;
        lines.emplace_back(text + start, end - start);
        start = end + 1;
    }
    uint64_t offset = 0;
    uint32_t tableCrc = 0;
    uint32_t contentsCrc = 0;
    const bool whole = lines.size() == 5 && lines[4] == "end" &&
                       readNumbers(lines[1], offset, tableCrc, contentsCrc) &&
                       std::string(text, length).back() == '\n';
    const std::string stage = lines.size() == 5 ? lines[2] : "";
    const std::string backup = lines.size() == 5 ? lines[3] : "";
    const bool named = isStageName(stage) && backup.rfind(".zep-backup-", 0) == 0 &&
                       backup.find('/') == std::string::npos;
    // Cut short while it was written (no move had started), it begins as every journal does;
    // anything else under the name is someone else's.
    const char kFirstLine[] = "zep tree journal 1\n";
    if (std::strncmp(text, kFirstLine, std::min(length, std::strlen(kFirstLine))) != 0)
        fail(Status::CANNOT_CREATE, "[%s] is in the way of zep's journal; nothing changed.\n",
             printable(shownRoot + "/" + kJournalName).c_str());
    if (!whole || !named) {
        platform::removeFile(root, kJournalName);
        platform::syncDirectory(root);
        return false;
    }
    journal = {offset, tableCrc, contentsCrc, stage, backup};
    return true;
}

void removeStaleStages(int root)
{
    std::vector<std::string> names;
    if (!platform::namesIn(root, names))
        return;
    for (const std::string& name : names)
        if (isStageName(name))
            platform::removeAll(root, name.c_str());
}

namespace {

// Gives the files whose time alone changes their new time; one that has it already is set
// again, which changes nothing.
void retime(int root, int stage, const std::string& shownRoot, uint64_t ticks)
{
    platform::Held list(platform::openBeneath(stage, kRetimedList, O_RDONLY));
    uint64_t length = 0;
    if (list.fd < 0 || !platform::fileLength(list.fd, length))
        return;
    std::string paths(length, '\0');
    if (platform::readFile(list.fd, paths.data(), length) != length)
        failMove(shownRoot, "./");
    for (size_t start = 0, index = 0; start < paths.size(); ++index) {
        const size_t end = paths.find('\0', start);
        const std::string path = paths.substr(start, end - start);
        start = end + 1;
        if (!isTreePath(path))
            failMove(shownRoot, "./");
        // A file with other hard links is replaced by its copy, which has the new time.
        const std::string copy = "r" + std::to_string(index);
        platform::Entry staged;
        if (platform::entryOf(stage, copy.c_str(), staged)) {
            std::string name;
            platform::Held parent(openParent(root, path, name));
            if (parent.fd < 0 ||
                !platform::renameReplacing(stage, copy.c_str(), parent.fd, name.c_str()))
                failMove(shownRoot, path);
            continue;
        }
        // A file replaced or removed since the checks is someone else's now: left as it is.
        platform::Held file(platform::openBeneath(root, path.c_str() + 2, O_RDONLY | O_NONBLOCK));
        platform::Entry entry;
        if (file.fd < 0 || !platform::entryOf(file.fd, "", entry) || !entry.regular)
            continue;
        if (!platform::setLastWriteTicks(file.fd, ticks))
            failMove(shownRoot, path);
    }
}

}  // namespace

void finishMoves(int root, const std::string& shownRoot, const TreeJournal& journal,
                 const TreeTable& table)
{
    const std::vector<TreeEntry>& entries = table.entries;
    platform::Held stage(
        platform::openBeneath(root, journal.stage.c_str(), O_RDONLY | O_DIRECTORY));
    // The staging directory is this user's own and private, as the journal is.
    if (stage.fd >= 0 && !platform::isPrivateFile(stage.fd))
        fail(Status::CANNOT_CREATE, "[%s] is in the way of zep's journal; nothing changed.\n",
             printable(shownRoot + "/" + journal.stage).c_str());
    platform::Entry held;
    // The backup directory's skeleton takes its name first.
    if (stage.fd >= 0 && platform::entryOf(stage.fd, kBackupInStage, held) &&
        !platform::renameNoReplace(stage.fd, kBackupInStage, root, journal.backup.c_str()))
        failMove(shownRoot, "./" + journal.backup);
    platform::Held backup(
        platform::openBeneath(root, journal.backup.c_str(), O_RDONLY | O_DIRECTORY));
    if (backup.fd < 0)
        failMove(shownRoot, "./" + journal.backup);
    // What goes, deepest first, so that a directory is empty when it goes; then what comes,
    // a directory before what it holds.
    for (size_t i = entries.size(); i-- > 0;) {
        const TreeEntry& entry = entries[i];
        if (entry.before.kind != PathKind::NONE && entry.before.kind != entry.after.kind)
            moveAway(root, backup.fd, shownRoot, entry);
    }
    for (size_t i = 0; i < entries.size(); ++i)
        if (entries[i].after.kind != PathKind::NONE)
            moveIn(root, stage.fd, backup.fd, shownRoot, entries[i], i);
    if (stage.fd >= 0)
        retime(root, stage.fd, shownRoot, table.retimed.newTicks);
    // Directories take their modes when nothing more moves into them, the deepest first: a
    // directory that becomes read-only still takes what it holds.
    for (size_t i = entries.size(); i-- > 0;) {
        if (entries[i].after.kind != PathKind::DIRECTORY)
            continue;
        std::string name;
        platform::Held parent(openParent(root, entries[i].path, name));
        if (parent.fd < 0 ||
            !platform::setDirectoryMode(parent.fd, name.c_str(), entries[i].after.mode))
            failMove(shownRoot, entries[i].path);
    }
    if (!platform::syncFileSystem(root))
        failMove(shownRoot, "./" + journal.backup);
    if (!platform::removeFile(root, kJournalName) || !platform::syncDirectory(root))
        failMove(shownRoot, std::string("./") + kJournalName);
    platform::removeAll(root, journal.stage.c_str());
    // A backup directory that kept nothing (only additions) is not left behind.
    platform::removeDirectory(root, journal.backup.c_str());
}

}  // namespace zep
