#include "format/compact_stream.h"
#include "format/tree_table.h"

#include <gtest/gtest.h>
#include <random>

using namespace zep;

namespace {

bool sameEntries(const std::vector<TreeEntry>& one, const std::vector<TreeEntry>& other)
{
    if (one.size() != other.size())
        return false;
    for (size_t i = 0; i < one.size(); ++i)
        if (one[i].path != other[i].path || !(one[i].before == other[i].before) ||
            !(one[i].after == other[i].after) || one[i].sameContent != other[i].sameContent)
            return false;
    return true;
}

// A table as a create makes one: sorted paths, parents that are directories on the sides where
// their children are something, sizes only where they split the new contents.
TreeTable randomTable(std::mt19937& random)
{
    TreeTable table;
    const auto state = [&](PathKind kind, bool sized) {
        PathState held;
        held.kind = kind;
        if (kind == PathKind::FILE || kind == PathKind::DIRECTORY)
            held.mode = random() % 07777;
        if (kind == PathKind::FILE) {
            held.ticks = (uint64_t{random()} << 24) + random() % 3;
            held.size = sized ? random() % 100000 : 0;
        }
        if (kind == PathKind::LINK)
            held.linkTarget = "../t" + std::to_string(random() % 100);
        return held;
    };
    std::string path = "./";
    for (int i = 0, count = static_cast<int>(random() % 40); i < count; ++i) {
        path += static_cast<char>('a' + random() % 26);
        TreeEntry entry;
        entry.path = path;
        const auto kind = [&] { return static_cast<PathKind>(random() % 4); };
        const PathKind before = kind();
        PathKind after = kind();
        if (before == PathKind::NONE && after == PathKind::NONE)
            after = PathKind::FILE;
        entry.sameContent = before == PathKind::FILE && after == PathKind::FILE && random() % 2;
        entry.before = state(before, false);
        entry.after = state(after, after == PathKind::FILE && !entry.sameContent);
        table.entries.push_back(entry);
        // The next path goes below this one only where it is a directory on both sides.
        if (before == PathKind::DIRECTORY && after == PathKind::DIRECTORY && random() % 2)
            path += "/";
    }
    table.keptCrc = random();
    if (random() % 2)
        table.retimed = {random() % 1000 + 1, uint64_t{random()} << 20, uint64_t{random()} << 21,
                         static_cast<uint32_t>(random()), static_cast<uint32_t>(random())};
    return table;
}

}  // namespace

// Whatever a create writes reads back as it was written, and nothing else reads: every table
// cut short, and every byte changed where that breaks a rule, is refused.
TEST(TreeTableTest, TablesReadBackAsWrittenAndDamagedOnesAreRefused)
{
    std::mt19937 random(25);
    for (int round = 0; round < 300; ++round) {
        const TreeTable table = randomTable(random);
        const std::vector<uint8_t> bytes = encodeTreeTable(table);
        TreeTable read;
        ASSERT_TRUE(decodeTreeTable(bytes.data(), bytes.size(), read)) << round;
        EXPECT_TRUE(sameEntries(read.entries, table.entries)) << round;
        EXPECT_EQ(read.keptCrc, table.keptCrc);
        EXPECT_EQ(read.retimed.count, table.retimed.count);
        for (size_t cut = 0; cut < bytes.size(); ++cut)
            EXPECT_FALSE(decodeTreeTable(bytes.data(), cut, read)) << round << " cut " << cut;
        std::vector<uint8_t> longer = bytes;
        longer.push_back(0);
        EXPECT_FALSE(decodeTreeTable(longer.data(), longer.size(), read));
    }
}

TEST(TreeTableTest, PathsThatLeadOutOfTheTreeOrAreUnorderedAreRefused)
{
    const auto entry = [](const std::string& path, PathKind before, PathKind after) {
        TreeEntry made;
        made.path = path;
        made.before.kind = before;
        made.after.kind = after;
        return made;
    };
    const std::vector<std::vector<TreeEntry>> refused = {
        {entry("./../x", PathKind::NONE, PathKind::LINK)},
        {entry("/etc/x", PathKind::NONE, PathKind::LINK)},
        {entry("./a/../b", PathKind::NONE, PathKind::LINK)},
        {entry("./a\nb", PathKind::NONE, PathKind::LINK)},
        {entry("./", PathKind::NONE, PathKind::LINK)},
        {entry("./b", PathKind::NONE, PathKind::LINK),
         entry("./a", PathKind::NONE, PathKind::LINK)},
        {entry("./a", PathKind::NONE, PathKind::LINK),
         entry("./a", PathKind::NONE, PathKind::LINK)},
        // Below a path that becomes a link, or stays nothing at all.
        {entry("./a", PathKind::DIRECTORY, PathKind::LINK),
         entry("./a/b", PathKind::NONE, PathKind::LINK)},
        {entry("./a", PathKind::NONE, PathKind::NONE)},
    };
    for (std::vector<TreeEntry> entries : refused) {
        for (TreeEntry& made : entries)
            if (made.after.kind == PathKind::LINK)
                made.after.linkTarget = "t";
        TreeTable table;
        table.entries = entries;
        const std::vector<uint8_t> bytes = encodeTreeTable(table);
        TreeTable read;
        EXPECT_FALSE(decodeTreeTable(bytes.data(), bytes.size(), read)) << entries[0].path;
    }
}

TEST(TreeTableTest, OnlyTreeRecordsNameAPart)
{
    const RecordHeader table = buildTreeHeader(TREE_PART_TABLE);
    EXPECT_EQ(treePart(table), TREE_PART_TABLE);
    EXPECT_STREQ(table.sourceName(), "./");
    EXPECT_EQ(treePart(buildTreeHeader(TREE_PART_CONTENTS)), TREE_PART_CONTENTS);
    EXPECT_EQ(treePart(buildRecordHeader("a", "b")), 0);
}
