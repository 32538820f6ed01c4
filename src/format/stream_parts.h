// An instruction stream taken apart and put back together, in two forms. The three parts: the
// control part (tokens and difference-block bitmaps, in stream order), the literal part (the
// bytes behind OP_INSERT tokens) and the delta part (the delta bytes of blocks and pokes); each
// part alone compresses far better than the stream that interleaves them. The destination form:
// the tokens with one marker per difference group, and the destination bytes of every insertion
// and group, which compress well against the source where the files are text.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zep {

struct StreamParts {
    std::vector<uint8_t> control;
    std::vector<uint8_t> literals;
    std::vector<uint8_t> deltas;

    size_t size() const
    {
        return control.size() + literals.size() + deltas.size();
    }
};

// Splits a whole stream as the encoders write it: no instruction runs past its end. A block
// owns one delta byte per set bitmap bit and an OP_INSERT token exactly its length in literals,
// whatever the files' sizes, so that splitting never needs them.
void splitStream(const uint8_t* stream, size_t length, StreamParts& parts);

// The source and the recorded sizes a stream is replayed against: the destination form keeps
// track of both files' positions as the interpreter does.
struct ReplaySides {
    const uint8_t* source;  // sourceSize bytes
    uint32_t sourceSize;
    uint32_t destSize;
};

struct DestinationForm {
    std::vector<uint8_t> control;  // tokens, and kGroupMarker for each block or poke
    std::vector<uint8_t> bytes;    // literal bytes, and each group's destination bytes
};
constexpr uint8_t kGroupMarker = 0x00;

// The destination form of a stream; false when the stream is not one an encoder wrote, so that
// the form would not give it back: a group whose bytes are not what encodeGroup writes for its
// positions, or an insertion beyond the destination's end.
bool toDestinationForm(const uint8_t* stream, size_t length, const ReplaySides& sides,
                       DestinationForm& form);
// The stream back from its destination form: each group is written by encodeGroup from the
// source and its destination bytes. False when the form does not make exactly one stream.
bool fromDestinationForm(const DestinationForm& form, const ReplaySides& sides,
                         std::vector<uint8_t>& stream);

}  // namespace zep
