// Both trees are listed without following a link, compared path by path, and every file that
// changes read once: its old bytes into one source, its new bytes into one destination, so that
// the encoder finds what files share across the whole tree, renames included.
#include "encoder/tree_create.h"

#include "common/checksum.h"
#include "common/printable.h"
#include "common/status.h"
#include "common/tree_listing.h"
#include "encoder/create_command.h"
#include "encoder/tree_plan.h"
#include "format/file_names.h"
#include "format/tree_table.h"
#include "platform/platform.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <map>

namespace zep {

namespace {

// One side of the comparison: its root, held open, and its listing.
struct TreeSide {
    explicit TreeSide(const char* path) : shown(path)
    {
        root = platform::openDirectory(path);
        platform::Entry entry;
        if (root < 0 || !platform::entryOf(root, "", entry) || !entry.directory) {
            if (root >= 0)
                platform::closeFile(root);
            fail(Status::CANNOT_OPEN, "[%s] not exist.\n", printable(path).c_str());
        }
        ticks = entry.ticks;
        try {
            nodes = listTree(root, shown);
        } catch (...) {
            platform::closeFile(root);
            throw;
        }
        nodes.erase(std::remove_if(nodes.begin(), nodes.end(),
                                   [](const TreeNode& node) { return isApplyWorkName(node.path); }),
                    nodes.end());
        for (const TreeNode& node : nodes)
            if (node.kind == NodeKind::SPECIAL) {
                platform::closeFile(root);
                fail(Status::CANNOT_OPEN, "[%s] is a special file; not recorded.\n",
                     printable(shownPath(node.path)).c_str());
            }
    }
    ~TreeSide()
    {
        platform::closeFile(root);
    }
    TreeSide(const TreeSide&) = delete;
    TreeSide& operator=(const TreeSide&) = delete;

    std::string shownPath(const std::string& path) const
    {
        return shown + path.substr(1);
    }
    // The file's bytes, which must be what the listing saw.
    std::vector<uint8_t> read(const TreeNode& node) const
    {
        std::vector<uint8_t> bytes;
        if (!readTreeFile(root, node.path, bytes))
            fail(Status::CANNOT_OPEN, "[%s] not exist.\n", printable(shownPath(node.path)).c_str());
        if (bytes.size() != node.size)
            fail(Status::CHANGED_WHILE_READ, "[%s] changed while being read.\n",
                 printable(shownPath(node.path)).c_str());
        return bytes;
    }

