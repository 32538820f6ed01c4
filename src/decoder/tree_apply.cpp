// Applying a tree: the table read and checked whole, every path examined below the root without
// following a link, and only then the contents rebuilt into the staging directory and moved into
// place. A stop held back until the staging is done ends the run with the staging directory
// removed; one that comes during the moves waits for them.
#include "decoder/tree_apply.h"

#include "common/checksum.h"
#include "common/printable.h"
#include "common/status.h"
#include "common/tree_listing.h"
#include "decoder/instruction_interpreter.h"
#include "decoder/record_replay.h"
#include "decoder/tree_moves.h"
#include "format/record_header.h"
#include "format/tree_table.h"
#include "platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <vector>

namespace zep {

namespace {

// Tables past this size are refused before they are rebuilt in memory: a million paths
// take about 40 MiB.
constexpr uint32_t kMaxTableSize = 64u << 20;
constexpr char kImageName[] = "image";

// A tree's two records as the difference file holds them.
struct TreeSet {
    RecordHeader table;
    uint64_t tableAt = 0;
    RecordHeader contents;
    uint64_t contentsAt = 0;
};

// What a path holds now.
struct PathNow {
    bool throughLink = false;  // a directory on the way is a link or no directory
    bool parentMissing = false;
    bool special = false;
    PathState state;
};

PathNow examine(int root, const std::string& path)
{
    PathNow found;
    const size_t slash = path.find_last_of('/');
    const std::string parent = slash <= 1 ? std::string(".") : path.substr(2, slash - 2);
    const std::string name = path.substr(slash + 1);
    const int directory = platform::openBeneath(root, parent.c_str(), O_RDONLY | O_DIRECTORY);
    if (directory < 0) {
        (errno == ENOENT ? found.parentMissing : found.throughLink) = true;
        return found;
    }
    platform::Entry entry;
    if (platform::entryOf(directory, name.c_str(), entry)) {
        PathState& state = found.state;
        if (entry.directory) {
            state.kind = PathKind::DIRECTORY;
            state.mode = entry.mode;
        } else if (entry.symbolicLink) {
            state.kind = PathKind::LINK;
            platform::linkTargetOf(directory, name.c_str(), state.linkTarget);
        } else if (entry.regular) {
            state.kind = PathKind::FILE;
            state = {PathKind::FILE, entry.mode, entry.size, entry.ticks, {}};
        } else {
            found.special = true;
        }
    }
    platform::closeFile(directory);
    return found;
}

std::string parentPath(const std::string& path)
{
    return path.substr(0, path.find_last_of('/'));
}

// Times as records keep them: whole milliseconds.
bool sameTime(uint64_t one, uint64_t other)
{
    return one / 10000 == other / 10000;
}

bool isOld(const TreeEntry& entry)
{
    return entry.oldInContents();
}
bool isNew(const TreeEntry& entry)
{
    return entry.newInContents();
}
bool isKept(const TreeEntry& entry)
{
    return entry.sameContent;
}

// Whether the files of the entries that pick, one after another as they are now, have the
// checksum crc: how a record checks a tree's files, which it keeps no checksum of one by one.
bool filesHaveCrc(int root, const std::vector<TreeEntry>& entries, bool (*pick)(const TreeEntry&),
                  uint32_t crc)
{
    uint32_t running = crcInit();
    for (const TreeEntry& entry : entries) {
        std::vector<uint8_t> bytes;
        if (!pick(entry))
            continue;
        if (!readTreeFile(root, entry.path, bytes))
            return false;
        running = crcBlock(bytes.data(), bytes.size(), running);
    }
    return running == crc;
}

// Rebuilds a tree's table from its record, whose stream lies whole at stream.
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

// A descriptor closed when it goes.
struct HeldFile {
    explicit HeldFile(int opened) : fd(opened) {}
    ~HeldFile()
    {
        if (fd >= 0)
            platform::closeFile(fd);
    }
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;
    int fd;
};

// Signals that would stop the run wait while a tree is updated; see stopIfAsked.
class SignalsHeld {
  public:
    explicit SignalsHeld(bool hold) : holding_(hold)
    {
        if (holding_)
            platform::holdStopSignals(held_);
    }
    ~SignalsHeld()
    {
        if (holding_)
            platform::releaseSignals(held_);
    }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

