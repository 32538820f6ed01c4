// The replay of a compact record of layout 3 (covers): literal bytes are written as they are,
// covered bytes as the source's at the cover's place plus their differences, through the target's
// output buffer, whose flushes feed the destination checksum.
#pragma once
#include "decoder/instruction_interpreter.h"
#include "format/cover_reader.h"
#include "format/record_header.h"

namespace zep {

// Replays the reader's records against the header's source size bytes of source into the
// target, a piece at a time; true when they filled the destination exactly and used every
// piece up. The destination checksum is left in the target's checksums.
bool replayCovers(ReplayTarget& to, const RecordHeader& header, const uint8_t* source,
                  CoverReader& reader);

}  // namespace zep
