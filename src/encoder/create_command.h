// The create command: appends one difference record for source -> destination, storing both
// base names, with the encoder's tuning values as given. The files it opens are held in files,
// which the caller releases (cutting back a record left unfinished) however the create ends;
// its console lines and progress go to report.
#pragma once
#include "common/file_layer.h"
#include "common/report.h"
#include "encoder/delta_encoder.h"
#include "encoder/tuning.h"

namespace zep {

void createRecord(Report& report, RunFiles& files, const Tuning& tuning, const char* sourcePath,
                  const char* destPath, const char* diffPath);

// The record that the tuning asks for, header sizes and times set, written into the output.
void encodeChosen(RecordOutput& output, RecordHeader& header, const Tuning& tuning,
                  const uint8_t* source, const uint8_t* dest);
// Opens the difference file to append to, locked against other creates, with a record that a
// stopped create left unfinished cut off; a file that readers would not read to its end is
// refused, and so is one that holds the other kind of records (single files or trees).
// Positioned at its end.
void openDifferenceFile(RunFiles& files, const Report& report, const char* diffPath, bool tree);

}  // namespace zep
