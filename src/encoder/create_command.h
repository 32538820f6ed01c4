// The create command: appends one difference record for source -> destination, storing both
// base names, with the encoder's tuning values as given. The files it opens are held in files,
// which the caller releases (cutting back a record left unfinished) however the create ends;
// its console lines and progress go to report.
#pragma once
#include "common/file_layer.h"
#include "common/report.h"
#include "encoder/tuning.h"

namespace zep {

void createRecord(Report& report, RunFiles& files, const Tuning& tuning, const char* sourcePath,
                  const char* destPath, const char* diffPath);

}  // namespace zep