  private:
    bool holding_;
    platform::HeldSignals held_{};
};

// Where the tree may still go back: a stop that waits ends the run here, and what the run made
// goes with the failure; the signal then takes its course when it is let through.
void stopIfAsked()
{
    if (platform::stopSignalWaiting())
        failSilently(Status::CANCELLED);
}

class TreeApply {
  public:
    TreeApply(const Report& runReport, RunFiles& runFiles, const ApplyOptions& options,
              ApplyCounts& counts, int root, const std::string& shownRoot, const uint8_t* mapping)
        : report(runReport), files(runFiles), options_(options), counts_(counts), root_(root),
          shown_(shownRoot), mapping_(mapping)
    {
    }

    TreeTable readTable(const TreeSet& set) const
    {
        return readTreeTable(report, set.table, streamOf(set.table, set.tableAt));
    }

    void applySet(const TreeSet& set)
    {
        report.line("%s\n", printable(shown_).c_str());
        report.recordEvent(ZEP_RECORD_STARTED, kTreeRecordName, shown_);
        ++counts_.records;
        const TreeTable table = readTable(set);
        const std::vector<TreeEntry>& entries = table.entries;
        // The new files split the contents exactly.
        uint64_t newBytes = 0;
        for (const TreeEntry& entry : entries)
            if (entry.newInContents())
                newBytes += std::min<uint64_t>(entry.after.size, UINT32_MAX + uint64_t{1});
        if (newBytes != set.contents.field32(HEADER_DEST_SIZE))
            fail(Status::STREAM_BROKEN, ".zep broken.\n");
        std::vector<PathNow> now;
        for (const TreeEntry& entry : entries) {
            if (isApplyWorkName(entry.path))
                fail(Status::UNSAFE_NAME, "[%s] unsafe file name.\n", shownPath(entry).c_str());
            now.push_back(examine(root_, entry.path));
            // Below a path that is no directory before, nothing is there before: the path
            // leads through the old link or file only while the tree is the old one.
            const TreeEntry* parent = entryAt(entries, parentPath(entry.path));
            if (now.back().throughLink && parent != nullptr &&
                (parent->before.kind != PathKind::DIRECTORY ||
                 parent->after.kind != PathKind::DIRECTORY))
                now.back() = PathNow{false, true, false, {}};
            if (now.back().throughLink)
                fail(Status::UNSAFE_NAME,
                     "[%s] passes through a symbolic link or a file; nothing changed.\n",
                     shownPath(entry).c_str());
        }
        findRetimed(table);
        if (isNewTree(table, now, set.contents)) {
            report.line("[%s] is already up to date.\n", printable(shown_).c_str());
            report.recordEvent(ZEP_RECORD_UP_TO_DATE, kTreeRecordName, shown_);
            ++counts_.upToDate;
            return;
        }
        if (!isOldTree(table, now, set.contents))
            return;
        if (options_.checkOnly) {
            checkSet(set, table);
            return;
        }
        updateTree(set, table);
        report.recordEvent(ZEP_RECORD_APPLIED, kTreeRecordName, shown_);
        ++counts_.applied;
    }

    // Finishes an update whose journal a stop left, from the set it names.
    bool finishInterrupted(const std::vector<TreeSet>& sets, const TreeJournal& journal)
    {
        for (const TreeSet& set : sets) {
            if (set.tableAt != journal.tableOffset ||
                set.table.field32(HEADER_CHECKSUM) != journal.tableCrc ||
                set.contents.field32(HEADER_CHECKSUM) != journal.contentsCrc)
                continue;
            finishMoves(root_, shown_, journal, readTable(set));
            report.line("[%s] an interrupted update was finished.\n", printable(shown_).c_str());
            return true;
        }
        return false;
    }

  private:
    std::string shownPath(const TreeEntry& entry) const
    {
        return printable(shown_ + entry.path.substr(1));
    }

    const uint8_t* streamOf(const RecordHeader& header, uint64_t at) const
    {
        if (at + header.length + header.field32(HEADER_STREAM_LENGTH) > files.diff.viewLength)
            fail(Status::STREAM_BROKEN, ".zep broken.\n");
        return mapping_ + at + header.length;
    }

