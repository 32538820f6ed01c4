// The table of a tree's changes: a magic, a count, then per path its text and both of its
// states, numbers as LEB128 where they vary and fixed where they are checksums or times.
#include "format/tree_table.h"

#include "common/status.h"
#include "format/compact_stream.h"
#include "format/file_names.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace zep {

namespace {

constexpr uint8_t kTableMagic[4] = {'Z', 'T', 'R', '1'};

void putFixed(std::vector<uint8_t>& out, uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void putText(std::vector<uint8_t>& out, const std::string& text)
{
    putLength(out, text.size());
    out.insert(out.end(), text.begin(), text.end());
}

// A time as the distance from the one before on the same side, small for a tree whose files
// were written together: zigzag, so that either direction takes few bytes.
uint64_t timeStep(uint64_t ticks, uint64_t& previous)
{
    const uint64_t step = ticks - previous;
    previous = ticks;
    return (step << 1) ^ (static_cast<int64_t>(step) < 0 ? ~uint64_t{0} : 0);
}

uint64_t timeFromStep(uint64_t zigzag, uint64_t& previous)
{
    previous += (zigzag >> 1) ^ (0 - (zigzag & 1));
    return previous;
}

bool hasMode(PathKind kind)
{
    return kind == PathKind::FILE || kind == PathKind::DIRECTORY;
}

size_t sharedPrefix(const std::string& one, const std::string& other)
{
    size_t length = 0;
    while (length < one.size() && length < other.size() && one[length] == other[length])
        ++length;
    return length;
}

// Reads the table's fields in order; every read fails once one field was cut short.
class TableReader {
  public:
    TableReader(const uint8_t* bytes, size_t length) : at_(bytes), end_(bytes + length) {}

    bool number(uint64_t& value)
    {
        value = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (at_ == end_)
                return false;
            const uint8_t byte = *at_++;
            value |= static_cast<uint64_t>(byte & 0x7F) << shift;
            if ((byte & 0x80) == 0)
                return true;
        }
        return false;
    }
    bool fixed(uint64_t& value, int bytes)
    {
        if (end_ - at_ < bytes)
            return false;
        value = 0;
        for (int i = 0; i < bytes; ++i)
            value |= static_cast<uint64_t>(*at_++) << (8 * i);
        return true;
    }
    bool text(std::string& out)
    {
        uint64_t length = 0;
        return number(length) && bytes(out, length);
    }
    // Text up to its NUL, which it passes.
    bool name(std::string& out)
    {
        const auto* end = static_cast<const uint8_t*>(std::memchr(at_, 0, end_ - at_));
        if (end == nullptr)
            return false;
        out.assign(reinterpret_cast<const char*>(at_), end - at_);
        at_ = end + 1;
        return true;
    }
    bool bytes(std::string& out, uint64_t length)
    {
        if (length > static_cast<uint64_t>(end_ - at_))
            return false;
        out.assign(reinterpret_cast<const char*>(at_), length);
        at_ += length;
        return true;
    }
    bool done() const
    {
        return at_ == end_;
    }
    bool magic()
    {
        if (end_ - at_ < 4 || std::memcmp(at_, kTableMagic, 4) != 0)
            return false;
        at_ += 4;
        return true;
    }

  private:
    const uint8_t* at_;
    const uint8_t* end_;
};

// The directory that holds the path, "" for the root.
std::string parentOf(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    return slash <= 1 ? std::string() : path.substr(0, slash);
}

}  // namespace

