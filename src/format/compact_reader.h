// Reading a compact record: its layout is checked against the record's sizes before anything is
// allocated, then its plain stream is rebuilt a piece at a time as the interpreter asks for it.
// zstd frames are decoded as they are read, so that apply holds a window of each frame (at most
// its plain length) rather than the whole stream. docs/format.md has every byte.
#pragma once
#include "format/record_header.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace zep {

// Whether the stored bytes of a compact record are laid out as a writer lays them out: a known
// layout, lengths within what the header's sizes allow, and pieces that are exactly one zstd
// frame each of their recorded plain length. Says nothing of the plain stream itself, whose
// checksum can only be checked by rebuilding it, which needs the record's source.
bool compactLayoutSound(const RecordHeader& header, const uint8_t* stored, uint32_t storedLength);

// The plain stream of one compact record, rebuilt from its stored bytes and its source.
class CompactReader {
  public:
    // The header's record, to be read against the sourceLength bytes of source; the stored
    // bytes, the source and the header must outlive the reader.
    CompactReader(const RecordHeader& header, const uint8_t* source, uint32_t sourceLength);
    ~CompactReader();
    CompactReader(const CompactReader&) = delete;
    CompactReader& operator=(const CompactReader&) = delete;

    // Checks the storedLength bytes at stored and prepares to read them; false when they are
    // not a layout a writer stores for the record's sizes. No memory: Status::NO_MEMORY.
    bool open(const uint8_t* stored, uint32_t storedLength);
    // Writes the next bytes of the plain stream to out, at most room, and returns how many: as
    // many as fit, but never part of a token or of a block's bitmap, which wait for the next
    // read when the room runs out before them.
    size_t read(uint8_t* out, size_t room);
    // True once read gives nothing more: the stream is complete, or a piece turned out damaged.
    bool atEnd() const;
    // True when the stream ended with every piece used exactly, none of them damaged.
    bool complete() const;
    // Whether the stored bytes were compressed against the source, so that another source makes
    // the stream come out wrong however sound the record is.
    bool usesSource() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

enum class Unpacked {
    STREAM,        // stream holds the plain stream, and its checksum is the header's
    BROKEN,        // the stored bytes are damaged
    WRONG_SOURCE,  // the stream was stored against a source that is not the recorded one
};
// The whole plain stream of the header's record in memory, checked against the header's stream
// checksum: for tests and tools that look at a stream as a whole. Apply reads it a piece at a time.
Unpacked unpackStream(const RecordHeader& header, const uint8_t* stored, uint32_t storedLength,
                      const uint8_t* source, uint32_t sourceLength, std::vector<uint8_t>& stream);

}  // namespace zep
