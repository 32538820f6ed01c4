// readToken on arbitrary bytes: it never reads past what it is given, and every value it
// decodes comes back unchanged through the writer's shortest form.
#include "format/instruction_stream.h"

#include <cstdlib>

// The library's own units.
using namespace zep;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0 || isDifferenceBlock(data[0]))
        return 0;
    Token token;
    if (!readToken(data, size, token))
        return 0;
    if (token.size > size || token.op > 3 ||
        (token.size != 1 && token.size != 2 && token.size != 3 && token.size != 5))
        std::abort();
    if (token.length == 0)
        return 0;  // only a five-byte form can say 0, and no writer does
    uint8_t bytes[kMaxTokenSize];
    const uint32_t written = encodeToken(token.length, token.op, bytes);
    Token again;
    if (!readToken(bytes, written, again) || again.length != token.length || again.op != token.op ||
        again.size != written)
        std::abort();
    // The short form alone can say 16, which the writer puts in two bytes.
    if (written > token.size && !(token.size == 1 && token.length == 16))
        std::abort();
    return 0;
}
