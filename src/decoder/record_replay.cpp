// One record's replay, whichever form its stream has (plain, compact, covers), and the
// comparison of the three checksums that decides whether its result is the recorded one.
#include "decoder/record_replay.h"

#include "common/status.h"
#include "decoder/cover_replay.h"
#include "format/compact_reader.h"
#include "format/compact_stream.h"
#include "format/cover_reader.h"

namespace zep {

namespace {

// Layout 3's stream checksum covers its stored bytes, so that damage shows before anything
// is decoded; its covers may read any byte of the source, which is checked whole first.
bool replayCoverLayout(ReplayTarget& to, const RecordHeader& header, const uint8_t* sourceView,
                       const uint8_t* stored, uint32_t storedLength)
{
    const uint32_t streamCrc = crcBlock(stored, storedLength, crcInit());
    if (streamCrc != header.field32(HEADER_STREAM_CRC))
        fail(Status::STREAM_BROKEN, ".zep broken.\n");
    const uint32_t sourceCrc = crcBlock(sourceView, header.field32(HEADER_SOURCE_SIZE), crcInit());
    if (sourceCrc != header.field32(HEADER_SOURCE_CRC))
        fail(Status::SOURCE_CRC, "source file CRC is not match(broken?).\n");
    CoverReader reader(header, sourceView);
    if (!reader.open(stored, storedLength))
        fail(Status::STREAM_BROKEN, ".zep broken.\n");
    const bool complete = replayCovers(to, header, sourceView, reader);
    to.crcs.stream = streamCrc;
    to.crcs.source = sourceCrc;
    return complete;
}

}  // namespace

bool replayRecord(ReplayTarget& to, const RecordHeader& header, const FileSlot& source,
                  const uint8_t* stream)
{
    const uint8_t* const sourceView = source.view;
    const uint32_t streamLength = header.field32(HEADER_STREAM_LENGTH);
    if ((header.field16(HEADER_FLAGS) & FLAG_COMPACT) == 0) {
        const uint8_t* streamEnd = nullptr;
        interpretStream(to, header, source, stream, streamLength, streamEnd);
        return streamEnd == stream + streamLength;
    }
    // What a compact record makes apply do is bounded by its sizes, so they are checked
    // first: a source of another size is the source checksum error it would become anyway.
    const uint32_t sourceLength = header.field32(HEADER_SOURCE_SIZE);
    if (source.viewLength != sourceLength)
        fail(Status::SOURCE_CRC, "source file CRC is not match(broken?).\n");
    if (streamLength != 0 && stream[0] == COMPACT_COVERS)
        return replayCoverLayout(to, header, sourceView, stream, streamLength);
    CompactReader reader(header, sourceView, sourceLength);
    if (!reader.open(stream, streamLength))
        fail(Status::STREAM_BROKEN, ".zep broken.\n");
    const bool complete = interpretCompact(to, header, source, reader);
    // Pieces stored against another source come out wrong however sound the record is;
    // that is the source's fault, as with a plain record whose copies read the wrong bytes.
    if ((!complete || to.crcs.stream != header.field32(HEADER_STREAM_CRC)) && reader.usesSource() &&
        crcBlock(sourceView, sourceLength, crcInit()) != header.field32(HEADER_SOURCE_CRC))
        fail(Status::SOURCE_CRC, "source file CRC is not match(broken?).\n");
    return complete;
}

void verifyChecksums(const RecordHeader& header, const RunningCrcs& crcs, bool streamComplete,
                     bool destComplete)
{
    if (!streamComplete || crcs.stream != header.field32(HEADER_STREAM_CRC))
        fail(Status::STREAM_BROKEN, ".zep broken.\n");
    if (crcs.source != header.field32(HEADER_SOURCE_CRC))
        fail(Status::SOURCE_CRC, "source file CRC is not match(broken?).\n");
    if (!destComplete || crcs.dest != header.field32(HEADER_DEST_CRC))
        fail(Status::DEST_CRC, "internal error out put CRC not match.\n");
}

}  // namespace zep
