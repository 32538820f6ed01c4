// The create command for whole trees: one table record and one contents record that turn the
// tree at oldDir into the tree at newDir, appended together or not at all.
#pragma once
#include "common/file_layer.h"
#include "common/report.h"
#include "encoder/tuning.h"

namespace zep {

void createTreeRecords(Report& report, RunFiles& files, const Tuning& tuning, const char* oldDir,
                       const char* newDir, const char* diffPath);

}  // namespace zep
