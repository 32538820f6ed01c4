// The create command: appends one difference record for source -> destination, storing both
// base names, with the encoder's tuning values as given.
#pragma once
#include "common/run.h"
#include "encoder/tuning.h"

namespace zep {

void createRecord(Run& run, const Tuning& tuning, const char* sourcePath, const char* destPath,
                  const char* diffPath);

}  // namespace zep
