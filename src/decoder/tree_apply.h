// The apply command for whole trees: every tree of a difference file applied to the tree at a
// directory, each all or nothing (decoder/tree_moves.h).
#pragma once
#include "common/file_layer.h"
#include "common/report.h"
#include "decoder/apply_command.h"
#include "format/record_header.h"

#include <cstdint>
#include <string>

namespace zep {

// Applies the trees in file order; each counts as one record. The difference file must hold
// trees only, and every stored path must lead below the root through directories, never through
// a link: anything else is refused before the tree changes. An update that a stop interrupted
// after its journal is finished first.
void applyTrees(const Report& report, RunFiles& files, const char* diffPath,
                const std::string& directory, const ApplyOptions& options, ApplyCounts& counts);

// What the tree's table record at offset at of the open difference file lists, one line per
// path ("changed ./a/b\n"); "" for any other record. A table that cannot be read fails as an
// apply would.
std::string describeTreeTable(const Report& report, const FileSlot& diff,
                              const RecordHeader& header, uint64_t at);

}  // namespace zep
