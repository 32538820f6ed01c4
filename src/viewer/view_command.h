// The view command: reports the records of a difference file one by one, reading headers only.
#pragma once
#include "common/file_layer.h"
#include "common/report.h"
#include "format/record_header.h"
#include "zep/zep.h"

#include <cstdint>
#include <functional>
#include <string>

namespace zep {

// Hands every record, in file order, to each until it returns nonzero; returns how many records
// it handed over. The difference file is opened in the slot diff, which the caller releases
// however the listing ends. A file without records gives the console line "[%s] is not zep
// file.\n".
// describe gives what a record of a whole tree changes, one line per path (its position in the
// file given), "" for other records.
using RecordDescription = std::function<std::string(const RecordHeader& header, uint64_t at)>;
uint32_t listRecords(const Report& report, FileSlot& diff, const char* diffPath,
                     int (*each)(void* context, const zep_record* record), void* context,
                     const RecordDescription& describe);

}  // namespace zep
