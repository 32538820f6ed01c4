// Splitting a stream into its control, literal and delta parts (a compact record's reader joins
// them again as it reads), and the destination form both ways. Both directions of the form walk
// the same instructions by the same rule, so that it gives back the stream byte for byte.
#include "format/stream_parts.h"

#include "format/group_encoding.h"
#include "format/instruction_stream.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstring>

namespace zep {

namespace {

// Operand bytes behind a token and the part they belong to.
struct Operand {
    uint32_t literals = 0;
    uint32_t deltas = 0;
};

Operand operandOf(const Token& token)
{
    if (token.op == OP_INSERT)
        return {token.length, 0};
    if (token.op == OP_POKE)
        return {0, 1};
    return {};
}

// A read position in one part that never passes its end.
struct PartReader {
    const uint8_t* at;
    size_t left;
};

}  // namespace

void splitStream(const uint8_t* stream, size_t length, StreamParts& parts)
{
    parts = StreamParts{};
    const uint8_t* const end = stream + length;
    while (stream != end) {
        const auto left = static_cast<size_t>(end - stream);
        if (isDifferenceBlock(stream[0])) {
            assert(left >= 2);
            const uint32_t deltas = blockDeltaBytes(stream[0], stream[1]);
            assert(left >= 2 + size_t{deltas});
            parts.control.insert(parts.control.end(), stream, stream + 2);
            parts.deltas.insert(parts.deltas.end(), stream + 2, stream + 2 + deltas);
            stream += 2 + deltas;
            continue;
        }
        Token token;
        [[maybe_unused]] const bool whole = readToken(stream, left, token);
        assert(whole);
        parts.control.insert(parts.control.end(), stream, stream + token.size);
        stream += token.size;
        const Operand operand = operandOf(token);
        assert(static_cast<size_t>(end - stream) >= size_t{operand.literals} + operand.deltas);
        parts.literals.insert(parts.literals.end(), stream, stream + operand.literals);
        parts.deltas.insert(parts.deltas.end(), stream, stream + operand.deltas);
        stream += operand.literals + operand.deltas;
    }
}

namespace {

// Both files' positions as the interpreter keeps them while it replays a stream.
struct Sides {
    const uint8_t* source;
    uint32_t sourceAt = 0;
    uint32_t sourceRemaining;
    uint32_t destRemaining;

    explicit Sides(const ReplaySides& sides)
        : source(sides.source), sourceRemaining(sides.sourceSize), destRemaining(sides.destSize)
    {
    }
    uint32_t groupWidth() const
    {
        return std::min({kGroupWidth, sourceRemaining, destRemaining});
    }
    void pass(uint32_t sourceCount, uint32_t destCount)
    {
        sourceAt += sourceCount;
        sourceRemaining -= sourceCount;
        destRemaining -= destCount;
    }
    // A copy or skip token's effect; false for any other token.
    bool passToken(const Token& token)
    {
        if (token.op == OP_COPY) {
            const uint32_t count = std::min({token.length, sourceRemaining, destRemaining});
            pass(count, count);
            return true;
        }
        if (token.op == OP_SKIP) {
            pass(std::min(token.length, sourceRemaining), 0);
            return true;
        }
        return false;
    }
};

}  // namespace

bool toDestinationForm(const uint8_t* stream, size_t length, const ReplaySides& replay,
                       DestinationForm& form)
{
    form = DestinationForm{};
    Sides sides(replay);
    const uint8_t* const end = stream + length;
    while (stream != end) {
        const auto left = static_cast<size_t>(end - stream);
        Token token;
        uint32_t size = 0;
        uint8_t dest[kGroupWidth];
        const uint32_t width = sides.groupWidth();
        const uint8_t* source = sides.source + sides.sourceAt;
        std::copy(source, source + width, dest);
        if (isDifferenceBlock(stream[0])) {
            if (left < 2)
                return false;
            const uint16_t bitmap = blockBitmap(stream[0], stream[1]);
            size = 2 + blockDeltaBytes(stream[0], stream[1]);
            if (left < size)
                return false;
            const uint8_t* delta = stream + 2;
            for (uint32_t k = 0; k < width; ++k)
                if ((bitmap >> k) & 1)
                    dest[k] = static_cast<uint8_t>(dest[k] + *delta++);
        } else {
            if (!readToken(stream, left, token))
                return false;
            size = token.size;
            if (token.op == OP_INSERT) {
                if (token.length > sides.destRemaining || left - size < token.length)
                    return false;
                form.control.insert(form.control.end(), stream, stream + size);
                form.bytes.insert(form.bytes.end(), stream + size, stream + size + token.length);
                sides.pass(0, token.length);
                stream += size + token.length;
                continue;
            }
            if (sides.passToken(token)) {
                form.control.insert(form.control.end(), stream, stream + size);
                stream += size;
                continue;
            }
            if (left < size + 1 || token.length < 1 || token.length > width)
                return false;
            dest[token.length - 1] = static_cast<uint8_t>(dest[token.length - 1] + stream[size]);
            size += 1;
        }
        // The group must be exactly what the encoders write for these bytes.
        uint8_t group[kGroupRoom];
        if (width == 0 || encodeGroup(source, dest, width, width, group) != size ||
            !std::equal(group, group + size, stream))
            return false;
        form.control.push_back(kGroupMarker);
        form.bytes.insert(form.bytes.end(), dest, dest + width);
        sides.pass(width, width);
        stream += size;
    }
    return true;
}

bool fromDestinationForm(const DestinationForm& form, const ReplaySides& replay,
                         std::vector<uint8_t>& stream)
{
    stream.clear();
    Sides sides(replay);
    PartReader control{form.control.data(), form.control.size()};
    PartReader bytes{form.bytes.data(), form.bytes.size()};
    while (control.left != 0) {
        if (control.at[0] == kGroupMarker) {
            const uint32_t width = sides.groupWidth();
            if (width == 0 || bytes.left < width)
                return false;
            uint8_t group[kGroupRoom];
            const uint32_t size =
                encodeGroup(sides.source + sides.sourceAt, bytes.at, width, width, group);
            stream.insert(stream.end(), group, group + size);
            sides.pass(width, width);
            ++control.at;
            --control.left;
            bytes.at += width;
            bytes.left -= width;
            continue;
        }
        Token token;
        if (isDifferenceBlock(control.at[0]) || !readToken(control.at, control.left, token))
            return false;
        stream.insert(stream.end(), control.at, control.at + token.size);
        control.at += token.size;
        control.left -= token.size;
        if (token.op == OP_INSERT) {
            if (token.length > sides.destRemaining || token.length > bytes.left)
                return false;
            stream.insert(stream.end(), bytes.at, bytes.at + token.length);
            bytes.at += token.length;
            bytes.left -= token.length;
            sides.pass(0, token.length);
        } else if (!sides.passToken(token)) {
            return false;  // a poke is always a group here
        }
    }
    return bytes.left == 0;
}

}  // namespace zep
