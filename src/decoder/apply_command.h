// The apply command: rebuilds the destination of every record in a difference file. Each record
// is applied completely or not at all: its result is built in a temporary file, moved into place
// only after all three checksums match, and no existing file is ever overwritten or deleted.
#pragma once

void applyDifferenceFile(const char* diffPath);

// Moves the file aside as name.000, .001, ... .999 in place of its extension, taking the first
// name that is free; false when all are taken or nothing could move it.
bool makeNumberedBackup(const char* name);
// Moves, or when moving fails copies and then deletes, existing to newName; never replaces a
// file that exists under newName. True when the file is now under newName.
bool moveOrCopy(const char* existing, const char* newName);
