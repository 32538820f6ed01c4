// The apply command. Everything a stored name could do wrong is refused before the record
// touches the disk; after that the only files written are the temporary result, the numbered
// backups and the final name.
#include "decoder/apply_command.h"

#include "common/checksum.h"
#include "common/file_layer.h"
#include "common/printable.h"
#include "common/report.h"
#include "common/status.h"
#include "decoder/cover_replay.h"
#include "decoder/instruction_interpreter.h"
#include "decoder/record_replay.h"
#include "decoder/result_placement.h"
#include "decoder/written_versions.h"
#include "format/compact_reader.h"
#include "format/compact_stream.h"
#include "format/cover_reader.h"
#include "format/file_names.h"
#include "format/record_header.h"
#include "platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <string>
#include <vector>

namespace zep {

namespace {

void refuseUnsafeNames(const RecordHeader& header)
{
    const char* names[] = {header.sourceName(), header.destName()};
    for (const char* name : names)
        if (!isStorableName(name))
            fail(Status::UNSAFE_NAME, "[%s] unsafe file name.\n", printable(name).c_str());
}

// True when the file open in slot has length bytes whose checksum is crc. The file stays open;
// the mapping made for this is gone again when it returns.
bool holdsContent(const char* name, FileSlot& slot, uint32_t length, uint32_t crc)
{
    if (fileLength(slot) != length)
        return false;
    const uint8_t none = 0;
    if (length == 0)
        return crcBlock(&none, 0, crcInit()) == crc;
    const bool holds = crcBlock(mapOpenedFile(name, slot), length, crcInit()) == crc;
    dropMapping(slot);
    return holds;
}

// One apply of one difference file, record by record: its files, the output buffer, running
// checksums and progress of the record being replayed, and the counts the caller gets.
class ApplyRun {
  public:
    ApplyRun(const Report& runReport, RunFiles& runFiles, const ApplyOptions& options,
             ApplyCounts& counts, const uint8_t* mapping, const std::string& directory,
             const WrittenVersions& written)
        : files(runFiles), report(runReport), options_(options), counts_(counts), written_(written),
          target_(runFiles.target, runReport), mapping_(mapping),
          directory_(directory.empty() || directory.back() == '/' ? directory : directory + "/"),
          temporaryDirectory_(platform::temporaryDirectory())
    {
    }

    // Handles the record findRecord just loaded, skipped bytes behind the last one: applies it,
    // or, for a check, tells what an apply would do with it.
    void handleRecord(RecordHeader& header, uint32_t skipped)
    {
        const uint64_t recordOffset = mappedOffset_ + skipped;
        const uint64_t recordEnd =
            recordOffset + header.length + header.field32(HEADER_STREAM_LENGTH);
        if (!options_.checkOnly)
            applyRecord(header, recordOffset);
        else if (recordEnd > files.diff.viewLength)
            fail(Status::STREAM_BROKEN, ".zep broken.\n");  // ends the check: nothing follows
        else
            checkRecord(header, recordOffset);
        seekCurrent(files.diff, header.field32(HEADER_STREAM_LENGTH));
        mappedOffset_ = recordEnd;
        header.release();
    }

    // The difference file mapped anew, longer: the records read so far lie where they were.
    void remap(const uint8_t* mapping)
    {
        mapping_ = mapping;
    }

  private:
    // What the files make of a record whose names passed their checks.
    enum class Verdict { APPLY, UP_TO_DATE, TIME_DIFFERS };

