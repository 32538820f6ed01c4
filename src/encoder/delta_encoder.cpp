// The encoder's main loop, copy runs, difference groups and the finishing sequence.
#include "encoder/delta_encoder.h"

#include "common/checksum.h"
#include "encoder/alignment_search.h"
#include "encoder/stream_sink.h"
#include "encoder/tuning.h"
#include "format/compact_stream.h"
#include "format/group_encoding.h"
#include "format/instruction_stream.h"
#include "format/record_header.h"

#include <algorithm>
#include <cstdio>

namespace zep {

namespace {

struct CopyRun {
    bool open = false;
    uint32_t length = 0;
};

// One input being consumed front to back. Consumed bytes are folded into the side's running
// checksum in large pieces rather than step by step: the value depends only on the bytes and
// their order, and every byte is consumed exactly once.
struct Side {
    const uint8_t* at;
    uint32_t remaining;
    const uint8_t* folded;  // bytes before this are in the checksum
    uint32_t* crc;          // nullptr where the run's checksums are not wanted

    void consume(uint32_t count)
    {
        at += count;
        remaining -= count;
        if (at - folded >= (1 << 16))
            fold();
    }
    void fold()
    {
        if (crc != nullptr)
            *crc = crcBlock(folded, static_cast<size_t>(at - folded), *crc);
        folded = at;
    }
};

using NearSearchOf = NearMatch (*)(const SearchLimits&, const uint8_t*, uint32_t, const uint8_t*,
                                   uint32_t);
using BlockSearchOf = BlockMatch (*)(const SearchLimits&, const uint8_t*, uint32_t, const uint8_t*,
                                     uint32_t);

template <StreamSink Sink> struct Encoder {
    Sink& sink;
    Side source;
    Side dest;
    const Tuning& tuning;
    Progress* progress;  // nullptr: a run nobody watches (a trial, a region of another record)
    NearSearchOf nearSearch;
    BlockSearchOf blockSearch;
    CopyRun copyRun = {};

    void addCopy(uint32_t count)
    {
        copyRun.length = copyRun.open ? copyRun.length + count : count;
        copyRun.open = true;
    }

    void flushCopy()
    {
        if (!copyRun.open)
            return;
        sink.token(copyRun.length, OP_COPY);
        copyRun.open = false;
    }

    void insert(uint32_t count)
    {
        sink.token(count, OP_INSERT);
        sink.data(dest.at, count);
        dest.consume(count);
    }

    void skip(uint32_t count)
    {
        sink.token(count, OP_SKIP);
        source.consume(count);
    }

    // Writes count paired positions as groups of 15: a poke for a group with exactly one
    // change, a difference block for any other group, a short last group included.
    void emitDifferences(uint32_t count)
    {
        for (uint32_t start = 0; start < count; start += kGroupWidth) {
            uint8_t group[kGroupRoom];
            const uint32_t size = encodeGroup(
                source.at + start, dest.at + start, std::min(kGroupWidth, count - start),
                std::min(source.remaining, dest.remaining) - start, group);
            sink.data(group, size);
        }
        source.consume(count);
        dest.consume(count);
    }

    uint32_t window(uint32_t limit) const
    {
        return std::min({limit, source.remaining, dest.remaining});
    }

    // Steps while both sides hold at least floor bytes, then writes out the copy run and passes
    // over what is left of either side.
    void run(bool fast, uint32_t floor)
    {
        while (source.remaining >= floor && dest.remaining >= floor) {
            if (fast && copyEqualStretch())
                continue;
            step();
        }
        flushCopy();
        if (source.remaining != 0)
            skip(source.remaining);
        if (dest.remaining != 0)
            insert(dest.remaining);
    }

    SearchLimits limits() const
    {
        return {tuning.searchRange, tuning.matchThreshold};
    }

    void step()
    {
        if (progress != nullptr)
            progress->show(source.remaining, dest.remaining);
        const NearMatch near =
            nearSearch(limits(), source.at, source.remaining, dest.at, dest.remaining);
        if (near.found) {
            if (near.destSkip > near.sourceSkip) {
                flushCopy();
                insert(near.destSkip);
            }
            if (near.sourceSkip > near.destSkip) {
                flushCopy();
                skip(near.sourceSkip);
            }
            const uint32_t length = window(blockSize);
            if (near.score == 100) {
                addCopy(length);
                source.consume(length);
                dest.consume(length);
            } else {
                flushCopy();
                emitDifferences(length);
            }
            return;
        }
        flushCopy();
        uint32_t length = window(5 * blockSize);
        if (tuning.deepSearch != 0) {
            const BlockMatch block =
                blockSearch(limits(), source.at, source.remaining, dest.at, dest.remaining);
            if (block.found) {
                if (block.destSteps > block.sourceSteps) {
                    insert(std::min(block.destSteps * blockSize, dest.remaining));
                    return;
                }
                if (block.sourceSteps > block.destSteps) {
                    skip(std::min(block.sourceSteps * blockSize, source.remaining));
                    return;
                }
                length = window(blockSize);
            }
        }
        emitDifferences(length);
    }

    // A window that is entirely equal is always copied without a skip, as long as either the
    // unshifted score can beat the threshold or the search tries shift 0. A run of such
    // windows is taken at once, with the progress line it would have printed step by step.
    bool copyEqualStretch()
    {
        if (tuning.matchThreshold >= 100 && tuning.searchRange < 1)
            return false;
        const uint32_t limit = window(UINT32_MAX);
        const uint32_t equal = fastEqualPrefix(source.at, dest.at, limit);
        uint32_t length = equal - equal % blockSize;
        if (equal == limit)
            length = equal;  // the last window may be short, and it is equal too
        if (length == 0)
            return false;
        const uint64_t steps = (length + blockSize - 1) / blockSize;
        if (progress != nullptr)
            progress->showSteps(source.remaining, dest.remaining, steps, uint64_t{2} * blockSize);
        addCopy(length);
        source.consume(length);
        dest.consume(length);
        return true;
    }
};

}  // namespace

void beginRecord(RecordOutput& output, RecordHeader& header)
{
    output.progress.start(uint64_t{header.field32(HEADER_SOURCE_SIZE)} +
                          header.field32(HEADER_DEST_SIZE));
    header.setField32(HEADER_STREAM_LENGTH, 0);
    output.out.reset();
    output.out.writeRaw(output.diff, header.bytes, header.length);
    // Stream bytes come a few at a time; their checksum is taken a buffer at a time, or for a
    // held stream all at once when it is complete.
    if (output.holdStream)
        output.heldStream.clear();
    else
        output.out.checksumOnFlush(&output.crcs.stream);
}

uint32_t completeRecord(RecordOutput& output, RecordHeader& header, const uint8_t* source)
{
    output.out.checksumOnFlush(nullptr);
    if (output.holdStream) {
        std::vector<uint8_t>& held = output.heldStream;
        output.crcs.stream = crcBlock(held.data(), held.size(), output.crcs.stream);
        const std::vector<uint8_t> stored =
            packStream(held.data(), held.size(), source, header.field32(HEADER_SOURCE_SIZE),
                       header.field32(HEADER_DEST_SIZE));
        std::vector<uint8_t>().swap(held);
        header.setField16(HEADER_FLAGS,
                          static_cast<uint16_t>(header.field16(HEADER_FLAGS) | FLAG_COMPACT));
        header.setField32(HEADER_STREAM_LENGTH, static_cast<uint32_t>(stored.size()));
        output.out.writeRaw(output.diff, stored.data(), static_cast<uint32_t>(stored.size()));
    }
    header.setField32(HEADER_SOURCE_CRC, output.crcs.source);
    header.setField32(HEADER_DEST_CRC, output.crcs.dest);
    header.setField32(HEADER_STREAM_CRC, output.crcs.stream);
    header.setField32(HEADER_CHECKSUM, header.checksum());
    output.out.flush(output.diff);
    const uint32_t streamLength = header.field32(HEADER_STREAM_LENGTH);
    seekCurrent(output.diff, -(int64_t{streamLength} + header.length));
    output.out.writeRaw(output.diff, header.bytes, header.length);
    output.out.flush(output.diff);
    return streamLength;
}

void writeStoredRecord(RecordOutput& output, RecordHeader& header, const uint8_t* source,
                       const uint8_t* dest, const std::vector<uint8_t>& stored,
                       const uint32_t* streamCrc)
{
    output.holdStream = false;  // the stream is made: it goes to the file as it is
    beginRecord(output, header);
    // The flush checksum that beginRecord set takes the stored bytes as they reach the file.
    if (streamCrc != nullptr)
        output.out.checksumOnFlush(nullptr);
    output.out.writeRaw(output.diff, stored.data(), static_cast<uint32_t>(stored.size()));
    if (streamCrc != nullptr)
        output.crcs.stream = *streamCrc;
    output.crcs.source = crcBlock(source, header.field32(HEADER_SOURCE_SIZE), output.crcs.source);
    output.crcs.dest = crcBlock(dest, header.field32(HEADER_DEST_SIZE), output.crcs.dest);
    header.setField16(HEADER_FLAGS,
                      static_cast<uint16_t>(header.field16(HEADER_FLAGS) | FLAG_COMPACT));
    header.setField32(HEADER_STREAM_LENGTH, static_cast<uint32_t>(stored.size()));
    completeRecord(output, header, source);
    endRecord(output);
}

void endRecord(RecordOutput& output)
{
    // "done." promises a record that survives a power loss.
    syncChecked(output.diff);
    output.progress.show(0, 0);
}

namespace {

// A region's stream into sink, with the default tuning whatever the options, reporting nothing
// and leaving the running checksums alone: they cover whole files, and the caller folds them in
// itself.
template <StreamSink Sink>
void encodeRegionInto(Sink& sink, const uint8_t* source, uint32_t sourceLength, const uint8_t* dest,
                      uint32_t destLength)
{
    static constexpr Tuning kDefaults{};
    Encoder<Sink> encoder{sink,
                          {source, sourceLength, source, nullptr},
                          {dest, destLength, dest, nullptr},
                          kDefaults,
                          nullptr,
                          fastAlignSearch,
                          fastDeepAlignSearch};
    // A difference group covers 15 positions unless a file ends; the region's ends are not
    // the files' ends, so every group must be whole: steps stop while a shift of the near
    // search and a 75-byte stretch still fit, and the rest is skipped and inserted.
    constexpr uint32_t kWholeGroupsFit = 128;
    encoder.run(true, kWholeGroupsFit);
}

// Written, but never shown: a region's counts are not the record's.
struct RegionSink {
    static constexpr bool kWrites = true;
    RecordWriter& writer;
    void token(uint32_t n, uint8_t op)
    {
        writeToken(writer, n, op);
    }
    void data(const uint8_t* bytes, uint32_t count)
    {
        writeStream(writer, bytes, count);
    }
};

}  // namespace

void encodeStream(RecordOutput& output, RecordHeader& header, const Tuning& tuning,
                  const uint8_t* source, const uint8_t* dest, EncoderSpeed speed)
{
    const bool fast = speed == EncoderSpeed::FAST;
    RecordWriter writer = recordWriter(output, header);
    WritingSink sink(writer, output.progress);
    Encoder<WritingSink> encoder{
        sink,
        {source, header.field32(HEADER_SOURCE_SIZE), source, &output.crcs.source},
        {dest, header.field32(HEADER_DEST_SIZE), dest, &output.crcs.dest},
        tuning,
        &output.progress,
        fast ? fastAlignSearch : alignSearch,
        fast ? fastDeepAlignSearch : deepAlignSearch};
    beginRecord(output, header);
    encoder.run(fast, 1);
    encoder.source.fold();
    encoder.dest.fold();
    completeRecord(output, header, source);
    endRecord(output);
}

void encodeRegion(RecordWriter& writer, const uint8_t* source, uint32_t sourceLength,
                  const uint8_t* dest, uint32_t destLength)
{
    RegionSink sink{writer};
    encodeRegionInto(sink, source, sourceLength, dest, destLength);
}

uint32_t measureRegion(const uint8_t* source, uint32_t sourceLength, const uint8_t* dest,
                       uint32_t destLength)
{
    CountingSink sink;
    encodeRegionInto(sink, source, sourceLength, dest, destLength);
    return static_cast<uint32_t>(sink.bytes());
}

uint32_t measureStream(const Tuning& tuning, const uint8_t* source, uint32_t sourceSize,
                       const uint8_t* dest, uint32_t destSize)
{
    CountingSink sink;
    Encoder<CountingSink> encoder{sink,
                                  {source, sourceSize, source, nullptr},
                                  {dest, destSize, dest, nullptr},
                                  tuning,
                                  nullptr,
                                  fastAlignSearch,
                                  fastDeepAlignSearch};
    encoder.run(true, 1);
    // What the header's 32-bit stream length would hold.
    return static_cast<uint32_t>(sink.bytes());
}

}  // namespace zep
