// The record scan over arbitrary bytes, the way view and apply walk a file: find a record, step
// over its stream, look for the next. A found header is whole and its names end inside it.
#include "harness.h"

#include <cstring>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    quietHarness();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string file = makeScratchDirectory("find") + "/d.zep";
    writeWholeFile(file, data, size);
    try {
        openForRead(file.c_str(), diffSlot);
        uint32_t skipped = 0;
        while (findRecord(diffSlot, skipped)) {
            const uint32_t length = currentHeader.length;
            const char* source = headerSourceName();
            const char* dest = headerDestName();
            const auto* end = reinterpret_cast<const char*>(currentHeader.bytes) + length;
            if (length < kMinHeaderLength || length > kMaxHeaderLength || skipped % 128 != 0 ||
                source + std::strlen(source) >= end || dest + std::strlen(dest) >= end)
                std::abort();
            seekCurrent(diffSlot, headerField32(HEADER_STREAM_LENGTH));
            releaseHeader();
        }
    } catch (const Failure&) {
    }
    releaseEverything();
    return 0;
}