    // Refuses a linked target, opens the source and decides. The time decides whether the
    // source is read at all; where it is not the recorded one, a target that already holds the
    // recorded destination (or one that a later record of this file writes under that name)
    // makes the record up to date, and with sourceByContent a source of the recorded size and
    // checksum is taken all the same. A check takes a name that an earlier record would have
    // written as that record's destination. The source stays open only for APPLY from disk.
    Verdict examineRecord(const RecordHeader& header, uint64_t recordOffset,
                          const std::string& sourceName, const std::string& targetName)
    {
        const std::string source = directory_ + sourceName;
        const std::string target = directory_ + targetName;
        refuseLinkedTarget(targetName, target);
        const auto expected = expected_.find(sourceName);
        uint64_t ticks = 0;
        if (expected != expected_.end()) {
            ticks = expected->second.ticks;
        } else {
            openForRead(files.directory, sourceName.c_str(), source.c_str(), files.source);
            platform::lastWriteTicks(files.source.handle, ticks);
        }
        if (isSourceTime(header, ticks))
            return Verdict::APPLY;
        Verdict verdict = Verdict::TIME_DIFFERS;
        if (holdsAnyOf(targetName, target, written_.from(targetName, recordOffset)))
            verdict = Verdict::UP_TO_DATE;
        else if (options_.sourceByContent && holdsSource(header, sourceName))
            return Verdict::APPLY;
        releaseSlot(files.source);
        if (verdict == Verdict::UP_TO_DATE) {
            report.line("[%s] is already up to date.\n", printable(targetName).c_str());
            report.recordEvent(ZEP_RECORD_UP_TO_DATE, sourceName, targetName);
            ++counts_.upToDate;
        } else {
            report.line("[%s] time comparison error.\n", printable(sourceName).c_str());
            report.recordEvent(ZEP_RECORD_SKIPPED_TIME, sourceName, targetName);
            ++counts_.skipped;
        }
        return verdict;
    }

    void applyRecord(const RecordHeader& header, uint64_t recordOffset)
    {
        refuseUnsafeNames(header);
        if (recordOffset + header.length + header.field32(HEADER_STREAM_LENGTH) >
            files.diff.viewLength)
            fail(Status::STREAM_BROKEN, ".zep broken.\n");
        // Stored names are plain names: in the directory they lead to its files. Messages show
        // them behind the directory as the caller named it.
        const std::string sourceName = header.sourceName();
        const std::string targetName = header.destName();
        const std::string source = directory_ + sourceName;
        const std::string target = directory_ + targetName;
        std::string temporary;
        DiscardedFile* const temporaryRecord = createTemporary(temporary);
        startRecord(sourceName, targetName);
        if (examineRecord(header, recordOffset, sourceName, targetName) != Verdict::APPLY) {
            removeDiscarded(temporaryRecord);
            return;
        }
        mapSource(source);
        const platform::FileAccess access = resultAccess(sourceName);

        openForWrite(temporary.c_str(), files.target);
        const bool streamComplete =
            replayRecord(target_, header, files.source, mapping_ + recordOffset + header.length);
        verifyChecksums(header, target_.crcs, streamComplete,
                        fileSize(files.target) == header.field32(HEADER_DEST_SIZE));
        // The result stays private (mode 0600) until it is in place; a result without its
        // recorded time would fail the time check of any record made from it.
        const uint64_t destTime = parseTimeStamp(header.bytes + HEADER_DEST_TIME);
        if (destTime != kInvalidTime && !platform::setLastWriteTicks(files.target.handle, destTime))
            fail(Status::CANNOT_WRITE, "[%s] can not write.\n", printable(temporary).c_str());
        keepOnFailure(temporaryRecord);
        closeChecked(temporary.c_str(), files.target);
        unmapFile(source.c_str(), files.source);

        placeResult(files, report, temporaryRecord, temporary, targetName, target, access);
        report.recordEvent(ZEP_RECORD_APPLIED, sourceName, targetName);
        ++counts_.applied;
    }

