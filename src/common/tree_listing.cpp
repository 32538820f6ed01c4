// Walking a tree: each directory opened below the one before without following a link, so a
// link that is swapped in during the walk is listed as a link, not entered.
#include "common/tree_listing.h"

#include "common/printable.h"
#include "common/status.h"
#include "platform/platform.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>

namespace zep {

namespace {

void listDirectory(int directory, const std::string& path, const std::string& shownRoot,
                   std::vector<TreeNode>& nodes)
{
    std::vector<std::string> names;
    if (!platform::namesIn(directory, names))
        fail(Status::CANNOT_OPEN, "[%s] not exist.\n",
             printable(shownRoot + path.substr(1)).c_str());
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        platform::Entry entry;
        if (!platform::entryOf(directory, name.c_str(), entry))
            continue;  // gone meanwhile
        TreeNode node;
        node.path = path + "/" + name;
        node.mode = entry.mode;
        node.ticks = entry.ticks;
        node.size = entry.size;
        node.kind = entry.directory      ? NodeKind::DIRECTORY
                    : entry.symbolicLink ? NodeKind::LINK
                    : entry.regular      ? NodeKind::FILE
                                         : NodeKind::SPECIAL;
        if (node.kind == NodeKind::LINK &&
            !platform::linkTargetOf(directory, name.c_str(), node.linkTarget))
            continue;  // replaced meanwhile by something that is not a link
        nodes.push_back(node);
        if (node.kind != NodeKind::DIRECTORY)
            continue;
        const int below = platform::openBeneath(directory, name.c_str(), O_RDONLY | O_DIRECTORY);
        if (below < 0)
            fail(Status::CANNOT_OPEN, "[%s] not exist.\n",
                 printable(shownRoot + node.path.substr(1)).c_str());
        try {
            listDirectory(below, node.path, shownRoot, nodes);
        } catch (...) {
            platform::closeFile(below);
            throw;
        }
        platform::closeFile(below);
    }
}

}  // namespace

std::vector<TreeNode> listTree(int root, const std::string& shownRoot)
{
    std::vector<TreeNode> nodes;
    listDirectory(root, ".", shownRoot, nodes);
    // Bytewise order of whole paths, as the records are written ("a/b" before "a.c").
    std::sort(nodes.begin(), nodes.end(),
              [](const TreeNode& a, const TreeNode& b) { return a.path < b.path; });
    return nodes;
}

bool readTreeFile(int root, const std::string& path, std::vector<uint8_t>& bytes)
{
    const int fd = platform::openBeneath(root, path.c_str() + 2, O_RDONLY | O_NONBLOCK);
    if (fd < 0)
        return false;
    platform::Entry entry;
    bool read = platform::entryOf(fd, "", entry) && entry.regular;
    if (read) {
        bytes.resize(entry.size);
        read = platform::readFile(fd, bytes.data(), bytes.size()) == bytes.size();
        uint8_t more = 0;
        // A file that grew meanwhile is not the one examined.
        read = read && platform::readFile(fd, &more, 1) == 0;
    }
    platform::closeFile(fd);
    return read;
}

bool isApplyWorkName(const std::string& path)
{
    // The first name below the root decides: what is below those is theirs too.
    const std::string first = path.substr(0, path.find('/', 2));
    for (const char* prefix : {"./.zep-stage-", "./.zep-backup-"})
        if (first.compare(0, std::strlen(prefix), prefix) == 0)
            return true;
    return first == "./.zep-journal";
}

}  // namespace zep