    // Replays the record against source into the sink slot; the checks decide.
    void replayInto(FileSlot& sink, const RecordHeader& header, uint64_t at,
                    const std::vector<uint8_t>& source) const
    {
        static const uint8_t kNothing = 0;
        FileSlot from;
        from.view = source.empty() ? &kNothing : source.data();
        from.viewLength = source.size();
        ReplayTarget to(sink, report);
        const bool complete = replayRecord(to, header, from, streamOf(header, at));
        verifyChecksums(header, to.crcs, complete,
                        to.out.flushed() == header.field32(HEADER_DEST_SIZE));
    }

    // Whether every path holds its recorded new state: kind, a file's size, mode and bytes, a
    // directory's mode, a link's text.
    bool isNewTree(const TreeTable& table, const std::vector<PathNow>& now,
                   const RecordHeader& contents) const
    {
        for (size_t i = 0; i < table.entries.size(); ++i) {
            const PathState& wanted = table.entries[i].after;
            const PathState& held = now[i].state;
            if (now[i].special || held.kind != wanted.kind ||
                (wanted.kind == PathKind::LINK && held.linkTarget != wanted.linkTarget) ||
                (wanted.kind != PathKind::LINK && held.mode != wanted.mode) ||
                (table.entries[i].newInContents() && held.size != wanted.size))
                return false;
        }
        return filesHaveCrc(root_, table.entries, isNew, contents.field32(HEADER_DEST_CRC)) &&
               filesHaveCrc(root_, table.entries, isKept, table.keptCrc) &&
               isRetimedSet(table, retimedNew_);
    }

    // The files that no entry names at the table's old and new time of the files whose time
    // alone changes, read from the whole tree.
    void findRetimed(const TreeTable& table)
    {
        retimedOld_.clear();
        retimedNew_.clear();
        if (table.retimed.count == 0)
            return;
        for (const TreeNode& node : listTree(root_, shown_)) {
            if (node.kind != NodeKind::FILE || isApplyWorkName(node.path) ||
                entryAt(table.entries, node.path) != nullptr)
                continue;
            if (sameTime(node.ticks, table.retimed.oldTicks))
                retimedOld_.push_back(node.path);
            else if (sameTime(node.ticks, table.retimed.newTicks))
                retimedNew_.push_back(node.path);
        }
    }

    // Whether the files are the table's retimed ones: as many, the same paths.
    static bool isRetimedSet(const TreeTable& table, const std::vector<std::string>& paths)
    {
        if (table.retimed.count == 0)
            return true;
        if (paths.size() != table.retimed.count)
            return false;
        uint32_t crc = crcInit();
        for (const std::string& path : paths)
            crc = crcBlock(reinterpret_cast<const uint8_t*>(path.c_str()), path.size() + 1, crc);
        return crc == table.retimed.pathsCrc;
    }

    // True when the tree holds the recorded old version: kinds, link texts, file sizes and
    // times (with the content option, where a time differs, the bytes of all files instead).
    // A file of another time skips the tree ("time comparison error"); anything else that
    // differs fails the run, nothing changed.
    bool isOldTree(const TreeTable& table, const std::vector<PathNow>& now,
                   const RecordHeader& contents)
    {
        const std::vector<TreeEntry>& entries = table.entries;
        bool timeDiffers = false;
        for (size_t i = 0; i < entries.size(); ++i) {
            const TreeEntry& entry = entries[i];
            const PathNow& found = now[i];
            const PathState& held = found.state;
            if (found.parentMissing && entry.after.kind != PathKind::NONE &&
                !isNewDirectory(entries, entry.path))
                fail(Status::CANNOT_OPEN, "[%s] not exist.\n", shownPath(entry).c_str());
            if (found.special || held.kind != entry.before.kind) {
                if (held.kind == PathKind::NONE && !found.special)
                    fail(Status::CANNOT_OPEN, "[%s] not exist.\n", shownPath(entry).c_str());
                failDiffers(entry);
            }
            if (held.kind == PathKind::LINK && held.linkTarget != entry.before.linkTarget)
                failDiffers(entry);
            if (held.kind == PathKind::DIRECTORY && entry.after.kind != PathKind::DIRECTORY)
                refuseUnknownFiles(entries, entry);
            if (held.kind != PathKind::FILE || sameTime(held.ticks, entry.before.ticks))
                continue;
            if (!options_.sourceByContent) {
                report.line("[%s] time comparison error.\n", shownPath(entry).c_str());
                report.recordEvent(ZEP_RECORD_SKIPPED_TIME, kTreeRecordName, shown_);
                ++counts_.skipped;
                return false;
            }
            timeDiffers = true;
        }
        // The files whose time alone changes are known by their time only.
        if (table.retimed.count != 0 && !isRetimedSet(table, retimedOld_)) {
            report.line("[%s] time comparison error.\n", printable(shown_).c_str());
            report.recordEvent(ZEP_RECORD_SKIPPED_TIME, kTreeRecordName, shown_);
            ++counts_.skipped;
            return false;
        }
        if (timeDiffers &&
            (!filesHaveCrc(root_, entries, isOld, contents.field32(HEADER_SOURCE_CRC)) ||
             !filesHaveCrc(root_, entries, isKept, table.keptCrc)))
            fail(Status::SOURCE_CRC,
                 "[%s] is neither the old nor the new version; nothing changed.\n",
                 printable(shown_).c_str());
        return true;
    }