    // What applyRecord would do, told and counted, with nothing written: the same steps, the
    // result rebuilt into nothing and its three checksums compared. A failure that would end an
    // apply is this record's answer, and the check goes on with the next record, taking the
    // target as the record would leave it. Where the source is such a version, only what the
    // record holds is checked (its size, its checksum, a plain or covers stream's checksum).
    void checkRecord(const RecordHeader& header, uint64_t recordOffset)
    {
        const std::string sourceName = header.sourceName();
        const std::string targetName = header.destName();
        startRecord(sourceName, targetName);
        try {
            refuseUnsafeNames(header);
            if (examineRecord(header, recordOffset, sourceName, targetName) != Verdict::APPLY)
                return;
            refuseUnwritablePlaces();  // a record that needs no writing needs no place
            if (expected_.count(sourceName) != 0)
                checkExpectedSource(header, recordOffset, sourceName);
            else
                rebuildIntoNothing(header, recordOffset, directory_ + sourceName);
            // A directory under the target name would stop the result's final rename.
            platform::Entry entry;
            if (platform::entryOf(files.directory, targetName.c_str(), entry) && entry.directory)
                fail(Status::RENAME_FAILED, "Rename error temp file.\n");
            expected_[targetName] = destinationOf(header);
            report.line("[%s] would be updated.\n", printable(targetName).c_str());
            report.recordEvent(ZEP_RECORD_APPLIED, sourceName, targetName);
            ++counts_.applied;
        } catch (const Failure& failure) {
            releaseSlot(files.source);
            releaseSlot(files.target);
            report.line("%s", failure.message.c_str());
            report.recordEvent(ZEP_RECORD_FAILING, sourceName, targetName);
            ++counts_.failing;
        }
    }

    void startRecord(const std::string& sourceName, const std::string& targetName)
    {
        report.line("%s > %s\n", printable(sourceName).c_str(), printable(targetName).c_str());
        report.recordEvent(ZEP_RECORD_STARTED, sourceName, targetName);
        ++counts_.records;
    }

    // Maps the opened source whole, as the replay reads it.
    void mapSource(const std::string& source)
    {
        if (fileLength(files.source) > UINT32_MAX)
            fail(Status::TOO_LARGE, "[%s] is too large.\n", printable(source).c_str());
        mapOpenedFile(source.c_str(), files.source);
    }

    // The replay of applyRecord into nothing: what fails there fails here.
    void rebuildIntoNothing(const RecordHeader& header, uint64_t recordOffset,
                            const std::string& source)
    {
        mapSource(source);
        openNullSink(files.target);
        const bool streamComplete =
            replayRecord(target_, header, files.source, mapping_ + recordOffset + header.length);
        verifyChecksums(header, target_.crcs, streamComplete,
                        target_.out.flushed() == header.field32(HEADER_DEST_SIZE));
        closeNullSink(files.target);
        unmapFile(source.c_str(), files.source);
    }

    // A source that an earlier record would write is not on disk to replay against: its
    // version and the record's own stream checksum, where that covers the stored bytes, stand
    // in for the replay.
    void checkExpectedSource(const RecordHeader& header, uint64_t recordOffset,
                             const std::string& sourceName)
    {
        if (!holdsSource(header, sourceName))
            fail(Status::SOURCE_CRC, "source file CRC is not match(broken?).\n");
        const uint8_t* stream = mapping_ + recordOffset + header.length;
        const uint32_t length = header.field32(HEADER_STREAM_LENGTH);
        const bool compact = (header.field16(HEADER_FLAGS) & FLAG_COMPACT) != 0;
        if ((!compact || (length != 0 && stream[0] == COMPACT_COVERS)) &&
            crcBlock(stream, length, crcInit()) != header.field32(HEADER_STREAM_CRC))
            fail(Status::STREAM_BROKEN, ".zep broken.\n");
    }

    // The places an apply writes: the temporary directory, and the directory it works in.
    void refuseUnwritablePlaces() const
    {
        if (!platform::isWritableDirectory(AT_FDCWD, temporaryDirectory_.c_str()))
            fail(Status::CANNOT_CREATE, "[%s] can not create.\n",
                 printable(temporaryDirectory_).c_str());
        if (!platform::isWritableDirectory(files.directory, "."))
            fail(Status::RENAME_FAILED, "Rename error temp file.\n");
    }

