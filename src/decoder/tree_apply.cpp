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
#include "decoder/tree_records.h"
#include "decoder/tree_state.h"
#include "format/record_header.h"
#include "format/tree_table.h"
#include "platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <vector>

namespace zep {

namespace {

constexpr char kImageName[] = "image";

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
        TreeState state(root_, shown_, table);
        if (state.isNew(set.contents)) {
            report.line("[%s] is already up to date.\n", printable(shown_).c_str());
            report.recordEvent(ZEP_RECORD_UP_TO_DATE, kTreeRecordName, shown_);
            ++counts_.upToDate;
            return;
        }
        std::string timeDiffers;
        if (!state.isOld(set.contents, options_.sourceByContent, timeDiffers)) {
            report.line("[%s] time comparison error.\n", timeDiffers.c_str());
            report.recordEvent(ZEP_RECORD_SKIPPED_TIME, kTreeRecordName, shown_);
            ++counts_.skipped;
            return;
        }
        if (options_.checkOnly) {
            checkSet(set, table);
            return;
        }
        updateTree(set, table, state);
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

    void updateTree(const TreeSet& set, const TreeTable& table, const TreeState& state)
    {
        const std::vector<TreeEntry>& entries = table.entries;
        state.refuseUnwritable();
        const std::vector<uint8_t> source = readSource(table, set.contents);
        stopIfAsked();
        TreeStage stage(root_, shown_);
        // The new versions one after another, rebuilt on disk beside the tree.
        FileSlot image;
        image.handle = stage.createImage(kImageName);
        image.name = shown_;
        const platform::Held heldImage(image.handle);
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
        stageRetimed(stage, table, state);
        stage.prepareBackup(entries);
        stopIfAsked();
        TreeJournal journal;
        journal.tableOffset = set.tableAt;
        journal.tableCrc = set.table.field32(HEADER_CHECKSUM);
        journal.contentsCrc = set.contents.field32(HEADER_CHECKSUM);
        stage.commit(journal);
        finishMoves(root_, shown_, journal, table);
    }

    // The files whose time alone changes must hold the recorded bytes too.
    void stageRetimed(TreeStage& stage, const TreeTable& table, const TreeState& state) const
    {
        const std::vector<std::string>& retimed = state.retimedOld();
        if (table.retimed.count == 0)
            return;
        uint32_t crc = crcInit();
        for (size_t i = 0; i < retimed.size(); ++i) {
            const std::string& path = retimed[i];
            const std::string shown = printable(shown_ + path.substr(1));
            std::vector<uint8_t> bytes;
            const platform::Held file(
                platform::openBeneath(root_, path.c_str() + 2, O_RDONLY | O_NONBLOCK));
            platform::Entry entry;
            if (file.fd < 0 || !platform::entryOf(file.fd, "", entry) ||
                !readTreeFile(root_, path, bytes))
                fail(Status::CHANGED_WHILE_READ, "[%s] changed while being read.\n", shown.c_str());
            crc = crcBlock(bytes.data(), bytes.size(), crc);
            // Its new time is set in place, which only its owner may do; a file with other
            // names (outside the tree, maybe) is replaced by a copy instead, in a directory
            // that must then let this process do so.
            if (entry.links > 1) {
                state.refuseUnwritableDirectory(parentPath(path));
                stage.addRetimedCopy(i, file.fd, table.retimed.newTicks);
            } else if (!platform::mayChangeAttributes(file.fd)) {
                fail(Status::CANNOT_WRITE, "[%s] can not write.\n", shown.c_str());
            }
        }
        if (crc != table.retimed.contentCrc)
            fail(Status::SOURCE_CRC, "source file CRC is not match(broken?).\n");
        stage.addRetimed(retimed);
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
};

}  // namespace

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
    platform::Entry interrupted;
    if (options.checkOnly && platform::entryOf(files.directory, kJournalName, interrupted))
        fail(Status::BUSY, "[%s] holds an interrupted update; zep -R finishes it first.\n",
             printable(directory).c_str());
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
    failUnlessAllApplied(diffPath, options, counts);
}

}  // namespace zep
