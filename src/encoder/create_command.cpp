// The create command: both inputs are mapped and measured before the difference file is
// opened, so a bad input never touches it; a failure or a stop after that cuts the file back.
#include "encoder/create_command.h"

#include "common/checksum.h"
#include "common/file_layer.h"
#include "common/printable.h"
#include "common/status.h"
#include "encoder/cover_search.h"
#include "encoder/delta_encoder.h"
#include "encoder/phased_progress.h"
#include "encoder/tuning.h"
#include "encoder/whole_file_encoder.h"
#include "format/append_point.h"
#include "format/compact_stream.h"
#include "format/file_names.h"
#include "format/record_header.h"

#include <cstdio>
#include <cstring>

namespace zep {

namespace {

// Destinations up to this size are written with -W -Z in whichever of two forms is smaller.
constexpr uint32_t kWholeFileTrialLimit = 1 << 20;
// The costs of the last phases of a -W -Z create for the progress line, in the units of those
// before them (nanoseconds on a machine of 2024): the whole-file plan a source byte, its
// packing a destination byte, the writing of the record four bytes of either file.
constexpr uint64_t kPlanCost = 20;
constexpr uint64_t kPlanPackCost = 8;

// Maps one input and records its size and last-write time (with milliseconds) in the header.
const uint8_t* mapInput(const char* path, FileSlot& slot, RecordHeader& header, uint32_t sizeField,
                        uint32_t timeField)
{
    openForRead(path, slot);
    // Sizes in a record are 32-bit; a larger input would be recorded wrongly. It is refused
    // before a mapping would read all of it.
    if (fileLength(slot) > UINT32_MAX)
        fail(Status::TOO_LARGE, "[%s] is too large.\n", printable(path).c_str());
    const uint8_t* view = mapOpenedFile(path, slot);
    // The size is the mapping's: the encoder reads that much, whatever the file does meanwhile.
    header.setField32(sizeField, static_cast<uint32_t>(slot.viewLength));
    formatTimeStamp(lastWriteTime(slot, true), header.bytes + timeField);
    return view;
}

}  // namespace

// With -W -Z a record of covers; a small destination, or one that the covers' record shows to be
// nearly the same as the source, is also planned as -W plans it, and that record written compact
// where it is smaller (the matches of its stream serve some short text
// files better than covers and literals). With -W alone the whole-file encoder's stream, unless
// the default encoder's would not be longer. Where that one is already at most 64 bytes and one
// per 4 KiB of the new file, there is too little to gain to index the source at all.
void encodeChosen(RecordOutput& output, RecordHeader& header, const Tuning& tuning,
                  const uint8_t* source, const uint8_t* dest)
{
    const uint32_t sourceSize = header.field32(HEADER_SOURCE_SIZE);
    const uint32_t destSize = header.field32(HEADER_DEST_SIZE);
    if (tuning.wholeFileSearch != 0 && tuning.compact != 0) {
        // The search and the packings take seconds on large files: the progress line follows
        // them, and the record's own frame ends it.
        PhasedProgress progress(output.progress);
        const uint64_t writeCost = (uint64_t{sourceSize} + destSize) / 4;
        const uint64_t planCost = kPlanCost * sourceSize;
        const uint64_t trialCost = planCost + kPlanPackCost * destSize;
        const std::vector<uint8_t> covers =
            packSmallestCovers(source, sourceSize, dest, destSize, &progress, writeCost, trialCost);
        // Where the versions are nearly the same, the plan is quick whatever their size; a
        // program's covers are smaller than any plan.
        const bool trial = (destSize <= kWholeFileTrialLimit || covers.size() < destSize / 256) &&
                           (covers[1] & COMPACT_CODE) == 0;
        if (trial && sourceSize != 0 && destSize != 0) {
            progress.begin(trialCost, writeCost);
            WholeFilePlan plan;
            uint32_t streamCrc = 0;
            if (planWholeFile(source, sourceSize, dest, destSize, plan,
                              progress.meter(0, planCost))) {
                // The packed plan is written as it is, not packed again.
                const std::vector<uint8_t> packed =
                    packWholeFile(output, header, plan, source, dest, &streamCrc,
                                  progress.meter(planCost, trialCost));
                if (packed.size() < covers.size()) {
                    progress.begin(writeCost, 0);
                    writeStoredRecord(output, header, source, dest, packed, &streamCrc);
                    return;
                }
            }
        }
        progress.begin(writeCost, 0);
        writeStoredRecord(output, header, source, dest, covers);
        return;
    }
    if (tuning.wholeFileSearch != 0) {
        const uint32_t specified = measureStream(tuning, source, sourceSize, dest, destSize);
        WholeFilePlan plan;
        if (specified > 64 + destSize / 4096 &&
            planWholeFile(source, sourceSize, dest, destSize, plan) &&
            plan.streamLength < specified) {
            writeWholeFileRecord(output, header, plan, source, dest);
            return;
        }
    }
    encodeStream(output, header, tuning, source, dest);
}

// Opens the difference file, locked against other creates, and makes sure that readers will
// reach the record appended to it: a record that a stopped create left unfinished at the end is
// cut off, and a file that readers would not read to its end is refused. Where the record goes
// is locked before anything there changes, so that a reader meeting it knows it is being
// written.
void openDifferenceFile(RunFiles& files, const Report& report, const char* diffPath, bool tree)
{
    openForAppend(files, diffPath, report);
    // Appending to an input would change what is being compared, and the input itself.
    if (sameFile(files.diff, files.source) || sameFile(files.diff, files.target))
        fail(Status::CANNOT_CREATE, "[%s] is also an input file.\n", printable(diffPath).c_str());
    uint64_t soundLength = 0;
    const uint64_t length = fileLength(files.diff);
    RecordKinds kinds;
    const AppendPoint point = checkAppendPoint(files.diff, soundLength, kinds);
    // Each apply refuses the other's records: a file holds single files or trees, never both.
    if (tree && kinds.files)
        fail(Status::NOT_APPENDABLE,
             "[%s] holds single files; a tree goes into a file of its own.\n",
             printable(diffPath).c_str());
    if (!tree && kinds.trees)
        fail(Status::NOT_APPENDABLE,
             "[%s] holds whole trees; a single file goes into a file of its own.\n",
             printable(diffPath).c_str());
    switch (point) {
    case AppendPoint::REACHABLE:
        lockAppendRange(files, length, report);
        break;
    case AppendPoint::UNFINISHED:
        lockAppendRange(files, soundLength, report);
        cutBackAppend(files, soundLength);
        report.line("[%s] unfinished record removed (%llu bytes).\n", printable(diffPath).c_str(),
                    static_cast<unsigned long long>(length - soundLength));
        break;
    case AppendPoint::UNREACHABLE:
        fail(Status::NOT_APPENDABLE, "[%s] is damaged at byte %llu; nothing appended.\n",
             printable(diffPath).c_str(), static_cast<unsigned long long>(soundLength));
    }
    seekEnd(files.diff, 0);
}

void createRecord(Report& report, RunFiles& files, const Tuning& tuning, const char* sourcePath,
                  const char* destPath, const char* diffPath)
{
    // The names the record stores must lead apply to these very files.
    for (const char* path : {sourcePath, destPath})
        if (isStoredOtherwise(path))
            fail(Status::UNSAFE_NAME, "[%s] unsafe file name.\n", printable(path).c_str());
    RecordHeader header =
        buildRecordHeader(baseName(sourcePath).c_str(), baseName(destPath).c_str());
    const uint8_t* source =
        mapInput(sourcePath, files.source, header, HEADER_SOURCE_SIZE, HEADER_SOURCE_TIME);
    const uint8_t* dest =
        mapInput(destPath, files.target, header, HEADER_DEST_SIZE, HEADER_DEST_TIME);
    openDifferenceFile(files, report, diffPath, false);

    if (std::strcmp(sourcePath, destPath) == 0)
        report.line("%s\n", printable(sourcePath).c_str());
    else
        report.line("%s > %s\n", printable(sourcePath).c_str(), printable(destPath).c_str());
    RecordOutput output(files.diff, report, tuning.compact != 0);
    encodeChosen(output, header, tuning, source, dest);

    // The record is complete and on disk: from here on nothing may take it back, and the lock
    // goes only with the close.
    commitAppend(files);
    closeChecked(diffPath, files.diff);
    unmapFile(sourcePath, files.source);
    unmapFile(destPath, files.target);
    report.lineAfterRun("\ndone.\n");
}

}  // namespace zep