    // True when the source, as the record finds it, has the recorded size and checksum.
    bool holdsSource(const RecordHeader& header, const std::string& sourceName)
    {
        const FileVersion recorded = {header.field32(HEADER_SOURCE_SIZE),
                                      header.field32(HEADER_SOURCE_CRC), 0};
        const auto expected = expected_.find(sourceName);
        if (expected != expected_.end())
            return expected->second.size == recorded.size && expected->second.crc == recorded.crc;
        const std::string source = directory_ + sourceName;
        return holdsContent(source.c_str(), files.source, recorded.size, recorded.crc);
    }

    // True when the target name leads to one of the versions (size and checksum): a regular
    // file on disk, read in the target slot, which is free until the result is written; or for
    // a check, the version an earlier record would leave there.
    bool holdsAnyOf(const std::string& targetName, const std::string& target,
                    const std::vector<FileVersion>& versions)
    {
        const auto expected = expected_.find(targetName);
        if (expected != expected_.end()) {
            const FileVersion& there = expected->second;
            return std::any_of(versions.begin(), versions.end(), [&](const FileVersion& version) {
                return version.size == there.size && version.crc == there.crc;
            });
        }
        // Only a regular file is opened: opening a FIFO would release a writer waiting on it.
        platform::Entry entry;
        if (!platform::entryOf(files.directory, targetName.c_str(), entry) || !entry.regular)
            return false;
        files.target.name = target;
        files.target.handle = platform::openReadOnlyAt(files.directory, targetName.c_str());
        if (files.target.handle < 0)
            return false;
        bool holds = false;
        for (const FileVersion& version : versions)
            if (!holds && fileLength(files.target) == version.size)
                holds = holdsContent(target.c_str(), files.target, version.size, version.crc);
        closeChecked(target.c_str(), files.target);
        return holds;
    }

    // The owner, group and mode bits the result takes from the old version just opened. Whoever
    // may write this directory chooses what its names lead to and what the record writes, so the
    // old version's rights go to the result only as far as they are this directory's own: a file
    // reached through a symbolic link lends it no owner, no group and no special bits, and
    // set-user-ID and set-group-ID stay only on a file of the directory's owner (root's program
    // in root's directory; not root's program linked into another user's directory).
    platform::FileAccess resultAccess(const std::string& sourceName) const
    {
        platform::FileAccess access;
        platform::accessOf(files.source.handle, access);
        // Looked at after the open: a name that still leads to the opened file without a link
        // is as good as one that did at the open.
        platform::Entry named;
        platform::FileIdentity opened;
        const bool direct =
            platform::entryOf(files.directory, sourceName.c_str(), named) && !named.symbolicLink &&
            platform::identityOf(files.source.handle, opened) && named.identity == opened;
        if (!direct) {
            const platform::FileAccess own = platform::privateAccess();
            return {own.owner, own.group, access.mode & 0777};
        }
        platform::FileAccess directory;
        if (!platform::accessOf(files.directory, directory) || directory.owner != access.owner)
            access.mode &= ~06000u;
        return access;
    }

    // A symbolic link under the target name would be replaced by the result while the file it
    // leads to kept the old version: the name leads elsewhere, as an unsafe name does.
    void refuseLinkedTarget(const std::string& targetName, const std::string& target)
    {
        platform::Entry entry;
        if (platform::entryOf(files.directory, targetName.c_str(), entry) && entry.symbolicLink)
            fail(Status::UNSAFE_NAME, "[%s] is a symbolic link; not replaced.\n",
                 printable(target).c_str());
    }

    // A new empty file in the temporary directory, removed again by any failure before the
    // result has passed its checks, and by a stop until the result is in place.
    DiscardedFile* createTemporary(std::string& name)
    {
        std::string prefix = temporaryDirectory_;
        if (prefix.back() != '/')
            prefix += '/';
        DiscardedFile* record = nullptr;
        const int handle = createDiscarded(files, AT_FDCWD, prefix + "tmp", record);
        if (handle < 0)
            fail(Status::CANNOT_CREATE, "[%s] can not create.\n",
                 printable(temporaryDirectory_).c_str());
        platform::closeFile(handle);
        name = record->name;
        return record;
    }

