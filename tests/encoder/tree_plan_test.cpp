#include "encoder/tree_plan.h"
#include "platform/platform.h"
#include "support/scratch_directory.h"

#include <algorithm>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace zep;

namespace {

std::string describe(const PlannedChange& change)
{
    static const char* const kNames[] = {"content",          "attributes", "added",
                                         "removed",          "link",       "directory added",
                                         "directory removed"};
    const TreeNode* node = change.after != nullptr ? change.after : change.before;
    return std::string(kNames[static_cast<int>(change.change)]) + " " + node->path;
}

// Every kind of change between two trees on disk, listed without following a link (the link
// "out" leads out of the tree, "loop" to its own directory), and planned in path order.
TEST(TreePlanTest, ListedTreesGiveEveryChangeInPathOrderAndNothingUnchanged)
{
    ScratchDirectory scratch;
    const std::string old = scratch.path() + "/old";
    const std::string now = scratch.path() + "/new";
    for (const std::string& tree : {old, now}) {
        ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
        ASSERT_EQ(mkdir((tree + "/same").c_str(), 0755), 0);
        scratch.file(tree.substr(scratch.path().size() + 1) + "/same/kept", "kept");
        ASSERT_EQ(symlink("/etc", (tree + "/out").c_str()), 0);
        ASSERT_EQ(symlink(".", (tree + "/same/loop").c_str()), 0);
    }
    const auto write = [&](const std::string& name, const std::string& content) {
        scratch.file(name, content);
    };
    write("old/changed", "one");
    write("new/changed", "two");
    write("old/grown", "short");
    write("new/grown", "longer");
    write("old/moded", "mode");
    write("new/moded", "mode");
    ASSERT_EQ(chmod((now + "/moded").c_str(), 0700), 0);
    write("old/gone", "gone");
    write("new/fresh", "fresh");
    ASSERT_EQ(symlink("a", (old + "/relinked").c_str()), 0);
    ASSERT_EQ(symlink("b", (now + "/relinked").c_str()), 0);
    ASSERT_EQ(mkdir((old + "/dropped").c_str(), 0755), 0);
    write("old/dropped/inner", "inner");
    ASSERT_EQ(mkdir((now + "/made").c_str(), 0755), 0);
    write("new/made/inner", "inner");
    write("old/kind", "file first");
    ASSERT_EQ(mkdir((now + "/kind").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo((now + "/pipe").c_str(), 0600), 0);
    // Times equal where they should be: every file's is set alike.
    for (const std::string& tree : {old, now})
        for (const char* name : {"changed", "grown", "moded", "same/kept"}) {
            const timespec times[2] = {{1000, 0}, {1000, 0}};
            utimensat(AT_FDCWD, (tree + "/" + name).c_str(), times, 0);
        }

    const int oldRoot = platform::openDirectory(old.c_str());
    const int newRoot = platform::openDirectory(now.c_str());
    const std::vector<TreeNode> before = listTree(oldRoot, old);
    const std::vector<TreeNode> after = listTree(newRoot, now);
    platform::closeFile(oldRoot);
    platform::closeFile(newRoot);
    for (const std::vector<TreeNode>* listing : {&before, &after}) {
        for (const TreeNode& node : *listing) {
            if (node.path == "./out" || node.path == "./same/loop") {
                EXPECT_EQ(node.kind, NodeKind::LINK) << node.path;
            }
        }
    }
    const auto sameContent = [&](const std::string& path) {
        return ScratchDirectory::read(old + path.substr(1)) ==
               ScratchDirectory::read(now + path.substr(1));
    };
    std::vector<std::string> planned;
    for (const PlannedChange& change : planTree(before, after, sameContent))
        planned.push_back(describe(change));
    EXPECT_EQ(planned,
              (std::vector<std::string>{
                  "content ./changed", "directory removed ./dropped", "removed ./dropped/inner",
                  "added ./fresh", "removed ./gone", "content ./grown", "removed ./kind",
                  "directory added ./kind", "directory added ./made", "added ./made/inner",
                  "attributes ./moded", "added ./pipe", "link ./relinked"}));
    const auto pipe = std::find_if(after.begin(), after.end(),
                                   [](const TreeNode& node) { return node.path == "./pipe"; });
    ASSERT_NE(pipe, after.end());
    EXPECT_EQ(pipe->kind, NodeKind::SPECIAL);
}

}  // namespace