    [[noreturn]] void failDiffers(const TreeEntry& entry) const
    {
        fail(Status::SOURCE_CRC, "[%s] is neither the old nor the new version; nothing changed.\n",
             shownPath(entry).c_str());
    }

    static const TreeEntry* entryAt(const std::vector<TreeEntry>& entries, const std::string& path)
    {
        const auto found = std::lower_bound(
            entries.begin(), entries.end(), path,
            [](const TreeEntry& entry, const std::string& at) { return entry.path < at; });
        return found != entries.end() && found->path == path ? &*found : nullptr;
    }

    static bool isNewDirectory(const std::vector<TreeEntry>& entries, const std::string& path)
    {
        const TreeEntry* parent = entryAt(entries, parentPath(path));
        return parent != nullptr && parent->after.kind == PathKind::DIRECTORY;
    }

    // A directory that goes must hold nothing but what goes with it.
    void refuseUnknownFiles(const std::vector<TreeEntry>& entries, const TreeEntry& entry) const
    {
        const HeldFile directory(
            platform::openBeneath(root_, entry.path.c_str() + 2, O_RDONLY | O_DIRECTORY));
        std::vector<std::string> names;
        if (directory.fd < 0 || !platform::namesIn(directory.fd, names))
            failDiffers(entry);
        for (const std::string& name : names) {
            const TreeEntry* held = entryAt(entries, entry.path + "/" + name);
            if (held == nullptr || held->before.kind == held->after.kind)
                fail(Status::SOURCE_CRC,
                     "[%s] holds files that the record does not know; nothing changed.\n",
                     shownPath(entry).c_str());
        }
    }

    // The old versions whose bytes the contents record starts from, one after another.
    std::vector<uint8_t> readSource(const TreeTable& table, const RecordHeader& contents) const
    {
        const uint32_t expected = contents.field32(HEADER_SOURCE_SIZE);
        std::vector<uint8_t> source;
        for (const TreeEntry& entry : table.entries) {
            if (!entry.oldInContents())
                continue;
            std::vector<uint8_t> bytes;
            if (!readTreeFile(root_, entry.path, bytes))
                fail(Status::CHANGED_WHILE_READ, "[%s] changed while being read.\n",
                     shownPath(entry).c_str());
            // Old versions of other sizes are other files, whose checksum cannot match.
            if (bytes.size() > expected - source.size())
                fail(Status::SOURCE_CRC, "source file CRC is not match(broken?).\n");
            source.insert(source.end(), bytes.begin(), bytes.end());
        }
        if (source.size() != expected)
            fail(Status::SOURCE_CRC, "source file CRC is not match(broken?).\n");
        return source;
    }

    void checkSet(const TreeSet& set, const TreeTable& table)
    {
        FileSlot sink;
        openNullSink(sink);
        try {
            replayInto(sink, set.contents, set.contentsAt, readSource(table, set.contents));
        } catch (const Failure& failure) {
            closeNullSink(sink);
            report.line("%s", failure.message.c_str());
            report.recordEvent(ZEP_RECORD_FAILING, kTreeRecordName, shown_);
            ++counts_.failing;
            return;
        }
        closeNullSink(sink);
        report.line("[%s] would be updated.\n", printable(shown_).c_str());
        report.recordEvent(ZEP_RECORD_APPLIED, kTreeRecordName, shown_);
        ++counts_.applied;
    }

