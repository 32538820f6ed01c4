// Two sorted listings walked side by side, as a merge.
#include "encoder/tree_plan.h"

namespace zep {

namespace {

void planRemoval(const TreeNode& node, std::vector<PlannedChange>& plan)
{
    plan.push_back(
        {node.kind == NodeKind::DIRECTORY ? TreeChange::DIRECTORY_REMOVED : TreeChange::REMOVED,
         &node, nullptr});
}

void planAddition(const TreeNode& node, std::vector<PlannedChange>& plan)
{
    plan.push_back(
        {node.kind == NodeKind::DIRECTORY ? TreeChange::DIRECTORY_ADDED : TreeChange::ADDED,
         nullptr, &node});
}

void planBoth(const TreeNode& old, const TreeNode& now,
              const std::function<bool(const std::string& path)>& sameContent,
              std::vector<PlannedChange>& plan)
{
    if (old.kind != now.kind) {
        planRemoval(old, plan);
        planAddition(now, plan);
        return;
    }
    const bool attributes = old.mode != now.mode || old.ticks != now.ticks;
    switch (now.kind) {
    case NodeKind::LINK:
        if (old.linkTarget != now.linkTarget)
            plan.push_back({TreeChange::LINK, &old, &now});
        return;
    case NodeKind::DIRECTORY:
        if (old.mode != now.mode)  // a directory's time changes with what it holds
            plan.push_back({TreeChange::ATTRIBUTES, &old, &now});
        return;
    case NodeKind::FILE:
    case NodeKind::SPECIAL:
        if (old.size != now.size || !sameContent(now.path))
            plan.push_back({TreeChange::CONTENT, &old, &now});
        else if (attributes)
            plan.push_back({TreeChange::ATTRIBUTES, &old, &now});
        return;
    }
}

}  // namespace

std::vector<PlannedChange> planTree(const std::vector<TreeNode>& before,
                                    const std::vector<TreeNode>& after,
                                    const std::function<bool(const std::string& path)>& sameContent)
{
    std::vector<PlannedChange> plan;
    size_t i = 0;
    size_t j = 0;
    while (i < before.size() || j < after.size()) {
        if (j == after.size() || (i < before.size() && before[i].path < after[j].path))
            planRemoval(before[i++], plan);
        else if (i == before.size() || after[j].path < before[i].path)
            planAddition(after[j++], plan);
        else
            planBoth(before[i++], after[j++], sameContent, plan);
    }
    return plan;
}

}  // namespace zep
