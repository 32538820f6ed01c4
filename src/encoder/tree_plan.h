// What turns one tree into another: per path, whether a file's content changed or only its mode
// or time, what was added and what removed, which links changed. Unchanged paths are left out:
// they cost nothing.
#pragma once
#include "common/tree_listing.h"

#include <functional>
#include <string>
#include <vector>

namespace zep {

enum class TreeChange {
    CONTENT,            // a file's bytes (and maybe its mode or time)
    ATTRIBUTES,         // a file's or a directory's mode or time alone
    ADDED,              // a file, or a link, that was not there
    REMOVED,            // a file, a link or a special file that goes
    LINK,               // a link whose text changed
    DIRECTORY_ADDED,    // a directory that was not there
    DIRECTORY_REMOVED,  // a directory that goes, after what it held
};

struct PlannedChange {
    TreeChange change;
    const TreeNode* before;  // nullptr for additions
    const TreeNode* after;   // nullptr for removals
};

// The changes, in path order, between two listings (listTree). A path whose kind changes is
// removed, then added. sameContent(path) is asked only for two files of the same size. Special
// files are planned like files; the caller refuses them.
std::vector<PlannedChange>
planTree(const std::vector<TreeNode>& before, const std::vector<TreeNode>& after,
         const std::function<bool(const std::string& path)>& sameContent);

}  // namespace zep
