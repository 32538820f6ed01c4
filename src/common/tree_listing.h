// A directory tree as one sorted list of what is below its root: every file, directory and
// symbolic link with its path ("./a/b"), mode, size and time. Links are listed with their text,
// never followed; nothing outside the root is ever reached.
#pragma once
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace zep {

enum class NodeKind { FILE, DIRECTORY, LINK, SPECIAL };

struct TreeNode {
    std::string path;  // "./" and the names below the root, joined by '/'
    NodeKind kind = NodeKind::FILE;
    uint32_t mode = 0;   // permission, set-ID and sticky bits
    uint64_t size = 0;   // a file's bytes; a link's text length
    uint64_t ticks = 0;  // last-write time
    std::string linkTarget;
};

// Everything below the directory open at root (not the root itself), sorted bytewise by path,
// so that a directory comes before what it holds. shownRoot names the root in messages.
// A directory that cannot be read: "[path] not exist.", status 1.
std::vector<TreeNode> listTree(int root, const std::string& shownRoot);

// The bytes of the regular file at path ("./a/b") below the root, opened without following any
// link. False when there is none there, or no regular file.
bool readTreeFile(int root, const std::string& path, std::vector<uint8_t>& bytes);
// What apply keeps at the root of a tree while it updates it: never part of a tree's records.
bool isApplyWorkName(const std::string& path);

}  // namespace zep
