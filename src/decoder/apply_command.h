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

// How an apply treats the records.
struct ApplyOptions {
    bool sourceByContent = false;  // a source whose time differs is taken when its content is right
    bool checkOnly = false;        // tell what an apply would do, writing nothing
    bool strict = false;           // a record skipped ends the run with NOT_ALL_APPLIED
};

// What an apply did with the records it reached (or, checking, would do), counted as it goes.
struct ApplyCounts {
    uint32_t records = 0;  // started
    uint32_t applied = 0;
    uint32_t upToDate = 0;  // the target already held the new version
    uint32_t skipped = 0;   // the old version's time was not the recorded one
    uint32_t failing = 0;   // checking: an apply would fail on it
};

// Applies every record to the files in directory ("": the current one), which is opened once
// when the run starts (status 1 when it cannot be). The files it opens are held in files, which
// the caller releases however the apply ends; counts tell how far it got, also when it fails.
// A check or a strict apply that did not apply every record that was not up to date ends with
// NOT_ALL_APPLIED once every record was handled.
void applyDifferenceFile(const Report& report, RunFiles& files, const char* diffPath,
                         const std::string& directory, const ApplyOptions& options,
                         ApplyCounts& counts);

// Ends a check or a strict apply that did not apply every record that was not up to date with
// NOT_ALL_APPLIED, as applyDifferenceFile does; up to date counts as done.
void failUnlessAllApplied(const char* diffPath, const ApplyOptions& options,
                          const ApplyCounts& counts);

}  // namespace zep
