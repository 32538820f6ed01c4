// The whole-file encoder (option /W): it indexes the whole source, finds matches for the
// destination anywhere ahead of the current source position, and writes the same instruction
// stream format as the specified encoder, so every reader applies its records unchanged.
// Between two matches it picks, by encoded size, how much of the gap to replay as differences
// against the source (copies, pokes, difference blocks) and how much to skip and insert.
#pragma once
#include "encoder/delta_encoder.h"
#include "encoder/whole_file_plan.h"
#include "format/record_header.h"

#include <cstdint>

namespace zep {

// Plans the stream for the pair (both sizes at least 1); false when there is no memory for the
// source index (at most 7 bytes per source byte), and the caller then uses the specified encoder.
// The meter hears how far the planning is.
bool planWholeFile(const uint8_t* source, uint32_t sourceSize, const uint8_t* dest,
                   uint32_t destSize, WholeFilePlan& plan, const WorkMeter& meter = {});

// Writes the header's record with the planned stream into the output's difference file,
// positioned where the record starts: provisional header, stream, completed header rewritten
// in place, with the progress as for the default encoder.
void writeWholeFileRecord(RecordOutput& output, RecordHeader& header, const WholeFilePlan& plan,
                          const uint8_t* source, const uint8_t* dest);
// The compact form that writeWholeFileRecord gives the plan for an output that holds its stream,
// made without writing anything or showing progress, for weighing it against another form.
// The header is as it was when it returns. Where streamCrc is given, it receives the checksum of
// the plain stream, which is what such a record's header holds. The meter hears how far the
// packing is.
std::vector<uint8_t> packWholeFile(RecordOutput& output, RecordHeader& header,
                                   const WholeFilePlan& plan, const uint8_t* source,
                                   const uint8_t* dest, uint32_t* streamCrc = nullptr,
                                   const WorkMeter& meter = {});

}  // namespace zep
