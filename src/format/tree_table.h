// The records of a whole tree. One create of a tree appends two records, both flagged as a
// tree's and both named "./" (a name that holds '/', which a single-file apply refuses before it
// does anything): first the table, a record from nothing to the list of every path that changes
// with what it was and what it becomes; then the contents, a record from the old versions of the
// table's files, one after another in table order, to their new versions. Unchanged paths are in
// neither.
#pragma once
#include "format/record_header.h"

#include <cstdint>
#include <string>
#include <vector>

namespace zep {

// Flag bit 2: the record belongs to a whole tree.
constexpr uint16_t FLAG_TREE = 4;
// The byte behind the names of a tree's record, inside the header: which of the two it is.
enum : uint8_t { TREE_PART_TABLE = 1, TREE_PART_CONTENTS = 2 };
constexpr char kTreeRecordName[] = "./";

// What a table may hold, so that reading one takes a bounded amount of memory (about 500 MiB at
// most): paths, the length of one, all their bytes.
constexpr uint64_t kMaxTreeEntries = 1 << 20;
constexpr uint64_t kMaxTreePath = 4096;
constexpr uint64_t kMaxTreePathBytes = 256 << 20;

enum class PathKind : uint8_t { NONE = 0, FILE = 1, DIRECTORY = 2, LINK = 3 };

// What a path holds on one side. Times are file ticks (platform.h).
struct PathState {
    PathKind kind = PathKind::NONE;
    uint32_t mode = 0;  // permission, set-ID and sticky bits (files and directories)
    uint64_t size = 0;  // a new file's bytes where they are part of the contents; else 0
    uint64_t ticks = 0;
    std::string linkTarget;
    bool operator==(const PathState&) const = default;
};

struct TreeEntry {
    std::string path;  // "./a/b"
    PathState before;
    PathState after;
    // A file whose bytes stay (only its mode or time changes): in neither version's contents.
    bool sameContent = false;

    // Whether the old or the new version's bytes are part of the contents record.
    bool oldInContents() const
    {
        return before.kind == PathKind::FILE && !sameContent;
    }
    bool newInContents() const
    {
        return after.kind == PathKind::FILE && !sameContent;
    }
};

// The table: the entries, and the CRC of the files whose bytes stay (sameContent), one after
// another in table order. The contents record's checksums cover the other files the same way.
struct TreeTable {
    std::vector<TreeEntry> entries;
    uint32_t keptCrc = 0;
    // The files whose time alone changes, all from one time to one other, as when a package
    // is built anew: not listed. They are the regular files below the root that no entry names
    // and whose time is oldTicks (to the millisecond); their sorted paths, each with a NUL, and
    // their bytes, one file after another, have the checksums given. count 0: none.
    struct Retimed {
        uint64_t count = 0;
        uint64_t oldTicks = 0;
        uint64_t newTicks = 0;
        uint32_t pathsCrc = 0;
        uint32_t contentCrc = 0;
    } retimed;
};

// The table record's destination, byte for byte (docs/format.md): the fields of all entries
// column by column (paths, kinds, modes, sizes, times, link texts), which packs far better
// than entry by entry.
std::vector<uint8_t> encodeTreeTable(const TreeTable& table);
// False for bytes that are not a table: a field cut short, an unknown kind, a path that
// isTreePath refuses, paths out of order or repeated, a path below one that does not become or
// stay a directory, more than the limits below, bytes left over.
bool decodeTreeTable(const uint8_t* bytes, size_t length, TreeTable& table);

// A header for one of a tree's records, with both names "./" and the part behind them.
RecordHeader buildTreeHeader(uint8_t part);
// The part of a tree's record (TREE_PART_*), 0 for a record that is no tree's or names none.
uint8_t treePart(const RecordHeader& header);

// What the entry does, as the listing names it: "changed", "added", "removed", "link",
// "directory added", "directory removed", "mode or time".
const char* describeChange(const TreeEntry& entry);

}  // namespace zep