    RunFiles& files;
    const Report& report;
    const ApplyOptions& options_;
    ApplyCounts& counts_;
    const WrittenVersions& written_;
    // Checking: what the records checked so far would leave under their target names.
    std::map<std::string, FileVersion> expected_;
    ReplayTarget target_;
    const uint8_t* mapping_;       // the difference file, mapped whole
    const std::string directory_;  // "" or ending in '/'
    const std::string temporaryDirectory_;
    uint64_t mappedOffset_ = 0;  // the difference file's read position
};

}  // namespace

void applyDifferenceFile(const Report& report, RunFiles& files, const char* diffPath,
                         const std::string& directory, const ApplyOptions& options,
                         ApplyCounts& counts)
{
    // Opened once: every name of the run is taken in this very directory, even if its own name
    // is moved to another one meanwhile (a deploy that switches a link to the current tree).
    files.directory = platform::openDirectory(directory.c_str());
    if (files.directory < 0)
        fail(Status::CANNOT_OPEN, "[%s] not exist.\n",
             printable(directory.empty() ? "." : directory).c_str());
    openForRead(diffPath, files.diff);
    const uint8_t* mapping = mapOpenedFile(diffPath, files.diff);
    // The versions that the records write, read ahead: an apply meets a target that a later
    // record already brought further, as when the same file is applied twice.
    WrittenVersions written;
    written.collect(files.diff);
    // A tree's records name paths below a root; they are applied with -R, all or nothing.
    if (written.holdsTree())
        fail(Status::UNSAFE_NAME, "[%s] holds the records of a whole tree; apply it with -R.\n",
             printable(diffPath).c_str());
    ApplyRun applier(report, files, options, counts, mapping, directory, written);
    uint32_t skipped = 0;
    uint64_t at = 0;
    RecordHeader header;
    Found found = Found::END;
    // No lock is taken: a record that a create is writing now ends the run cleanly before it.
    while ((found = findRecord(files.diff, skipped, header, at)) == Found::RECORD) {
        const uint64_t end = at + header.length + header.field32(HEADER_STREAM_LENGTH);
        if (end > files.diff.viewLength) {
            if (recordBeingWritten(files.diff, at)) {
                found = Found::BEING_WRITTEN;
                break;
            }
            // A create completed the record after the file was mapped: it is read as it is now.
            // A record that the file still holds only part of is broken, as before.
            if (end <= fileLength(files.diff)) {
                dropMapping(files.diff);
                applier.remap(mapOpenedFile(diffPath, files.diff));
            }
        }
        applier.handleRecord(header, skipped);
    }
    unmapFile(diffPath, files.diff);
    if (found == Found::BEING_WRITTEN)
        report.line("[%s] has a record at byte %llu still being written; stopped before it.\n",
                    printable(diffPath).c_str(), static_cast<unsigned long long>(at));
    else if (counts.records == 0)
        report.line("[%s] is not zep file.\n", printable(diffPath).c_str());
    failUnlessAllApplied(diffPath, options, counts);
}

void failUnlessAllApplied(const char* diffPath, const ApplyOptions& options,
                          const ApplyCounts& counts)
{
    // Up to date counts as done: the files are the new versions either way.
    const uint32_t notApplied = counts.skipped + counts.failing;
    if (options.checkOnly && notApplied != 0)
        fail(Status::NOT_ALL_APPLIED, "[%s] %u of %u records would not be applied.\n",
             printable(diffPath).c_str(), notApplied, counts.records);
    if (options.strict && notApplied != 0)
        fail(Status::NOT_ALL_APPLIED, "[%s] %u of %u records skipped.\n",
             printable(diffPath).c_str(), notApplied, counts.records);
}

}  // namespace zep