    void updateTree(const TreeSet& set, const TreeTable& table)
    {
        const std::vector<TreeEntry>& entries = table.entries;
        refuseUnwritable(entries);
        const std::vector<uint8_t> source = readSource(table, set.contents);
        stopIfAsked();
        TreeStage stage(root_, shown_);
        // The new versions one after another, rebuilt on disk beside the tree.
        FileSlot image;
        image.handle = stage.createImage(kImageName);
        image.name = shown_;
        const HeldFile heldImage(image.handle);
        replayInto(image, set.contents, set.contentsAt, source);
        const uint32_t imageSize = set.contents.field32(HEADER_DEST_SIZE);
        const uint8_t* view =
            imageSize == 0 ? nullptr : platform::mapReadOnly(image.handle, imageSize);
        if (imageSize != 0 && view == nullptr)
            fail(Status::CANNOT_VIEW, "[%s] can not create mapping pointer.\n",
                 printable(shown_).c_str());
        try {
            stageEntries(stage, table, view);
        } catch (...) {
            platform::unmapView(view, imageSize);
            throw;
        }
        if (view != nullptr)
            platform::unmapView(view, imageSize);
        stage.removeImage(kImageName);
        stageRetimed(stage, table);
        stage.prepareBackup(entries);
        stopIfAsked();
        TreeJournal journal;
        journal.tableOffset = set.tableAt;
        journal.tableCrc = set.table.field32(HEADER_CHECKSUM);
        journal.contentsCrc = set.contents.field32(HEADER_CHECKSUM);
        stage.commit(journal);
        finishMoves(root_, shown_, journal, table);
    }

    // Every directory in which the update makes, moves or removes names must let this process
    // do it: found out after the journal, it would stop the moves half way.
    void refuseUnwritable(const std::vector<TreeEntry>& entries) const
    {
        std::vector<std::string> checked;
        const auto check = [&](const std::string& path) {
            if (std::find(checked.begin(), checked.end(), path) != checked.end())
                return;
            checked.push_back(path);
            const HeldFile directory(path == "."
                                         ? platform::openBeneath(root_, ".", O_RDONLY | O_DIRECTORY)
                                         : platform::openBeneath(root_, path.c_str() + 2,
                                                                 O_RDONLY | O_DIRECTORY));
            if (directory.fd < 0 || !platform::canWriteIn(directory.fd))
                fail(Status::CANNOT_CREATE, "[%s] can not create.\n",
                     printable(path == "." ? shown_ : shown_ + path.substr(1)).c_str());
        };
        check(".");
        for (const TreeEntry& entry : entries) {
            const std::string parent = parentPath(entry.path);
            const TreeEntry* above = entryAt(entries, parent);
            // A directory the update makes is made writable for it.
            if (parent != "." && above != nullptr && above->before.kind != PathKind::DIRECTORY)
                continue;
            check(parent);
        }
    }

    // The files whose time alone changes must hold the recorded bytes too.
    void stageRetimed(TreeStage& stage, const TreeTable& table) const
    {
        if (table.retimed.count == 0)
            return;
        uint32_t crc = crcInit();
        for (const std::string& path : retimedOld_) {
            std::vector<uint8_t> bytes;
            if (!readTreeFile(root_, path, bytes))
                fail(Status::CHANGED_WHILE_READ, "[%s] changed while being read.\n",
                     printable(shown_ + path.substr(1)).c_str());
            crc = crcBlock(bytes.data(), bytes.size(), crc);
        }
        if (crc != table.retimed.contentCrc)
            fail(Status::SOURCE_CRC, "source file CRC is not match(broken?).\n");
        stage.addRetimed(retimedOld_);
    }

