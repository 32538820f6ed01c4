// The 32768-byte write-behind buffer through which a run's file output passes. The file receives
// whole-buffer writes and one shorter write at the final flush; a checksum fed on the way sees
// every byte once, in file order. Every write is checked: a lost write is a failure.
#pragma once
#include "common/file_layer.h"

#include <cstdint>
#include <memory>

namespace zep {

constexpr uint32_t kOutputBufferSize = 32768;

class OutputBuffer {
  public:
    OutputBuffer();
    // Empties the buffer without writing anything, and stops any checksum on flush.
    void reset();
    // Writes the filled part of the buffer to the slot's file at its position, if there is any.
    void flush(FileSlot& file);  // Status::CANNOT_WRITE naming the slot's file
    // Appends count bytes, folding each into crc when one is given.
    void write(FileSlot& file, const uint8_t* data, uint32_t count, uint32_t* crc);
    // Bytes outside every checksum, such as the record header.
    void writeRaw(FileSlot& file, const uint8_t* data, uint32_t count)
    {
        write(file, data, count, nullptr);
    }
    // While set, every flush first folds the bytes it writes into *crc, so that a writer can
    // leave the checksum of a long run of small writes to one pass per buffer; writes that name
    // the same checksum leave it to the flush. Bytes buffered before the call are not included,
    // and a new call (nullptr stops it) first folds the bytes still buffered into the checksum
    // it replaces.
    void checksumOnFlush(uint32_t* crc);
    // Where a writer may put up to count bytes itself, or nullptr when the buffer has less room;
    // commit then takes the first bytes put there (at most count), outside every checksum but
    // the one on flush, and writes the buffer out when that fills it.
    uint8_t* room(uint32_t count);
    void commit(FileSlot& file, uint32_t count);
    // Bytes waiting in the buffer.
    uint32_t fill() const
    {
        return fill_;
    }
    // Bytes written out since the last reset: the length of a file that cannot tell it (a sink).
    uint64_t flushed() const
    {
        return flushed_;
    }

  private:
    void append(const uint8_t* data, uint32_t count, uint32_t* crc);

    std::unique_ptr<uint8_t[]> bytes_;  // 64-byte aligned within the allocation
    uint8_t* buffer_;
    uint32_t fill_ = 0;
    uint32_t* flushCrc_ = nullptr;
    uint32_t flushCrcFrom_ = 0;  // buffered bytes before this are not the flush checksum's
    uint64_t flushed_ = 0;
};

}  // namespace zep