std::vector<uint8_t> encodeTreeTable(const TreeTable& table)
{
    std::vector<uint8_t> out(kTableMagic, kTableMagic + 4);
    putLength(out, table.entries.size());
    putFixed(out, table.keptCrc, 4);
    putLength(out, table.retimed.count);
    if (table.retimed.count != 0) {
        putFixed(out, table.retimed.oldTicks, 8);
        putFixed(out, table.retimed.newTicks, 8);
        putFixed(out, table.retimed.pathsCrc, 4);
        putFixed(out, table.retimed.contentCrc, 4);
    }
    const std::string none;
    const std::string* previous = &none;
    // Each path as the length it shares with the one before and the rest: the lengths first,
    // then the rests, each ended by a NUL, so that the names run on as text.
    std::string rests;
    for (const TreeEntry& entry : table.entries) {
        const size_t shared = sharedPrefix(*previous, entry.path);
        putLength(out, shared);
        rests += entry.path.substr(shared);
        rests += '\0';
        previous = &entry.path;
    }
    out.insert(out.end(), rests.begin(), rests.end());
    std::transform(table.entries.begin(), table.entries.end(), std::back_inserter(out),
                   [](const TreeEntry& entry) {
                       return static_cast<uint8_t>(static_cast<uint8_t>(entry.before.kind) |
                                                   (static_cast<uint8_t>(entry.after.kind) << 2) |
                                                   (entry.sameContent ? 0x10 : 0));
                   });
    for (const TreeEntry& entry : table.entries)
        for (const PathState* state : {&entry.before, &entry.after})
            if (hasMode(state->kind))
                putLength(out, state->mode);
    // Old sizes are not kept: the checksums of the old files decide.
    for (const TreeEntry& entry : table.entries)
        if (entry.newInContents())
            putLength(out, entry.after.size);
    uint64_t before = 0;
    uint64_t after = 0;
    for (const TreeEntry& entry : table.entries) {
        if (entry.before.kind == PathKind::FILE)
            putLength(out, timeStep(entry.before.ticks, before));
        if (entry.after.kind == PathKind::FILE)
            putLength(out, timeStep(entry.after.ticks, after));
    }
    for (const TreeEntry& entry : table.entries)
        for (const PathState* state : {&entry.before, &entry.after})
            if (state->kind == PathKind::LINK)
                putText(out, state->linkTarget);
    return out;
}

bool decodeTreeTable(const uint8_t* bytes, size_t length, TreeTable& table)
{
    std::vector<TreeEntry>& entries = table.entries;
    entries.clear();
    TableReader reader(bytes, length);
    uint64_t count = 0;
    uint64_t crc = 0;
    if (!reader.magic() || !reader.number(count) || count > kMaxTreeEntries || count > length / 3 ||
        !reader.fixed(crc, 4))
        return false;
    table.keptCrc = static_cast<uint32_t>(crc);
    TreeTable::Retimed& retimed = table.retimed;
    retimed = {};
    uint64_t pathsCrc = 0;
    uint64_t contentCrc = 0;
    if (!reader.number(retimed.count) ||
        (retimed.count != 0 &&
         (!reader.fixed(retimed.oldTicks, 8) || !reader.fixed(retimed.newTicks, 8) ||
          !reader.fixed(pathsCrc, 4) || !reader.fixed(contentCrc, 4))))
        return false;
    retimed.pathsCrc = static_cast<uint32_t>(pathsCrc);
    retimed.contentCrc = static_cast<uint32_t>(contentCrc);
    entries.resize(count);
    std::vector<uint64_t> shares(count);
    for (uint64_t& share : shares)
        if (!reader.number(share) || share > kMaxTreePath)
            return false;
    std::string previous;
    uint64_t pathBytes = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        TreeEntry& entry = entries[i];
        std::string rest;
        if (shares[i] > previous.size() || !reader.name(rest) ||
            shares[i] + rest.size() > kMaxTreePath)
            return false;
        entry.path = previous.substr(0, shares[i]) + rest;
        pathBytes += entry.path.size();
        if (pathBytes > kMaxTreePathBytes)
            return false;
        // Sorted bytewise and each path once, so that a directory comes before what it holds.
        if (!isTreePath(entry.path) || (!previous.empty() && previous >= entry.path))
            return false;
        previous = entry.path;
    }
    for (TreeEntry& entry : entries) {
        uint64_t kinds = 0;
        if (!reader.fixed(kinds, 1) || kinds > 0x1F)
            return false;
        entry.before.kind = static_cast<PathKind>(kinds & 3);
        entry.after.kind = static_cast<PathKind>((kinds >> 2) & 3);
        entry.sameContent = (kinds & 0x10) != 0;
        // Bytes that stay need a file on both sides; a path that stays empty is no change.
        if ((entry.sameContent &&
             (entry.before.kind != PathKind::FILE || entry.after.kind != PathKind::FILE)) ||
            (entry.before.kind == PathKind::NONE && entry.after.kind == PathKind::NONE))
            return false;
    }
    for (TreeEntry& entry : entries)
        for (PathState* state : {&entry.before, &entry.after}) {
            uint64_t mode = 0;
            if (hasMode(state->kind) && (!reader.number(mode) || mode > 07777))
                return false;
            state->mode = static_cast<uint32_t>(mode);
        }
    for (TreeEntry& entry : entries)
        if (entry.newInContents() && !reader.number(entry.after.size))
            return false;
    uint64_t before = 0;
    uint64_t after = 0;
    for (TreeEntry& entry : entries) {
        uint64_t step = 0;
        if (entry.before.kind == PathKind::FILE) {
            if (!reader.number(step))
                return false;
            entry.before.ticks = timeFromStep(step, before);
        }
        if (entry.after.kind == PathKind::FILE) {
            if (!reader.number(step))
                return false;
            entry.after.ticks = timeFromStep(step, after);
        }
    }
    for (TreeEntry& entry : entries)
        for (PathState* state : {&entry.before, &entry.after})
            // A link's text is what readlink gives: not empty, no NUL.
            if (state->kind == PathKind::LINK &&
                (!reader.text(state->linkTarget) || state->linkTarget.empty() ||
                 state->linkTarget.find('\0') != std::string::npos))
                return false;
    if (!reader.done())
        return false;
    // A path below another of the table needs that one to be a directory on the side where the
    // path holds something.
    for (const TreeEntry& entry : entries) {
        const std::string parent = parentOf(entry.path);
        const auto other = std::lower_bound(
            entries.begin(), entries.end(), parent,
            [](const TreeEntry& held, const std::string& path) { return held.path < path; });
        if (parent.empty() || other == entries.end() || other->path != parent)
            continue;
        if ((entry.before.kind != PathKind::NONE && other->before.kind != PathKind::DIRECTORY) ||
            (entry.after.kind != PathKind::NONE && other->after.kind != PathKind::DIRECTORY))
            return false;
    }
    return true;
}