    void stageEntries(TreeStage& stage, const TreeTable& table, const uint8_t* image) const
    {
        const std::vector<TreeEntry>& entries = table.entries;
        uint64_t offset = 0;
        uint32_t kept = crcInit();
        for (size_t i = 0; i < entries.size(); ++i) {
            const TreeEntry& entry = entries[i];
            stopIfAsked();
            switch (entry.after.kind) {
            case PathKind::NONE:
                break;
            case PathKind::FILE:
                if (entry.newInContents()) {
                    stage.addFile(i, image + offset, entry.after.size, entry.after);
                    offset += entry.after.size;
                } else {
                    // Only the mode or time changes: the bytes are the old version's.
                    std::vector<uint8_t> bytes;
                    if (!readTreeFile(root_, entry.path, bytes))
                        fail(Status::CHANGED_WHILE_READ, "[%s] changed while being read.\n",
                             shownPath(entry).c_str());
                    kept = crcBlock(bytes.data(), bytes.size(), kept);
                    stage.addFile(i, bytes.data(), bytes.size(), entry.after);
                }
                break;
            case PathKind::LINK:
                stage.addLink(i, entry.after.linkTarget);
                break;
            case PathKind::DIRECTORY:
                // Made private: what it will hold moves in before it takes its mode.
                if (entry.before.kind != PathKind::DIRECTORY)
                    stage.addDirectory(i, 0700);
                break;
            }
        }
        if (kept != table.keptCrc)
            fail(Status::SOURCE_CRC, "source file CRC is not match(broken?).\n");
    }

    const Report& report;
    RunFiles& files;
    const ApplyOptions& options_;
    ApplyCounts& counts_;
    int root_;
    std::string shown_;
    const uint8_t* mapping_;
    // The set's files whose time alone changes, found at their old and at their new time.
    std::vector<std::string> retimedOld_;
    std::vector<std::string> retimedNew_;
};

// Every record of the file, paired into trees. A record of a single file, or a tree's record out
// of its pair, is refused before anything changes.
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

// A time as the listing shows it: local, to the second.
std::string timeText(uint64_t ticks)
{
    uint8_t field[kTimeStampLength] = {};
    formatTimeStamp(ticks - ticks % 10000, field);
    return reinterpret_cast<const char*>(field);
}

}  // namespace

std::string describeTreeTable(const Report& report, FileSlot& diff, const RecordHeader& header,
                              uint64_t at)
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

void applyTrees(const Report& report, RunFiles& files, const char* diffPath,
                const std::string& directory, const ApplyOptions& options, ApplyCounts& counts)
{
    files.directory = platform::openDirectory(directory.c_str());
    platform::Entry rootEntry;
    if (files.directory < 0 || !platform::entryOf(files.directory, "", rootEntry) ||
        !rootEntry.directory)
        fail(Status::CANNOT_OPEN, "[%s] not exist.\n", printable(directory).c_str());
    // One update of a tree at a time; a check reads only.
    if (!options.checkOnly && !platform::lockDirectory(files.directory))
        fail(Status::BUSY, "[%s] is being updated by another process; nothing changed.\n",
             printable(directory).c_str());
    openForRead(diffPath, files.diff);
    const uint8_t* mapping = mapOpenedFile(diffPath, files.diff);
    const std::vector<TreeSet> sets = readSets(report, files, diffPath);
    const SignalsHeld held(!options.checkOnly);
    TreeApply applier(report, files, options, counts, files.directory, directory, mapping);
    TreeJournal journal;
    if (!options.checkOnly && readJournal(files.directory, directory, journal) &&
        !applier.finishInterrupted(sets, journal))
        fail(Status::BUSY, "[%s] is an unfinished update of another difference file.\n",
             printable(directory + "/" + kJournalName).c_str());
    if (!options.checkOnly)
        removeStaleStages(files.directory);
    for (const TreeSet& set : sets)
        applier.applySet(set);
    unmapFile(diffPath, files.diff);
    if (sets.empty())
        report.line("[%s] is not zep file.\n", printable(diffPath).c_str());
    const uint32_t notApplied = counts.skipped + counts.failing;
    if (options.checkOnly && notApplied != 0)
        fail(Status::NOT_ALL_APPLIED, "[%s] %u of %u records would not be applied.\n",
             printable(diffPath).c_str(), notApplied, counts.records);
    if (options.strict && notApplied != 0)
        fail(Status::NOT_ALL_APPLIED, "[%s] %u of %u records skipped.\n",
             printable(diffPath).c_str(), notApplied, counts.records);
}

}  // namespace zep
