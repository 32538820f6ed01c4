// The append point: the readers' walk over the difference file, mapped whole while it is
// checked. A record counts as reached only where apply, given the right source, gets past it: a
// broken record or names apply refuses would end its run, whatever follows.
#include "format/append_point.h"

#include "common/byte_order.h"
#include "common/checksum.h"
#include "format/compact_reader.h"
#include "format/compact_stream.h"
#include "format/file_names.h"
#include "format/record_header.h"
#include "format/tree_table.h"

#include <cstring>

namespace zep {

namespace {

// Names apply may use and a stream as it was written. A plain stream has its checksum, and so do
// the stored bytes of a compact record of layout 3; of layouts 1 and 2 only the layout can be
// checked here, as their checksum is the plain stream's, which only the record's source can
// rebuild.
bool recordReadable(const RecordHeader& header, const uint8_t* stream)
{
    // A tree's records name its root, "./", which only a tree's apply takes.
    const bool tree = treePart(header) != 0 &&
                      std::strcmp(header.sourceName(), kTreeRecordName) == 0 &&
                      std::strcmp(header.destName(), kTreeRecordName) == 0;
    if (!tree && (!isStorableName(header.sourceName()) || !isStorableName(header.destName())))
        return false;
    const uint32_t length = header.field32(HEADER_STREAM_LENGTH);
    const bool compact = (header.field16(HEADER_FLAGS) & FLAG_COMPACT) != 0;
    // Layout 3's checksum covers its stored bytes, as a plain stream's does.
    const bool storedChecksum = !compact || (length != 0 && stream[0] == COMPACT_COVERS);
    if (compact && !compactLayoutSound(header, stream, length))
        return false;
    return !storedChecksum ||
           crcBlock(stream, length, crcInit()) == header.field32(HEADER_STREAM_CRC);
}

// Whether a record may start at any byte of file from offset from on, not only at the readers'
// probe steps: the magic, and a header length within the limits. Whether that header reads as
// sound does not matter: a damaged record behind is still someone's data, and a stopped
// create's own bytes seldom hold even this much by chance (a concatenated difference file or the
// rest of an archive do).
bool recordStartsBehind(const uint8_t* file, uint64_t from, uint64_t length)
{
    for (uint64_t at = from + HEADER_MAGIC; at + 8 <= length;) {
        const void* hit = memmem(file + at, length - at, kMagic, sizeof kMagic);
        if (hit == nullptr)
            return false;
        const uint64_t magic = static_cast<uint64_t>(static_cast<const uint8_t*>(hit) - file);
        if (magic + 8 <= length) {
            const uint32_t headerLength = loadLe32(file + magic + 4);
            if (headerLength >= kMinHeaderLength && headerLength <= kMaxHeaderLength)
                return true;
        }
        at = magic + 1;
    }
    return false;
}

AppendPoint walkRecords(FileSlot& diff, const uint8_t* file, uint64_t length, uint64_t& soundLength,
                        RecordKinds& kinds)
{
    uint64_t start = 0;
    for (;;) {
        RecordHeader header;
        uint32_t skipped = 0;
        const ScanResult result = scanRecord(diff, skipped, header);
        if (result == ScanResult::END)
            break;
        const uint64_t at = start + skipped;
        soundLength = at;
        if (result == ScanResult::BROKEN) {
            // Readers stop at a record that a stopped create began. Cutting it off loses nothing
            // of theirs only where its own bytes are all that follow.
            const bool unfinished =
                header.bytes != nullptr &&
                headerShape(header.bytes, header.length) == HeaderShape::UNFINISHED &&
                !recordStartsBehind(file, at + header.length, length);
            return unfinished ? AppendPoint::UNFINISHED : AppendPoint::UNREACHABLE;
        }
        const uint32_t streamLength = header.field32(HEADER_STREAM_LENGTH);
        start = at + header.length + streamLength;
        if (start > length || !recordReadable(header, file + at + header.length))
            return AppendPoint::UNREACHABLE;
        (treePart(header) != 0 ? kinds.trees : kinds.files) = true;
        seekCurrent(diff, streamLength);
    }
    // A reader goes on from the end of the last record in probe steps, and looks at most 127
    // steps further; none of the steps before the new record may hold a magic.
    soundLength = start;
    const uint64_t gap = length - start;
    if (gap % kProbeStep != 0 || gap / kProbeStep >= kMaxProbes)
        return AppendPoint::UNREACHABLE;
    for (uint64_t at = start; at + kProbeLength <= length; at += kProbeStep)
        if (std::memcmp(file + at + HEADER_MAGIC, kMagic, sizeof kMagic) == 0)
            return AppendPoint::UNREACHABLE;
    return AppendPoint::REACHABLE;
}

}  // namespace

AppendPoint checkAppendPoint(FileSlot& diff, uint64_t& soundLength, RecordKinds& kinds)
{
    soundLength = 0;
    if (fileLength(diff) == 0)
        return AppendPoint::REACHABLE;
    const uint8_t* file = mapOpenedFile(diff.name.c_str(), diff);
    const AppendPoint point = walkRecords(diff, file, diff.viewLength, soundLength, kinds);
    dropMapping(diff);
    return point;
}

}  // namespace zep
