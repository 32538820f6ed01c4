// The whole-file encoder's stages in order: the source index, the matches found through it and
// their heaviest chain, the steps that spend the gaps, and the emitter that both measures the
// plan and writes it, so the measured size is the written size.
#include "encoder/whole_file_encoder.h"

#include "common/checksum.h"
#include "common/progress.h"
#include "common/report.h"
#include "encoder/delta_encoder.h"
#include "encoder/gap_planner.h"
#include "encoder/match_chain.h"
#include "encoder/source_index.h"
#include "encoder/step_emitter.h"
#include "format/compact_stream.h"
#include "format/record_header.h"

#include <new>

namespace zep {

namespace {

// The share of the planning each stage takes, in percent: the index takes most of it.
void tell(const WorkMeter& meter, uint64_t percent)
{
    if (meter)
        meter(percent, 100);
}

std::vector<Match> chainOfMatches(const uint8_t* source, uint32_t sourceSize, const uint8_t* dest,
                                  uint32_t destSize, const WorkMeter& meter)
{
    std::vector<Match> matches;
    {
        // The index goes before the chain is built, which needs memory of its own.
        const SourceIndex index(source, sourceSize);
        tell(meter, 85);
        matches = collectMatches(index, source, sourceSize, dest, destSize);
        tell(meter, 90);
    }
    return heaviestChain(matches, source, dest, destSize);
}

}  // namespace

bool planWholeFile(const uint8_t* source, uint32_t sourceSize, const uint8_t* dest,
                   uint32_t destSize, WholeFilePlan& plan, const WorkMeter& meter)
{
    plan = WholeFilePlan{};
    try {
        plan.steps = planSteps(chainOfMatches(source, sourceSize, dest, destSize, meter), source,
                               sourceSize, dest, destSize);
        tell(meter, 95);
    } catch (const std::bad_alloc&) {
        plan = WholeFilePlan{};
        return false;
    }
    plan.streamLength = measureSteps(plan.steps, source, sourceSize, dest, destSize);
    tell(meter, 100);
    return true;
}

void writeWholeFileRecord(RecordOutput& output, RecordHeader& header, const WholeFilePlan& plan,
                          const uint8_t* source, const uint8_t* dest)
{
    const uint32_t sourceSize = header.field32(HEADER_SOURCE_SIZE);
    const uint32_t destSize = header.field32(HEADER_DEST_SIZE);
    RecordWriter writer = recordWriter(output, header);
    beginRecord(output, header);
    writeSteps(writer, output.progress, plan.steps, source, sourceSize, dest, destSize);
    // Every byte of both files is passed over once, in order.
    output.crcs.source = crcBlock(source, sourceSize, output.crcs.source);
    output.crcs.dest = crcBlock(dest, destSize, output.crcs.dest);
    completeRecord(output, header, source);
    endRecord(output);
}

std::vector<uint8_t> packWholeFile(RecordOutput& output, RecordHeader& header,
                                   const WholeFilePlan& plan, const uint8_t* source,
                                   const uint8_t* dest, uint32_t* streamCrc, const WorkMeter& meter)
{
    const uint32_t sourceSize = header.field32(HEADER_SOURCE_SIZE);
    const uint32_t destSize = header.field32(HEADER_DEST_SIZE);
    // A held stream never reaches the writer's buffer or file, nor its checksum; only the
    // header's stream length counts it, and is put back.
    const uint32_t streamLength = header.field32(HEADER_STREAM_LENGTH);
    uint32_t unused = 0;
    std::vector<uint8_t> stream;
    RecordWriter writer{output.out, output.diff, header, unused, &stream};
    const Report quiet;
    Progress progress(quiet);
    writeSteps(writer, progress, plan.steps, source, sourceSize, dest, destSize);
    header.setField32(HEADER_STREAM_LENGTH, streamLength);
    if (streamCrc != nullptr)
        *streamCrc = crcBlock(stream.data(), stream.size(), crcInit());
    return packStream(stream.data(), stream.size(), source, sourceSize, destSize, meter);
}

}  // namespace zep
