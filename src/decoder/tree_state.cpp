// Examining a tree against its table. Each path's directory is opened below the root one name at
// a time with O_NOFOLLOW, and the path's own name examined without following it.
#include "decoder/tree_state.h"

#include "common/checksum.h"
#include "common/printable.h"
#include "common/status.h"
#include "common/tree_listing.h"
#include "platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>

namespace zep {

namespace {

// Times as records keep them: whole milliseconds.
bool sameTime(uint64_t one, uint64_t other)
{
    return one / 10000 == other / 10000;
}

bool isOldFile(const TreeEntry& entry)
{
    return entry.oldInContents();
}
bool isNewFile(const TreeEntry& entry)
{
    return entry.newInContents();
}
bool isKeptFile(const TreeEntry& entry)
{
    return entry.sameContent;
}

}  // namespace

std::string parentPath(const std::string& path)
{
    return path.substr(0, path.find_last_of('/'));
}

const TreeEntry* entryAt(const std::vector<TreeEntry>& entries, const std::string& path)
{
    const auto found = std::lower_bound(
        entries.begin(), entries.end(), path,
        [](const TreeEntry& entry, const std::string& at) { return entry.path < at; });
    return found != entries.end() && found->path == path ? &*found : nullptr;
}

TreeState::TreeState(int root, const std::string& shownRoot, const TreeTable& table)
    : root_(root), shown_(shownRoot), table_(table)
{
    for (const TreeEntry& entry : table.entries) {
        if (isApplyWorkName(entry.path))
            fail(Status::UNSAFE_NAME, "[%s] unsafe file name.\n", shownPath(entry.path).c_str());
        now_.push_back(examine(entry.path));
        // Below a path that is no directory on one side, nothing is there on that side: the
        // path leads through the link or file only while the tree is that version.
        const TreeEntry* parent = entryAt(table.entries, parentPath(entry.path));
        if (now_.back().throughLink && parent != nullptr &&
            (parent->before.kind != PathKind::DIRECTORY ||
             parent->after.kind != PathKind::DIRECTORY))
            now_.back() = PathNow{false, true, false, {}};
        if (now_.back().throughLink)
            fail(Status::UNSAFE_NAME,
                 "[%s] passes through a symbolic link or a file; nothing changed.\n",
                 shownPath(entry.path).c_str());
    }
    findRetimed();
}

TreeState::PathNow TreeState::examine(const std::string& path) const
{
    PathNow found;
    const size_t slash = path.find_last_of('/');
    const std::string parent = slash <= 1 ? std::string(".") : path.substr(2, slash - 2);
    const std::string name = path.substr(slash + 1);
    const platform::Held directory(
        platform::openBeneath(root_, parent.c_str(), O_RDONLY | O_DIRECTORY));
    if (directory.fd < 0) {
        (errno == ENOENT ? found.parentMissing : found.throughLink) = true;
        return found;
    }
    platform::Entry entry;
    if (!platform::entryOf(directory.fd, name.c_str(), entry))
        return found;
    PathState& state = found.state;
    if (entry.directory) {
        state.kind = PathKind::DIRECTORY;
        state.mode = entry.mode;
    } else if (entry.symbolicLink) {
        state.kind = PathKind::LINK;
        platform::linkTargetOf(directory.fd, name.c_str(), state.linkTarget);
    } else if (entry.regular) {
        state = {PathKind::FILE, entry.mode, entry.size, entry.ticks, {}};
    } else {
        found.special = true;
    }
    return found;
}

void TreeState::findRetimed()
{
    if (table_.retimed.count == 0)
        return;
    for (const TreeNode& node : listTree(root_, shown_)) {
        if (node.kind != NodeKind::FILE || isApplyWorkName(node.path) ||
            entryAt(table_.entries, node.path) != nullptr)
            continue;
        unlisted_.push_back(node.path);
        if (sameTime(node.ticks, table_.retimed.oldTicks))
            retimedOld_.push_back(node.path);
        else if (sameTime(node.ticks, table_.retimed.newTicks))
            retimedNew_.push_back(node.path);
    }
}

bool TreeState::isRetimedSet(const std::vector<std::string>& paths) const
{
    if (table_.retimed.count == 0)
        return true;
    if (paths.size() != table_.retimed.count)
        return false;
    uint32_t crc = crcInit();
    for (const std::string& path : paths)
        crc = crcBlock(reinterpret_cast<const uint8_t*>(path.c_str()), path.size() + 1, crc);
    return crc == table_.retimed.pathsCrc;
}

// A record keeps no checksum of each file, only of the files it picks one after another.
bool TreeState::filesHaveCrc(bool (*pick)(const TreeEntry&), uint32_t crc) const
{
    uint32_t running = crcInit();
    for (const TreeEntry& entry : table_.entries) {
        std::vector<uint8_t> bytes;
        if (!pick(entry))
            continue;
        if (!readTreeFile(root_, entry.path, bytes))
            return false;
        running = crcBlock(bytes.data(), bytes.size(), running);
    }
    return running == crc;
}

bool TreeState::isNew(const RecordHeader& contents) const
{
    for (size_t i = 0; i < table_.entries.size(); ++i) {
        const TreeEntry& entry = table_.entries[i];
        const PathState& wanted = entry.after;
        const PathState& held = now_[i].state;
        if (now_[i].special || held.kind != wanted.kind ||
            (wanted.kind == PathKind::LINK && held.linkTarget != wanted.linkTarget) ||
            (wanted.kind != PathKind::LINK && held.mode != wanted.mode) ||
            (entry.newInContents() && held.size != wanted.size))
            return false;
    }
    return filesHaveCrc(isNewFile, contents.field32(HEADER_DEST_CRC)) &&
           filesHaveCrc(isKeptFile, table_.keptCrc) && isRetimedSet(retimedNew_);
}

bool TreeState::isOld(const RecordHeader& contents, bool byContent, std::string& timeDiffers)
{
    const std::vector<TreeEntry>& entries = table_.entries;
    bool contentDecides = false;
    for (size_t i = 0; i < entries.size(); ++i) {
        const TreeEntry& entry = entries[i];
        const PathNow& found = now_[i];
        const PathState& held = found.state;
        // A new name needs its directory, there already or made by the update.
        const TreeEntry* parent = entryAt(entries, parentPath(entry.path));
        if (found.parentMissing && entry.after.kind != PathKind::NONE &&
            (parent == nullptr || parent->after.kind != PathKind::DIRECTORY))
            fail(Status::CANNOT_OPEN, "[%s] not exist.\n", shownPath(entry.path).c_str());
        if (found.special || held.kind != entry.before.kind) {
            if (held.kind == PathKind::NONE && !found.special)
                fail(Status::CANNOT_OPEN, "[%s] not exist.\n", shownPath(entry.path).c_str());
            failDiffers(entry);
        }
        if (held.kind == PathKind::LINK && held.linkTarget != entry.before.linkTarget)
            failDiffers(entry);
        if (held.kind == PathKind::DIRECTORY && entry.after.kind != PathKind::DIRECTORY)
            refuseUnknownFiles(entry);
        if (held.kind != PathKind::FILE || sameTime(held.ticks, entry.before.ticks))
            continue;
        if (!byContent) {
            timeDiffers = shownPath(entry.path);
            return false;
        }
        contentDecides = true;
    }
    // The files whose time alone changes are known by their time; in a copy that gave every
    // file a new time they are all the files that no entry names, if those are the recorded.
    if (!isRetimedSet(retimedOld_)) {
        if (!byContent || !isRetimedSet(unlisted_)) {
            timeDiffers = printable(shown_);
            return false;
        }
        retimedOld_ = unlisted_;
    }
    if (contentDecides && (!filesHaveCrc(isOldFile, contents.field32(HEADER_SOURCE_CRC)) ||
                           !filesHaveCrc(isKeptFile, table_.keptCrc)))
        fail(Status::SOURCE_CRC, "[%s] is neither the old nor the new version; nothing changed.\n",
             printable(shown_).c_str());
    return true;
}

void TreeState::failDiffers(const TreeEntry& entry) const
{
    fail(Status::SOURCE_CRC, "[%s] is neither the old nor the new version; nothing changed.\n",
         shownPath(entry.path).c_str());
}

// A directory that goes must hold nothing but what goes with it.
void TreeState::refuseUnknownFiles(const TreeEntry& entry) const
{
    const platform::Held directory(
        platform::openBeneath(root_, entry.path.c_str() + 2, O_RDONLY | O_DIRECTORY));
    std::vector<std::string> names;
    if (directory.fd < 0 || !platform::namesIn(directory.fd, names))
        failDiffers(entry);
    for (const std::string& name : names) {
        const TreeEntry* held = entryAt(table_.entries, entry.path + "/" + name);
        if (held == nullptr || held->before.kind == held->after.kind)
            fail(Status::SOURCE_CRC,
                 "[%s] holds files that the record does not know; nothing changed.\n",
                 shownPath(entry.path).c_str());
    }
}

void TreeState::refuseUnwritableDirectory(const std::string& path) const
{
    platform::Entry root;
    platform::entryOf(root_, "", root);
    const std::string shown = path == "." ? printable(shown_) : shownPath(path);
    const platform::Held directory(
        platform::openBeneath(root_, path == "." ? "." : path.c_str() + 2, O_RDONLY | O_DIRECTORY));
    if (directory.fd < 0 || !platform::canWriteIn(directory.fd))
        fail(Status::CANNOT_CREATE, "[%s] can not create.\n", shown.c_str());
    // Moves between the staging directory, the backup directory and the tree are renames.
    platform::Entry held;
    if (!platform::entryOf(directory.fd, "", held) || held.identity.device != root.identity.device)
        fail(Status::CANNOT_CREATE, "[%s] is on another file system; nothing changed.\n",
             shown.c_str());
}

void TreeState::refuseUnwritable() const
{
    std::vector<std::string> checked;
    const auto check = [&](const std::string& path) {
        if (std::find(checked.begin(), checked.end(), path) != checked.end())
            return;
        checked.push_back(path);
        refuseUnwritableDirectory(path);
    };
    check(".");
    for (const TreeEntry& entry : table_.entries) {
        // A directory that stays takes its new mode from its owner only.
        if (entry.before.kind == PathKind::DIRECTORY && entry.after.kind == PathKind::DIRECTORY) {
            const platform::Held directory(
                platform::openBeneath(root_, entry.path.c_str() + 2, O_RDONLY | O_DIRECTORY));
            if (directory.fd < 0 || !platform::mayChangeAttributes(directory.fd))
                fail(Status::CANNOT_WRITE, "[%s] can not write.\n", shownPath(entry.path).c_str());
        }
        const std::string parent = parentPath(entry.path);
        const TreeEntry* above = entryAt(table_.entries, parent);
        // A directory the update makes is made writable for it.
        if (parent != "." && above != nullptr && above->before.kind != PathKind::DIRECTORY)
            continue;
        check(parent);
    }
}

std::string TreeState::shownPath(const std::string& path) const
{
    return printable(shown_ + path.substr(1));
}

}  // namespace zep
