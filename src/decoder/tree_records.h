// A tree's records in a difference file: read and paired, the table rebuilt from its record,
// and what a table lists, for the view.
#pragma once
#include "common/file_layer.h"
#include "common/report.h"
#include "format/record_header.h"
#include "format/tree_table.h"

#include <cstdint>
#include <string>
#include <vector>

namespace zep {

// A tree's two records as the difference file holds them.
struct TreeSet {
    RecordHeader table;
    uint64_t tableAt = 0;
    RecordHeader contents;
    uint64_t contentsAt = 0;
};

// Every record of the open difference file, paired into trees, up to a record that a create is
// still writing (said in a console line). A record of a single file, or a tree's record out of
// its pair, is refused before anything changes.
std::vector<TreeSet> readSets(const Report& report, RunFiles& files, const char* diffPath);
// Rebuilds a tree's table from its record, whose stream lies whole at stream.
TreeTable readTreeTable(const Report& report, const RecordHeader& header, const uint8_t* stream);

}  // namespace zep
