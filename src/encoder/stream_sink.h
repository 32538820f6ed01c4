// Where an encoder puts its instruction stream: a counting sink sizes the stream and keeps
// nothing, a writing sink appends it to the record being written through writeToken and
// writeStream. Encoders take the sink as a template parameter, so that the size a trial run
// measures is, by construction, the size the same code then writes.
#pragma once
#include "common/progress.h"
#include "format/instruction_stream.h"

#include <concepts>
#include <cstdint>

namespace zep {

template <typename Sink>
concept StreamSink = requires(Sink& sink, uint32_t n, uint8_t op, const uint8_t* bytes)
{
    sink.token(n, op);
    sink.data(bytes, n);
    {
        Sink::kWrites
        } -> std::convertible_to<bool>;
};

class CountingSink {
  public:
    static constexpr bool kWrites = false;

    void token(uint32_t n, uint8_t)
    {
        bytes_ += tokenSize(n);
    }
    void data(const uint8_t*, uint32_t count)
    {
        bytes_ += count;
    }
    // Stream bytes measured before, by another counting run.
    void add(uint64_t count)
    {
        bytes_ += count;
    }
    uint64_t bytes() const
    {
        return bytes_;
    }

  private:
    uint64_t bytes_ = 0;
};

// Every byte goes into the record's stream length and stream checksum on its way out; the
// progress is the run's.
class WritingSink {
  public:
    static constexpr bool kWrites = true;

    WritingSink(RecordWriter& writer, Progress& progress) : writer_(writer), progress_(progress) {}
    void token(uint32_t n, uint8_t op)
    {
        writeToken(writer_, n, op);
    }
    void data(const uint8_t* bytes, uint32_t count)
    {
        writeStream(writer_, bytes, count);
    }
    RecordWriter& writer() const
    {
        return writer_;
    }
    Progress& progress() const
    {
        return progress_;
    }

  private:
    RecordWriter& writer_;
    Progress& progress_;
};

}  // namespace zep
