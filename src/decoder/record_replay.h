// One record's replay into a target and the checks of its result, for an apply and for a check
// that rebuilds into nothing.
#pragma once
#include "common/checksum.h"
#include "common/file_layer.h"
#include "decoder/instruction_interpreter.h"
#include "format/record_header.h"

#include <cstdint>

namespace zep {

// Replays the record of the header, whose recorded stream lies whole at stream, against the
// mapped source into the target; true when the whole recorded stream was used. A compact
// record's stream is rebuilt a piece at a time as the replay goes, and then checked exactly as
// a plain record's. Failures that show before the end are raised here (a compact record's
// source of another size, damaged pieces, a covers stream whose checksum fails).
bool replayRecord(ReplayTarget& to, const RecordHeader& header, const FileSlot& source,
                  const uint8_t* stream);

// The first mismatch decides. A replay that ended before the recorded end of its stream counts
// as a broken stream whatever its checksum says, and a result of another length than the
// recorded destination size as a wrong result whatever its checksum says.
void verifyChecksums(const RecordHeader& header, const RunningCrcs& crcs, bool streamComplete,
                     bool destComplete);

}  // namespace zep
