// Putting a checked result in place, with a numbered backup of the file it replaces. The target
// name holds the old version or the new one at every moment, never neither.
#pragma once
#include "common/file_layer.h"
#include "common/report.h"
#include "platform/platform.h"

#include <string>

namespace zep {

// Puts the checked result, the temporary file recorded in temporaryRecord, under targetName in
// the run's directory (shown as target), with the owner, group and mode bits of access. It first
// goes beside the target under a hidden name, flushed to disk; then the file it replaces gets its
// numbered backup (a second name, so the target keeps its own), and one rename puts the result
// over the target name. Until then a failure or a stop leaves the target as it was, and after a
// failure the result is back in the temporary directory, still private.
void placeResult(RunFiles& files, const Report& report, DiscardedFile* temporaryRecord,
                 const std::string& temporary, const std::string& targetName,
                 const std::string& target, const platform::FileAccess& access);

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
