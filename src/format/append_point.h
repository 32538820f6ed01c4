// Where a create may append to a difference file so that apply and view will reach its record:
// the walk readers make from the start of the file, each record checked as apply will read it,
// and what a stopped create left at the end.
#pragma once
#include "common/file_layer.h"

#include <cstdint>

namespace zep {

// REACHABLE: readers would reach a record appended at the end of the file. UNFINISHED: the file
// ends in the unfinished record of a stopped create, at soundLength, and nothing but its own
// bytes follow it: a record written in its place is reached. UNREACHABLE: readers stop at
// soundLength (a damaged record, other data, an unfinished record with more behind it).
// soundLength is always where the records that readers reach end. The file is read from the
// slot's position, which must be its start; it is mapped while it is checked.
enum class AppendPoint { REACHABLE, UNFINISHED, UNREACHABLE };
// Which records the file holds: those of single files, those of whole trees. The two never
// share a file, as each apply refuses the other's records.
struct RecordKinds {
    bool files = false;
    bool trees = false;
};
AppendPoint checkAppendPoint(FileSlot& diff, uint64_t& soundLength, RecordKinds& kinds);

}  // namespace zep
