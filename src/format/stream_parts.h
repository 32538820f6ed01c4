// An instruction stream taken apart into its three kinds of bytes and put back together: the
// control part (tokens and difference-block bitmaps, in stream order), the literal part (the
// bytes behind OP_INSERT tokens) and the delta part (the delta bytes of blocks and pokes). Each
// part alone compresses far better than the stream that interleaves them.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

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

// The stream that splitStream took apart, into stream (parts.size() bytes). False when the parts
// do not make exactly one stream: an instruction runs past the end of a part, or a part has
// bytes left over. Reads nothing outside the parts.
bool joinStream(const StreamParts& parts, std::vector<uint8_t>& stream);
