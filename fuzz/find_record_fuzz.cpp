// The record scan over arbitrary bytes, the way view and apply walk a file: find a record, step
// over its stream, look for the next. A found header is whole and its names end inside it.
#include "harness.h"

#include <cstring>

// The library's own units.
using namespace zep;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string file = makeScratchDirectory("find") + "/d.zep";
    writeWholeFile(file, data, size);
    RunFiles files;
    try {
        openForRead(file.c_str(), files.diff);
        uint32_t skipped = 0;
        uint64_t at = 0;
        RecordHeader header;
        while (findRecord(files.diff, skipped, header, at) == Found::RECORD) {
            const uint32_t length = header.length;
            const char* source = header.sourceName();
            const char* dest = header.destName();
            const auto* end = reinterpret_cast<const char*>(header.bytes) + length;
            if (length < kMinHeaderLength || length > kMaxHeaderLength || skipped % 128 != 0 ||
                source + std::strlen(source) >= end || dest + std::strlen(dest) >= end)
                std::abort();
            seekCurrent(files.diff, header.field32(HEADER_STREAM_LENGTH));
        }
    } catch (const Failure&) {
    }
    return 0;
}
