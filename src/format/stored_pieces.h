// The pieces of a compact stream, shared by every layout: their LEB128 lengths, the checks that a
// stored frame is one a writer makes, and reading a piece as zstd's streaming decoder gives it,
// so that no piece is ever whole in memory.
#pragma once
#include "format/zstd_support.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace zep {

// A zstd block gives at most 128 KiB and takes at least 4 stored bytes.
constexpr uint64_t kMostPlainPerStoredByte = uint64_t{128} * 1024 / 4;
// Decoded bytes of a frame waiting to be read, per piece.
constexpr size_t kPieceBuffer = size_t{64} * 1024;

// Reads the stored stream front to back, never past its end.
struct StoredReader {
    const uint8_t* at;
    size_t left;

    // A LEB128 length of at most 32 bits.
    bool length(uint32_t& value);
};

// One piece: stored as it is where stored equals plain, else one zstd frame.
struct StoredPiece {
    uint32_t plain = 0;
    uint32_t stored = 0;
    bool reference = false;  // compressed with the source as zstd's prefix
    const uint8_t* bytes = nullptr;

    bool isFrame() const
    {
        return stored != plain;
    }
};

// Places the pieces, whose lengths are read already, one behind the other in the reader's bytes,
// which they must fill exactly, and checks every frame among them: exactly one plain zstd frame
// of its recorded plain length, whose window is no larger than zep writes.
bool placePieces(const StoredReader& reader, std::vector<StoredPiece>& pieces, uint32_t sourceSize);

// A decoding context limited to the windows a compact record may ask for. No memory:
// Status::NO_MEMORY.
std::unique_ptr<ZSTD_DCtx, FreeDCtx> newDecoder();

// One piece, read as it is decoded: stored bytes straight from the record, a frame through a
// streaming decoder whose memory is its window (at most the piece's plain length).
class PieceSource {
  public:
    // prefix: the source, for a piece compressed against it.
    void start(const StoredPiece& piece, const uint8_t* prefix, size_t prefixLength);
    // Makes up to want bytes (at most kMaxBlockSize) readable in one run at data(); returns how
    // many are: fewer only at the piece's end or where it is damaged.
    size_t peek(size_t want);
    const uint8_t* data() const
    {
        return at_;
    }
    void skip(size_t count)
    {
        at_ += count;
        available_ -= count;
    }
    // Copies up to count bytes to out; fewer only at the piece's end or where it is damaged.
    size_t take(uint8_t* out, size_t count);
    // True when every plain byte was read and the frame ended where it should.
    bool usedUp();
    bool damaged() const
    {
        return damaged_;
    }

  private:
    // Decodes more into the buffer, behind what is still unread; false when nothing more comes.
    bool refill();

    std::unique_ptr<ZSTD_DCtx, FreeDCtx> context_;
    ZSTD_inBuffer in_ = {};
    std::unique_ptr<uint8_t[]> buffer_;
    const uint8_t* at_ = nullptr;
    size_t available_ = 0;
    bool frameEnded_ = false;
    bool damaged_ = false;
};

// A whole piece in memory, for a layout that needs its piece at once; its layout check keeps it
// small.
bool decodeWhole(const StoredPiece& piece, const uint8_t* prefix, size_t prefixLength,
                 std::vector<uint8_t>& out);

}  // namespace zep
