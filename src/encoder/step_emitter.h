// Turns whole-file steps into instructions, into either kind of stream sink: the planner counts
// what a way of spending a gap would write, and the record is written by the same code, so the
// measured size is the written size.
#pragma once
#include "encoder/stream_sink.h"
#include "encoder/whole_file_plan.h"

#include <cstdint>
#include <vector>

namespace zep {

// Equal stretches on a diagonal become copy runs, merged across steps until something else is
// written; a 15-byte group with one changed byte becomes a poke, with more a difference block.
// A group instruction always covers 15 positions unless a file ends first, so a shorter changed
// group (never written by the planner) is spelled out as an insert and a skip.
template <StreamSink Sink> class StepEmitter {
  public:
    StepEmitter(Sink& sink, const uint8_t* source, uint32_t sourceSize, const uint8_t* dest,
                uint32_t destSize, uint32_t sourceAt, uint32_t destAt);

    // Counts a REGION step by its cost; writes it by running the default encoder over it.
    void run(const WholeFileStep& step);
    void skip(uint32_t count);
    void insert(uint32_t count);
    // Diagonal stretches that follow each other are replayed as one, so that their groups run
    // on across the joins.
    void diagonal(uint32_t length)
    {
        diagonal_ += length;
    }
    // Writes what is still held back: the diagonal not yet replayed and the copy run.
    void finish();

  private:
    void replayDiagonal();
    void advance(uint32_t count);
    void flushCopy();

    Sink& sink_;
    const uint8_t* source_;
    const uint8_t* dest_;
    uint32_t sourceSize_;
    uint32_t destSize_;
    uint32_t sourceAt_;
    uint32_t destAt_;
    uint32_t copy_ = 0;
    uint32_t diagonal_ = 0;  // not yet replayed
};

extern template class StepEmitter<CountingSink>;
extern template class StepEmitter<WritingSink>;

// The stream length of the steps, from the start of both files.
uint64_t measureSteps(const std::vector<WholeFileStep>& steps, const uint8_t* source,
                      uint32_t sourceSize, const uint8_t* dest, uint32_t destSize);
// The same stream written into the record, with the progress at every step.
void writeSteps(RecordWriter& writer, Progress& progress, const std::vector<WholeFileStep>& steps,
                const uint8_t* source, uint32_t sourceSize, const uint8_t* dest, uint32_t destSize);

}  // namespace zep
