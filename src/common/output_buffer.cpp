// The output buffer. Bytes move in bulk, but what reaches the file and the checksums is exactly
// what a byte-by-byte copy with a flush at every full buffer would give.
#include "common/output_buffer.h"

#include "common/checksum.h"
#include "common/printable.h"
#include "common/status.h"
#include "platform/platform.h"

#include <cstring>

namespace zep {

OutputBuffer::OutputBuffer() : bytes_(new uint8_t[kOutputBufferSize + 64])
{
    // Aligned for the vector stores of the interpreter's fast paths.
    const auto address = reinterpret_cast<uintptr_t>(bytes_.get());
    buffer_ = bytes_.get() + ((64 - address % 64) % 64);
}

void OutputBuffer::append(const uint8_t* data, uint32_t count, uint32_t* crc)
{
    std::memcpy(buffer_ + fill_, data, count);
    // The checksum on flush takes these bytes from the buffer later.
    if (crc != nullptr && crc != flushCrc_)
        *crc = crcBlock(data, count, *crc);
    fill_ += count;
}

void OutputBuffer::reset()
{
    fill_ = 0;
    flushCrc_ = nullptr;
    flushCrcFrom_ = 0;
    flushed_ = 0;
}

void OutputBuffer::flush(FileSlot& file)
{
    if (fill_ == 0)
        return;
    const uint32_t count = fill_;
    fill_ = 0;
    if (flushCrc_ != nullptr)
        *flushCrc_ = crcBlock(buffer_ + flushCrcFrom_, count - flushCrcFrom_, *flushCrc_);
    flushCrcFrom_ = 0;
    if (!platform::writeFile(file.handle, buffer_, count))
        fail(Status::CANNOT_WRITE, "[%s] can not write.\n", printable(file.name).c_str());
    flushed_ += count;
}

void OutputBuffer::write(FileSlot& file, const uint8_t* data, uint32_t count, uint32_t* crc)
{
    while (uint64_t{fill_} + count >= kOutputBufferSize) {
        const uint32_t space = kOutputBufferSize - fill_;
        append(data, space, crc);
        data += space;
        count -= space;
        flush(file);
    }
    if (count != 0)
        append(data, count, crc);
}

void OutputBuffer::checksumOnFlush(uint32_t* crc)
{
    if (flushCrc_ != nullptr)
        *flushCrc_ = crcBlock(buffer_ + flushCrcFrom_, fill_ - flushCrcFrom_, *flushCrc_);
    flushCrc_ = crc;
    flushCrcFrom_ = fill_;
}

uint8_t* OutputBuffer::room(uint32_t count)
{
    return kOutputBufferSize - fill_ >= count ? buffer_ + fill_ : nullptr;
}

void OutputBuffer::commit(FileSlot& file, uint32_t count)
{
    fill_ += count;
    if (fill_ == kOutputBufferSize)
        flush(file);
}

}  // namespace zep
