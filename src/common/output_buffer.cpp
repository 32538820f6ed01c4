// The output buffer. Bytes move in bulk, but what reaches the file and the checksums is exactly
// what a byte-by-byte copy with a flush at every full buffer would give.
#include "common/output_buffer.h"

#include "common/checksum.h"
#include "common/printable.h"
#include "common/status.h"
#include "platform/platform.h"

#include <cstring>

namespace {

alignas(64) uint8_t outputBuffer[kOutputBufferSize];
uint32_t fillCount = 0;
uint32_t* flushCrc = nullptr;
uint32_t flushCrcFrom = 0;  // buffered bytes before this are not the flush checksum's

void appendBytes(const uint8_t* data, uint32_t count, uint32_t* crc)
{
    std::memcpy(outputBuffer + fillCount, data, count);
    // The checksum on flush takes these bytes from the buffer later.
    if (crc != nullptr && crc != flushCrc)
        *crc = crcBlock(data, count, *crc);
    fillCount += count;
}

}  // namespace

void resetOutput()
{
    fillCount = 0;
    flushCrc = nullptr;
    flushCrcFrom = 0;
}

void flushOutput(FileSlot& file)
{
    if (fillCount == 0)
        return;
    const uint32_t count = fillCount;
    fillCount = 0;
    if (flushCrc != nullptr)
        *flushCrc = crcBlock(outputBuffer + flushCrcFrom, count - flushCrcFrom, *flushCrc);
    flushCrcFrom = 0;
    if (!platform::writeFile(file.handle, outputBuffer, count))
        fail(Status::CANNOT_WRITE, "[%s] can not write.\n", printable(file.name).c_str());
}

void writeOutput(FileSlot& file, const uint8_t* data, uint32_t count, uint32_t* crc)
{
    while (uint64_t{fillCount} + count >= kOutputBufferSize) {
        const uint32_t room = kOutputBufferSize - fillCount;
        appendBytes(data, room, crc);
        data += room;
        count -= room;
        flushOutput(file);
    }
    if (count != 0)
        appendBytes(data, count, crc);
}

void writeDest(FileSlot& file, const uint8_t* data, uint32_t count)
{
    writeOutput(file, data, count, &destCrc);
}

void writeRaw(FileSlot& file, const uint8_t* data, uint32_t count)
{
    writeOutput(file, data, count, nullptr);
}

void checksumOnFlush(uint32_t* crc)
{
    if (flushCrc != nullptr)
        *flushCrc = crcBlock(outputBuffer + flushCrcFrom, fillCount - flushCrcFrom, *flushCrc);
    flushCrc = crc;
    flushCrcFrom = fillCount;
}

uint8_t* outputRoom(uint32_t count)
{
    return kOutputBufferSize - fillCount >= count ? outputBuffer + fillCount : nullptr;
}

void commitOutput(FileSlot& file, uint32_t count)
{
    fillCount += count;
    if (fillCount == kOutputBufferSize)
        flushOutput(file);
}

uint32_t outputFill()
{
    return fillCount;
}
