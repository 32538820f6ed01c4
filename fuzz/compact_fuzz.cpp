// Reading compact streams from arbitrary stored bytes and header fields: never a read outside
// the input, never an allocation beyond what the bytes could hold, a stream that unpacks is
// one whole stream with the recorded checksum, and the piecewise replay apply runs stays
// within the source and the stored bytes whatever the piece size; layout 3's records replay
// inside the source and the recorded destination size.
//
// Input: source size, destination size, stream checksum (4 bytes each), source length (2
// bytes), then the source and the stored stream.
#include "common/byte_order.h"
#include "common/checksum.h"
#include "decoder/cover_replay.h"
#include "decoder/instruction_interpreter.h"
#include "format/compact_reader.h"
#include "format/compact_stream.h"
#include "format/cover_reader.h"
#include "harness.h"

#include <memory>
#include <vector>

// The library's own units.
using namespace zep;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 14)
        return 0;
    const uint32_t sourceSize = loadLe32(data);
    const uint32_t destSize = loadLe32(data + 4);
    const uint32_t streamCrc = loadLe32(data + 8);
    const size_t sourceLength = std::min<size_t>(data[12] | (data[13] << 8), size - 14);
    // Exact-size copies: a read one byte past either end is an error under ASan.
    const std::unique_ptr<uint8_t[]> source(new uint8_t[sourceLength]);
    std::copy(data + 14, data + 14 + sourceLength, source.get());
    const size_t storedLength = size - 14 - sourceLength;
    const std::unique_ptr<uint8_t[]> stored(new uint8_t[storedLength]);
    std::copy(data + 14 + sourceLength, data + size, stored.get());

    RecordHeader header = buildRecordHeader("a", "b");
    header.setField32(HEADER_SOURCE_SIZE, sourceSize);
    header.setField32(HEADER_DEST_SIZE, destSize);
    header.setField32(HEADER_STREAM_CRC, streamCrc);
    header.setField32(HEADER_STREAM_LENGTH, static_cast<uint32_t>(storedLength));
    std::vector<uint8_t> stream;
    const Unpacked result = unpackStream(header, stored.get(), static_cast<uint32_t>(storedLength),
                                         source.get(), static_cast<uint32_t>(sourceLength), stream);
    if (result != Unpacked::STREAM && !stream.empty())
        std::abort();
    if (result == Unpacked::STREAM &&
        (stream.size() > uint64_t{sourceSize} + 3 * uint64_t{destSize} ||
         crcBlock(stream.data(), stream.size(), crcInit()) != streamCrc))
        std::abort();

    const Report quiet;
    RunFiles files;
    files.source.view = source.get();
    files.source.viewLength = sourceLength;
    openNullSink(files.target);
    ReplayTarget to(files.target, quiet);
    const RunningCrcs& crcs = to.crcs;
    // Layout 3 as apply reads it, once its source has the recorded size.
    if (storedLength != 0 && stored[0] == COMPACT_COVERS) {
        if (sourceLength == sourceSize) {
            CoverReader covers(header, source.get());
            if (covers.open(stored.get(), static_cast<uint32_t>(storedLength)))
                replayCovers(to, header, source.get(), covers);
        }
        files.source = FileSlot{};
        return 0;
    }
    // The replay apply runs: the stream rebuilt and replayed in pieces whose size the input
    // picks, never reading outside the source or the stored bytes.
    CompactReader reader(header, source.get(), static_cast<uint32_t>(sourceLength));
    if (!reader.open(stored.get(), static_cast<uint32_t>(storedLength))) {
        files.source = FileSlot{};
        return 0;
    }
    const size_t pieceSize = 32 + (streamCrc & 0x3FF);
    const bool complete = interpretCompact(to, header, files.source, reader, pieceSize);
    files.source = FileSlot{};  // the harness's memory, not a mapping to release
    // A stream that unpacks whole is replayed whole, with the same checksum, unless an
    // instruction in it moves neither file.
    if (complete && result == Unpacked::STREAM && crcs.stream != streamCrc)
        std::abort();
    return 0;
}
