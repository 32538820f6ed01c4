// Splitting a stream into its control, literal and delta parts and joining them again. Both
// walk the same instructions by the same rule, so joining what a split made gives back the
// stream byte for byte.
#include "format/stream_parts.h"

#include "format/instruction_stream.h"

#include <bit>
#include <cassert>
#include <cstring>

namespace {

// Delta bytes behind a bitmap: one per set bit, bit 15 (the form bit) aside.
uint32_t deltaCount(uint8_t high, uint8_t low)
{
    return static_cast<uint32_t>(std::popcount(blockBitmap(high, low) & 0x7FFFu));
}

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

    bool take(size_t count, uint8_t*& out)
    {
        if (count > left)
            return false;
        std::memcpy(out, at, count);
        at += count;
        left -= count;
        out += count;
        return true;
    }
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
            const uint32_t deltas = deltaCount(stream[0], stream[1]);
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

bool joinStream(const StreamParts& parts, std::vector<uint8_t>& stream)
{
    stream.resize(parts.size());
    uint8_t* out = stream.data();
    PartReader control{parts.control.data(), parts.control.size()};
    PartReader literals{parts.literals.data(), parts.literals.size()};
    PartReader deltas{parts.deltas.data(), parts.deltas.size()};
    while (control.left != 0) {
        if (isDifferenceBlock(control.at[0])) {
            if (control.left < 2)
                return false;
            const uint32_t count = deltaCount(control.at[0], control.at[1]);
            if (!control.take(2, out) || !deltas.take(count, out))
                return false;
            continue;
        }
        Token token;
        if (!readToken(control.at, control.left, token))
            return false;
        control.take(token.size, out);
        const Operand operand = operandOf(token);
        if (!literals.take(operand.literals, out) || !deltas.take(operand.deltas, out))
            return false;
    }
    // Every byte of every part is placed exactly once: the stream is then full as well.
    return literals.left == 0 && deltas.left == 0;
}
