// The apply command: rebuilds the destination of every record in a difference file. Each record
// is applied completely or not at all: its result is built in a temporary file and put in place
// only after all three checksums match; a file it replaces keeps a numbered backup name, and
// the target name holds the old version or the new one at every moment, never neither.
#pragma once
#include "common/file_layer.h"
#include "common/report.h"

#include <cstdint>
#include <string>

namespace zep {

// What an apply did with the records it reached, counted as it goes.
struct ApplyCounts {
    uint32_t records = 0;  // started
    uint32_t applied = 0;
    uint32_t skipped = 0;  // the old version's time was not the recorded one
};

// Applies every record to the files in directory ("": the current one), which is opened once
// when the run starts (status 1 when it cannot be). The files it opens are held in files, which
// the caller releases however the apply ends; counts tell how far it got, also when it fails.
void applyDifferenceFile(const Report& report, RunFiles& files, const char* diffPath,
                         const std::string& directory, ApplyCounts& counts);

// Gives the file in the directory a second name, name.000, .001, ... .999 in place of its
// extension, taking the first name that is free; the file keeps its own name too. Where the
// file system has no second names, the backup is a complete copy (copyNoReplace). Returns the
// backup's record, which holds its name: a temporary file of the run (removed by a failure or a
// stop) until the caller forgets it; nullptr when no backup could be made.
DiscardedFile* makeNumberedBackup(RunFiles& files, int directory, const char* name);
// Copies the file from to the name to, which must be free, in the directory, keeping owner,
// group, mode bits and last-write time. The copy is built under a hidden name, a temporary file
// of the run, and flushed to disk before it takes the name to, so that name never holds a
// partial file, not even after a crash. With named, to stays recorded as a temporary file of
// the run, its record there, until the caller forgets it.
bool copyNoReplace(RunFiles& files, int directory, const char* from, const char* to,
                   DiscardedFile** named = nullptr);

}  // namespace zep
