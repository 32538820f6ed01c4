// The apply command: rebuilds the destination of every record in a difference file. Each record
// is applied completely or not at all: its result is built in a temporary file and put in place
// only after all three checksums match; a file it replaces keeps a numbered backup name, and
// the target name holds the old version or the new one at every moment, never neither.
#pragma once
#include "common/run.h"

#include <string>

// Applies every record to the files in directory ("": the current one).
void applyDifferenceFile(Run& run, const char* diffPath, const std::string& directory = "");

// Gives the file a second name, name.000, .001, ... .999 in place of its extension, taking the
// first name that is free; the file keeps its own name too. Where the file system has no
// second names, the backup is a complete copy. False when no backup could be made; made, when
// given, receives the backup's name.
bool makeNumberedBackup(const char* name, std::string* made = nullptr);
