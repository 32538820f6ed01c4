// The table of a tree's changes: a magic, a count, then per path its text and both of its
// states, numbers as LEB128 where they vary and fixed where they are checksums or times.
#include "format/tree_table.h"

#include "common/status.h"
#include "format/compact_stream.h"
#include "format/file_names.h"

#include <algorithm>
#include <cstring>

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

void putState(std::vector<uint8_t>& out, const PathState& state)
{
    out.push_back(static_cast<uint8_t>(state.kind));
    switch (state.kind) {
    case PathKind::NONE:
        break;
    case PathKind::FILE:
        putLength(out, state.mode);
        putLength(out, state.size);
        putFixed(out, state.ticks, 8);
        putFixed(out, state.crc, 4);
        break;
    case PathKind::DIRECTORY:
        putLength(out, state.mode);
        break;
    case PathKind::LINK:
        putText(out, state.linkTarget);
        break;
    }
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
        if (!number(length) || length > static_cast<uint64_t>(end_ - at_))
            return false;
        out.assign(reinterpret_cast<const char*>(at_), length);
        at_ += length;
        return true;
    }
    bool state(PathState& state)
    {
        if (at_ == end_ || *at_ > static_cast<uint8_t>(PathKind::LINK))
            return false;
        state.kind = static_cast<PathKind>(*at_++);
        uint64_t mode = 0;
        uint64_t crc = 0;
        switch (state.kind) {
        case PathKind::NONE:
            return true;
        case PathKind::FILE:
            if (!number(mode) || !number(state.size) || !fixed(state.ticks, 8) || !fixed(crc, 4))
                return false;
            break;
        case PathKind::DIRECTORY:
            if (!number(mode))
                return false;
            break;
        case PathKind::LINK:
            // A link's text is what readlink gives: not empty, no NUL.
            return text(state.linkTarget) && !state.linkTarget.empty() &&
                   state.linkTarget.find('\0') == std::string::npos;
        }
        state.mode = static_cast<uint32_t>(mode);
        state.crc = static_cast<uint32_t>(crc);
        return mode <= 07777;
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

std::vector<uint8_t> encodeTreeTable(const std::vector<TreeEntry>& entries)
{
    std::vector<uint8_t> out(kTableMagic, kTableMagic + 4);
    putLength(out, entries.size());
    for (const TreeEntry& entry : entries) {
        putText(out, entry.path);
        putState(out, entry.before);
        putState(out, entry.after);
        if (entry.before.kind == PathKind::FILE && entry.after.kind == PathKind::FILE)
            out.push_back(entry.sameContent ? 1 : 0);
    }
    return out;
}

bool decodeTreeTable(const uint8_t* bytes, size_t length, std::vector<TreeEntry>& entries)
{
    entries.clear();
    TableReader reader(bytes, length);
    uint64_t count = 0;
    if (!reader.magic() || !reader.number(count) || count > length)
        return false;
    entries.reserve(count);
    for (uint64_t i = 0; i < count; ++i) {
        TreeEntry entry;
        if (!reader.text(entry.path) || !isTreePath(entry.path) || !reader.state(entry.before) ||
            !reader.state(entry.after))
            return false;
        if (entry.before.kind == PathKind::FILE && entry.after.kind == PathKind::FILE) {
            uint64_t same = 0;
            if (!reader.fixed(same, 1) || same > 1)
                return false;
            entry.sameContent = same == 1;
            // Bytes that stay are a file's own: its size and checksum cannot change.
            if (entry.sameContent &&
                (entry.before.size != entry.after.size || entry.before.crc != entry.after.crc))
                return false;
        }
        // Sorted bytewise and each path once, so that a directory comes before what it holds.
        if (!entries.empty() && entries.back().path >= entry.path)
            return false;
        entries.push_back(std::move(entry));
    }
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
