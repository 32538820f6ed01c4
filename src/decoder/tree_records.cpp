// Reading a tree's records: their headers paired in file order, the table replayed from nothing
// into memory and decoded.
#include "decoder/tree_records.h"

#include "common/printable.h"
#include "common/status.h"
#include "decoder/instruction_interpreter.h"
#include "decoder/record_replay.h"
#include "decoder/tree_apply.h"
#include "platform/platform.h"

namespace zep {

namespace {

// Tables past this size are refused before they are rebuilt in memory: a million paths
// take about 40 MiB.
constexpr uint32_t kMaxTableSize = 64u << 20;

// A time as the listing shows it: local, to the second.
std::string timeText(uint64_t ticks)
{
    uint8_t field[kTimeStampLength] = {};
    formatTimeStamp(ticks - ticks % 10000, field);
    return reinterpret_cast<const char*>(field);
}

}  // namespace

TreeTable readTreeTable(const Report& report, const RecordHeader& header, const uint8_t* stream)
{
    if (header.field32(HEADER_SOURCE_SIZE) != 0 || header.field32(HEADER_DEST_SIZE) > kMaxTableSize)
        fail(Status::STREAM_BROKEN, ".zep broken.\n");
    FileSlot sink;
    sink.handle = platform::memoryFile();
    if (sink.handle < 0)
        failSilently(Status::NO_MEMORY);
    std::vector<uint8_t> bytes(header.field32(HEADER_DEST_SIZE));
    try {
        static const uint8_t kNothing = 0;
        FileSlot from;
        from.view = &kNothing;
        ReplayTarget to(sink, report);
        const bool complete = replayRecord(to, header, from, stream);
        verifyChecksums(header, to.crcs, complete,
                        to.out.flushed() == header.field32(HEADER_DEST_SIZE));
        if (platform::readFileAt(sink.handle, bytes.data(), bytes.size(), 0) != bytes.size())
            failSilently(Status::NO_MEMORY);
    } catch (...) {
        platform::closeFile(sink.handle);
        throw;
    }
    platform::closeFile(sink.handle);
    TreeTable table;
    if (!decodeTreeTable(bytes.data(), bytes.size(), table))
        fail(Status::STREAM_BROKEN, ".zep broken.\n");
    return table;
}

std::vector<TreeSet> readSets(const Report& report, RunFiles& files, const char* diffPath)
{
    std::vector<TreeSet> sets;
    uint32_t skipped = 0;
    uint64_t at = 0;
    RecordHeader header;
    Found result = Found::END;
    while ((result = findRecord(files.diff, skipped, header, at)) == Found::RECORD) {
        const uint64_t end = at + header.length + header.field32(HEADER_STREAM_LENGTH);
        if (end > files.diff.viewLength && recordBeingWritten(files.diff, at)) {
            result = Found::BEING_WRITTEN;
            break;
        }
        const uint8_t part = treePart(header);
        const uint32_t streamLength = header.field32(HEADER_STREAM_LENGTH);
        if (part == 0)
            fail(Status::UNSAFE_NAME,
                 "[%s] holds a record of a single file; apply it without -R.\n",
                 printable(diffPath).c_str());
        if (part == TREE_PART_TABLE) {
            sets.push_back({std::move(header), at, {}, 0});
        } else if (part == TREE_PART_CONTENTS && !sets.empty() &&
                   sets.back().contents.bytes == nullptr) {
            sets.back().contents = std::move(header);
            sets.back().contentsAt = at;
        } else {
            fail(Status::STREAM_BROKEN, ".zep broken.\n");
        }
        seekCurrent(files.diff, streamLength);
    }
    // A table whose contents a create is still writing waits for the next run.
    if (!sets.empty() && sets.back().contents.bytes == nullptr) {
        if (result != Found::BEING_WRITTEN)
            fail(Status::STREAM_BROKEN, ".zep broken.\n");
        sets.pop_back();
    }
    if (result == Found::BEING_WRITTEN)
        report.line("[%s] has a record at byte %llu still being written; stopped before it.\n",
                    printable(diffPath).c_str(), static_cast<unsigned long long>(at));
    return sets;
}

std::string describeTreeTable(const Report& report, const FileSlot& diff,
                              const RecordHeader& header, uint64_t at)
{
    if (treePart(header) != TREE_PART_TABLE)
        return {};
    const uint32_t length = header.field32(HEADER_STREAM_LENGTH);
    std::vector<uint8_t> stream(length);
    if (platform::readFileAt(diff.handle, stream.data(), length, at + header.length) != length)
        fail(Status::STREAM_BROKEN, ".zep broken.\n");
    const TreeTable table = readTreeTable(report, header, stream.data());
    std::string lines;
    for (const TreeEntry& entry : table.entries) {
        lines += describeChange(entry);
        lines += ' ';
        lines += printable(entry.path);
        if (entry.after.kind == PathKind::LINK)
            lines += " -> " + printable(entry.after.linkTarget);
        lines += '\n';
    }
    if (table.retimed.count != 0)
        lines += "time of " + std::to_string(table.retimed.count) + " other files " +
                 timeText(table.retimed.oldTicks) + " -> " + timeText(table.retimed.newTicks) +
                 "\n";
    return lines;
}

}  // namespace zep