RecordHeader buildTreeHeader(uint8_t part)
{
    const RecordHeader named = buildRecordHeader(kTreeRecordName, kTreeRecordName);
    const uint32_t length = named.length + 1;
    auto* bytes = static_cast<uint8_t*>(std::calloc(length, 1));
    if (bytes == nullptr)
        failSilently(Status::NO_MEMORY);
    RecordHeader header(bytes, length);
    std::memcpy(bytes, named.bytes, named.length);
    bytes[named.length] = part;
    header.setField32(HEADER_LENGTH, length);
    header.setField16(HEADER_FLAGS, FLAG_MILLISECONDS | FLAG_TREE);
    return header;
}

uint8_t treePart(const RecordHeader& header)
{
    if ((header.field16(HEADER_FLAGS) & FLAG_TREE) == 0)
        return 0;
    // The names end inside the header (checked when it was read); the part follows them.
    const char* source = header.sourceName();
    uint32_t namesEnd = static_cast<uint32_t>(reinterpret_cast<const uint8_t*>(source) -
                                              header.bytes + std::strlen(source) + 1 + 2);
    if (header.hasDestName())
        namesEnd += static_cast<uint32_t>(std::strlen(header.destName()) + 1);
    return namesEnd < header.length ? header.bytes[namesEnd] : 0;
}

const char* describeChange(const TreeEntry& entry)
{
    const PathKind before = entry.before.kind;
    const PathKind after = entry.after.kind;
    if (before == PathKind::NONE)
        return after == PathKind::DIRECTORY ? "directory added"
               : after == PathKind::LINK    ? "link added"
                                            : "added";
    if (after == PathKind::NONE)
        return before == PathKind::DIRECTORY ? "directory removed"
               : before == PathKind::LINK    ? "link removed"
                                             : "removed";
    if (before != after)
        return "replaced";
    if (after == PathKind::FILE)
        return entry.sameContent ? "mode or time" : "changed";
    return after == PathKind::LINK ? "link changed" : "directory mode";
}

}  // namespace zep