    std::string shown;
    int root = -1;
    uint64_t ticks = 0;
    std::vector<TreeNode> nodes;
};

PathState stateOf(const TreeNode* node)
{
    PathState state;
    if (node == nullptr)
        return state;
    state.kind = node->kind == NodeKind::DIRECTORY ? PathKind::DIRECTORY
                 : node->kind == NodeKind::LINK    ? PathKind::LINK
                                                   : PathKind::FILE;
    if (state.kind != PathKind::LINK)
        state.mode = node->mode;
    if (state.kind == PathKind::FILE) {
        state.size = node->size;
        state.ticks = node->ticks;
    }
    state.linkTarget = node->linkTarget;
    return state;
}

// The plan as one entry per path: a path whose kind changes is planned as a removal and an
// addition, which become its two sides.
std::vector<TreeEntry> entriesOf(const std::vector<PlannedChange>& plan)
{
    std::vector<TreeEntry> entries;
    for (const PlannedChange& change : plan) {
        const std::string& path =
            change.before != nullptr ? change.before->path : change.after->path;
        if (entries.empty() || entries.back().path != path) {
            entries.push_back({path, {}, {}, false});
            entries.back().sameContent = change.change == TreeChange::ATTRIBUTES;
        }
        if (change.before != nullptr)
            entries.back().before = stateOf(change.before);
        if (change.after != nullptr)
            entries.back().after = stateOf(change.after);
    }
    // Sizes are kept only where they split the new contents; only files keep their bytes.
    for (TreeEntry& entry : entries) {
        entry.sameContent = entry.sameContent && entry.before.kind == PathKind::FILE &&
                            entry.after.kind == PathKind::FILE;
        entry.before.size = 0;
        if (!entry.newInContents())
            entry.after.size = 0;
    }
    return entries;
}

const TreeNode& nodeAt(const std::vector<TreeNode>& nodes, const std::string& path)
{
    return *std::lower_bound(
        nodes.begin(), nodes.end(), path,
        [](const TreeNode& node, const std::string& at) { return node.path < at; });
}

// Appends the file's bytes to the image (when they are part of it), or folds them into the
// checksum of the bytes that stay.
void takeFile(const TreeSide& side, const std::string& path, bool inImage,
              std::vector<uint8_t>& image, uint32_t* keptCrc)
{
    const std::vector<uint8_t> bytes = side.read(nodeAt(side.nodes, path));
    if (inImage)
        image.insert(image.end(), bytes.begin(), bytes.end());
    else if (keptCrc != nullptr)
        *keptCrc = crcBlock(bytes.data(), bytes.size(), *keptCrc);
    if (image.size() > UINT32_MAX)
        fail(Status::TOO_LARGE, "[%s] is too large.\n", printable(side.shown).c_str());
}

// Writes one record of the set with the tuning's encoder.
void writeTreeRecord(RunFiles& files, Report& report, const Tuning& tuning, uint8_t part,
                     const std::vector<uint8_t>& source, const std::vector<uint8_t>& dest,
                     uint64_t sourceTicks, uint64_t destTicks)
{
    RecordHeader header = buildTreeHeader(part);
    header.setField32(HEADER_SOURCE_SIZE, static_cast<uint32_t>(source.size()));
    header.setField32(HEADER_DEST_SIZE, static_cast<uint32_t>(dest.size()));
    formatTimeStamp(sourceTicks - sourceTicks % 10000, header.bytes + HEADER_SOURCE_TIME);
    formatTimeStamp(destTicks - destTicks % 10000, header.bytes + HEADER_DEST_TIME);
    RecordOutput output(files.diff, report, tuning.compact != 0);
    encodeChosen(output, header, tuning, source.data(), dest.data());
    seekEnd(files.diff, 0);
}

bool isTimeOnly(const TreeEntry& entry)
{
    return entry.sameContent && entry.before.mode == entry.after.mode;
}

bool isListed(const std::vector<TreeEntry>& entries, const std::string& path)
{
    const auto found = std::lower_bound(
        entries.begin(), entries.end(), path,
        [](const TreeEntry& entry, const std::string& at) { return entry.path < at; });
    return found != entries.end() && found->path == path;
}

// Whether a regular file that no entry names has the time, to the millisecond.
bool unlistedAt(const std::vector<TreeNode>& nodes, const std::vector<TreeEntry>& entries,
                uint64_t ticks)
{
    return std::any_of(nodes.begin(), nodes.end(), [&](const TreeNode& node) {
        return node.kind == NodeKind::FILE && node.ticks / 10000 == ticks / 10000 &&
               !isListed(entries, node.path);
    });
}

// Takes the files whose time alone changed, from the time most of them had to the one most of
// them have, out of the table: a package built anew changes every file's time, and listing
// them all would cost more than the changes themselves. Apply finds them by that time, so no
// other file may have it.
void retimeTogether(TreeTable& table, const TreeSide& old, const TreeSide& now)
{
    std::map<std::pair<uint64_t, uint64_t>, uint64_t> pairs;
    for (const TreeEntry& entry : table.entries)
        if (isTimeOnly(entry))
            ++pairs[{entry.before.ticks, entry.after.ticks}];
    if (pairs.empty())
        return;
    const auto most =
        std::max_element(pairs.begin(), pairs.end(), [](const auto& one, const auto& other) {
            return one.second < other.second;
        });
    const uint64_t oldTicks = most->first.first;
    const uint64_t newTicks = most->first.second;
    const auto taken = [&](const TreeEntry& entry) {
        return isTimeOnly(entry) && entry.before.ticks == oldTicks && entry.after.ticks == newTicks;
    };
    std::vector<TreeEntry> listed;
    for (const TreeEntry& entry : table.entries)
        if (!taken(entry))
            listed.push_back(entry);
    if (unlistedAt(old.nodes, table.entries, oldTicks) ||
        unlistedAt(now.nodes, table.entries, newTicks) || oldTicks / 10000 == newTicks / 10000)
        return;
    uint32_t pathsCrc = crcInit();
    uint32_t contentCrc = crcInit();
    for (const TreeEntry& entry : table.entries) {
        if (!taken(entry))
            continue;
        pathsCrc = crcBlock(reinterpret_cast<const uint8_t*>(entry.path.c_str()),
                            entry.path.size() + 1, pathsCrc);
        const std::vector<uint8_t> bytes = old.read(nodeAt(old.nodes, entry.path));
        contentCrc = crcBlock(bytes.data(), bytes.size(), contentCrc);
    }
    table.retimed = {table.entries.size() - listed.size(), oldTicks, newTicks, pathsCrc,
                     contentCrc};
    table.entries = std::move(listed);
}

}  // namespace

void createTreeRecords(Report& report, RunFiles& files, const Tuning& tuning, const char* oldDir,
                       const char* newDir, const char* diffPath)
{
    const TreeSide old(oldDir);
    const TreeSide now(newDir);
    const auto sameContent = [&](const std::string& path) {
        return old.read(nodeAt(old.nodes, path)) == now.read(nodeAt(now.nodes, path));
    };
    TreeTable table;
    table.entries = entriesOf(planTree(old.nodes, now.nodes, sameContent));
    retimeTogether(table, old, now);
    // What a reader of the table would refuse is refused here.
    if (table.entries.size() > kMaxTreeEntries)
        fail(Status::TOO_LARGE, "[%s] is too large.\n", printable(newDir).c_str());
    std::vector<uint8_t> source;
    std::vector<uint8_t> dest;
    table.keptCrc = crcInit();
    uint64_t pathBytes = 0;
    for (const TreeEntry& entry : table.entries) {
        // A name that apply would refuse must not be recorded (a newline, an escape, '\\').
        if (!isTreePath(entry.path))
            fail(Status::UNSAFE_NAME, "[%s] unsafe file name.\n",
                 printable(now.shownPath(entry.path)).c_str());
        pathBytes += entry.path.size();
        if (entry.path.size() > kMaxTreePath || pathBytes > kMaxTreePathBytes)
            fail(Status::TOO_LARGE, "[%s] is too large.\n",
                 printable(now.shownPath(entry.path)).c_str());
        if (entry.before.kind == PathKind::FILE)
            takeFile(old, entry.path, entry.oldInContents(), source, &table.keptCrc);
        if (entry.newInContents())
            takeFile(now, entry.path, true, dest, nullptr);
    }
    const std::vector<uint8_t> tableBytes = encodeTreeTable(table);

    openDifferenceFile(files, report, diffPath, true);
    report.line("%s > %s\n", printable(oldDir).c_str(), printable(newDir).c_str());
    writeTreeRecord(files, report, tuning, TREE_PART_TABLE, {}, tableBytes, old.ticks, now.ticks);
    writeTreeRecord(files, report, tuning, TREE_PART_CONTENTS, source, dest, old.ticks, now.ticks);
    // Both records are complete and on disk: from here on nothing may take them back.
    commitAppend(files);
    closeChecked(diffPath, files.diff);
    report.lineAfterRun("\ndone.\n");
}

}  // namespace zep
