// Packing a plain stream into its compact form through libzstd (layouts 1 and 2, both built),
// and the piece writing every layout shares: pieces compressed against the source where they can
// refer to it.
#include "format/compact_stream.h"

#include "format/stream_parts.h"
#include "format/zstd_support.h"

#include <algorithm>
#include <bit>
#include <memory>
#include <zstd.h>

namespace zep {

namespace {

// The level of a piece compressed against a source of prefixSize bytes. Before it can refer to
// the source, zstd indexes all of it, and at level 19 that costs more than everything else a
// create does, for a few percent of a small piece's size. Where the piece is large beside the
// source, the index is a small share of the work and level 19 gains most.
int referenceLevel(uint32_t prefixSize, size_t pieceSize)
{
    return pieceSize * 8 < prefixSize ? kQuickReferenceLevel : kCompactLevel;
}

}  // namespace

bool referencesSource(uint32_t sourceSize, size_t length)
{
    return sourceSize != 0 && length != 0 &&
           sourceSize + uint64_t{length} <= uint64_t{1} << kMaxCompactWindowLog;
}

std::vector<uint8_t> storePiece(ZSTD_CCtx* context, const std::vector<uint8_t>& bytes,
                                const uint8_t* prefix, uint32_t prefixSize, int level)
{
    if (bytes.empty())
        return {};
    checkedZstd(ZSTD_CCtx_reset(context, ZSTD_reset_session_and_parameters));
    if (prefix != nullptr) {
        level = std::min(level, referenceLevel(prefixSize, bytes.size()));
        const auto windowLog = static_cast<int>(std::bit_width(prefixSize + bytes.size() - 1));
        checkedZstd(ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, std::max(windowLog, 10)));
        checkedZstd(ZSTD_CCtx_refPrefix(context, prefix, prefixSize));
    }
    checkedZstd(ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, level));
    std::vector<uint8_t> frame(ZSTD_compressBound(bytes.size()));
    frame.resize(checkedZstd(
        ZSTD_compress2(context, frame.data(), frame.size(), bytes.data(), bytes.size())));
    return frame.size() < bytes.size() ? frame : bytes;
}

void putLength(std::vector<uint8_t>& out, size_t value)
{
    for (; value >= 0x80; value >>= 7)
        out.push_back(static_cast<uint8_t>(value | 0x80));
    out.push_back(static_cast<uint8_t>(value));
}

namespace {

// Tells the meter, where there is one, that percent of the packing is done.
void tell(const WorkMeter& meter, uint64_t percent)
{
    if (meter)
        meter(percent, 100);
}

// Three pieces, the literals against the source where they can refer to it. The literals,
// which index the source first, take most of the time.
std::vector<uint8_t> packThreeParts(ZSTD_CCtx* context, const StreamParts& parts,
                                    const uint8_t* source, uint32_t sourceSize, int level,
                                    const WorkMeter& meter = {})
{
    const bool reference = referencesSource(sourceSize, parts.literals.size());
    std::vector<uint8_t> pieces[3];
    pieces[0] = storePiece(context, parts.control, nullptr, 0, level);
    tell(meter, 15);
    pieces[1] =
        storePiece(context, parts.literals, reference ? source : nullptr, sourceSize, level);
    tell(meter, 85);
    pieces[2] = storePiece(context, parts.deltas, nullptr, 0, level);
    tell(meter, 100);
    std::vector<uint8_t> stored = {COMPACT_THREE_PARTS, reference ? COMPACT_REFERENCE : uint8_t{0}};
    const std::vector<uint8_t>* const plain[3] = {&parts.control, &parts.literals, &parts.deltas};
    for (int i = 0; i < 3; ++i) {
        putLength(stored, plain[i]->size());
        putLength(stored, pieces[i].size());
    }
    for (const std::vector<uint8_t>& piece : pieces)
        stored.insert(stored.end(), piece.begin(), piece.end());
    return stored;
}

// One piece: the control bytes followed by the destination bytes, against the source.
std::vector<uint8_t> packDestinationForm(ZSTD_CCtx* context, const DestinationForm& form,
                                         const uint8_t* source, uint32_t sourceSize, int level)
{
    std::vector<uint8_t> both = form.control;
    both.insert(both.end(), form.bytes.begin(), form.bytes.end());
    const bool reference = referencesSource(sourceSize, both.size());
    const std::vector<uint8_t> piece =
        storePiece(context, both, reference ? source : nullptr, sourceSize, level);
    std::vector<uint8_t> stored = {COMPACT_DESTINATION, reference ? COMPACT_REFERENCE : uint8_t{0}};
    putLength(stored, form.control.size());
    putLength(stored, form.bytes.size());
    putLength(stored, piece.size());
    stored.insert(stored.end(), piece.begin(), piece.end());
    return stored;
}

}  // namespace

std::vector<uint8_t> packStream(const uint8_t* stream, size_t length, const uint8_t* source,
                                uint32_t sourceSize, uint32_t destSize, const WorkMeter& meter)
{
    const std::unique_ptr<ZSTD_CCtx, FreeCCtx> context(ZSTD_createCCtx());
    if (context == nullptr)
        failSilently(Status::NO_MEMORY);
    StreamParts parts;
    splitStream(stream, length, parts);
    DestinationForm form;
    if (length > kDestinationFormLimit ||
        !toDestinationForm(stream, length, {source, sourceSize, destSize}, form))
        return packThreeParts(context.get(), parts, source, sourceSize, kCompactLevel, meter);
    // Both layouts compress bytes against the source, and each such piece indexes the whole
    // source first; a quick trial of both tells which is shorter, and only that one is then
    // compressed in earnest.
    const size_t destinationFormSize =
        packDestinationForm(context.get(), form, source, sourceSize, kTrialLevel).size();
    tell(meter, 20);
    const bool destinationForm =
        destinationFormSize <
        packThreeParts(context.get(), parts, source, sourceSize, kTrialLevel).size();
    tell(meter, 40);
    std::vector<uint8_t> stored =
        destinationForm
            ? packDestinationForm(context.get(), form, source, sourceSize, kCompactLevel)
            : packThreeParts(context.get(), parts, source, sourceSize, kCompactLevel);
    tell(meter, 100);
    return stored;
}

}  // namespace zep
