// The step emitter, compiled here for both sinks.
#include "encoder/step_emitter.h"

#include "encoder/alignment_search.h"
#include "encoder/delta_encoder.h"
#include "format/group_encoding.h"
#include "format/instruction_stream.h"

#include <algorithm>

namespace zep {

template <StreamSink Sink>
StepEmitter<Sink>::StepEmitter(Sink& sink, const uint8_t* source, uint32_t sourceSize,
                               const uint8_t* dest, uint32_t destSize, uint32_t sourceAt,
                               uint32_t destAt)
    : sink_(sink), source_(source), dest_(dest), sourceSize_(sourceSize), destSize_(destSize),
      sourceAt_(sourceAt), destAt_(destAt)
{
}

template <StreamSink Sink> void StepEmitter<Sink>::run(const WholeFileStep& step)
{
    if constexpr (Sink::kWrites)
        sink_.progress().show(sourceSize_ - sourceAt_, destSize_ - destAt_);
    switch (step.kind) {
    case WholeFileStep::SKIP:
        skip(step.length);
        break;
    case WholeFileStep::INSERT:
        insert(step.length);
        break;
    case WholeFileStep::DIAGONAL:
        diagonal(step.length);
        break;
    case WholeFileStep::REGION:
        replayDiagonal();
        flushCopy();
        // The planner measured the region already; only writing it runs the encoder.
        if constexpr (Sink::kWrites)
            encodeRegion(sink_.writer(), source_ + step.sourceAt, step.length, dest_ + step.destAt,
                         step.destLength);
        else
            sink_.add(step.cost);
        sourceAt_ += step.length;
        destAt_ += step.destLength;
        break;
    }
}

template <StreamSink Sink> void StepEmitter<Sink>::skip(uint32_t count)
{
    if (count == 0)
        return;
    replayDiagonal();
    flushCopy();
    sink_.token(count, OP_SKIP);
    sourceAt_ += count;
}

template <StreamSink Sink> void StepEmitter<Sink>::insert(uint32_t count)
{
    if (count == 0)
        return;
    replayDiagonal();
    flushCopy();
    sink_.token(count, OP_INSERT);
    sink_.data(dest_ + destAt_, count);
    destAt_ += count;
}

template <StreamSink Sink> void StepEmitter<Sink>::finish()
{
    replayDiagonal();
    flushCopy();
}

template <StreamSink Sink> void StepEmitter<Sink>::replayDiagonal()
{
    uint32_t length = diagonal_;
    diagonal_ = 0;
    while (length != 0) {
        const uint8_t* s = source_ + sourceAt_;
        const uint8_t* d = dest_ + destAt_;
        // Whole equal groups at once.
        const uint32_t equal = fastEqualPrefix(s, d, length);
        if (equal >= 15 || equal == length) {
            const uint32_t groups = equal == length ? equal : equal - equal % 15;
            copy_ += groups;
            advance(groups);
            length -= groups;
            continue;
        }
        const uint32_t group = std::min(15u, length);
        const uint32_t readable = std::min(sourceSize_ - sourceAt_, destSize_ - destAt_);
        const uint32_t positions = std::min(15u, readable);
        if (group != positions) {
            insert(group);
            skip(group);
            length -= group;
            continue;
        }
        uint8_t bytes[kGroupRoom];
        const uint32_t size = encodeGroup(s, d, group, readable, bytes);
        flushCopy();
        sink_.data(bytes, size);
        advance(group);
        length -= group;
    }
}

template <StreamSink Sink> void StepEmitter<Sink>::advance(uint32_t count)
{
    sourceAt_ += count;
    destAt_ += count;
}

template <StreamSink Sink> void StepEmitter<Sink>::flushCopy()
{
    if (copy_ == 0)
        return;
    sink_.token(copy_, OP_COPY);
    copy_ = 0;
}

template class StepEmitter<CountingSink>;
template class StepEmitter<WritingSink>;

namespace {

template <StreamSink Sink>
void emitSteps(Sink& sink, const std::vector<WholeFileStep>& steps, const uint8_t* source,
               uint32_t sourceSize, const uint8_t* dest, uint32_t destSize)
{
    StepEmitter<Sink> emitter(sink, source, sourceSize, dest, destSize, 0, 0);
    for (const WholeFileStep& step : steps)
        emitter.run(step);
    emitter.finish();
}

}  // namespace

uint64_t measureSteps(const std::vector<WholeFileStep>& steps, const uint8_t* source,
                      uint32_t sourceSize, const uint8_t* dest, uint32_t destSize)
{
    CountingSink sink;
    emitSteps(sink, steps, source, sourceSize, dest, destSize);
    return sink.bytes();
}

void writeSteps(RecordWriter& writer, Progress& progress, const std::vector<WholeFileStep>& steps,
                const uint8_t* source, uint32_t sourceSize, const uint8_t* dest, uint32_t destSize)
{
    WritingSink sink(writer, progress);
    emitSteps(sink, steps, source, sourceSize, dest, destSize);
}

}  // namespace zep
