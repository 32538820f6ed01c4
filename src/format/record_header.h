// The record header that starts every difference record: a packed little-endian block whose
// fields are read and written by byte offset, never through a struct. A create builds one for
// its record; apply and view load one for each record they find.
#pragma once
#include "common/file_layer.h"

#include <cstdint>

namespace zep {

// Byte offsets of the fixed fields.
constexpr uint32_t HEADER_CHECKSUM = 0;        // 32: covers everything after its own four bytes
constexpr uint32_t HEADER_OS_TYPE = 4;         // 8: always 2 when written
constexpr uint32_t HEADER_RESERVED = 5;        // 8: 1 when written, never read
constexpr uint32_t HEADER_FLAGS = 6;           // 16: bit 0: time stamps keep milliseconds,
                                               // bit 1: compact stream
constexpr uint32_t HEADER_VERSION = 8;         // 16: 0x0113
constexpr uint32_t HEADER_MAGIC = 10;          // "ZEP" and its zero
constexpr uint32_t HEADER_LENGTH = 14;         // 32: size of the whole header
constexpr uint32_t HEADER_SOURCE_TIME = 18;    // 26-byte time-stamp text
constexpr uint32_t HEADER_SOURCE_CRC = 44;     // 32
constexpr uint32_t HEADER_SOURCE_SIZE = 48;    // 32
constexpr uint32_t HEADER_DEST_TIME = 52;      // 26-byte time-stamp text
constexpr uint32_t HEADER_DEST_CRC = 78;       // 32
constexpr uint32_t HEADER_DEST_SIZE = 82;      // 32
constexpr uint32_t HEADER_STREAM_CRC = 86;     // 32
constexpr uint32_t HEADER_STREAM_LENGTH = 90;  // 32: bytes of instruction stream behind the header
constexpr uint32_t HEADER_SOURCE_NAME_LENGTH = 94;  // 16: L + 1, never read back
constexpr uint32_t HEADER_SOURCE_NAME = 96;  // zero-terminated; then the 16-bit destination name
                                             // length (0: none stored) and the name itself

constexpr char kMagic[4] = {'Z', 'E', 'P', '\0'};  // at HEADER_MAGIC
constexpr uint32_t kTimeStampLength = 26;
constexpr uint32_t kMinHeaderLength = 99;  // fixed part, an empty name and a zero dest length
// Both names with their 16-bit length fields at their largest: no writer can make a longer
// header, so a reader never allocates more than this for one.
constexpr uint32_t kMaxHeaderLength = HEADER_SOURCE_NAME + 0xFFFF + 2 + 0xFFFF;
constexpr uint32_t kProbeLength = 18;  // checksum up to and including the header length
constexpr uint32_t kProbeStep = 128;   // records are looked for at this spacing
constexpr uint32_t kMaxProbes = 128;
constexpr uint16_t kFormatVersion = 0x0113;
constexpr uint16_t FLAG_MILLISECONDS = 1;
// The stream is stored in compact form (format/compact_stream.h); the stream length counts the
// stored bytes, the stream checksum is still the plain stream's.
constexpr uint16_t FLAG_COMPACT = 2;

// A header in a block of exactly length bytes, which it owns. Fields are little-endian,
// whatever the host's byte order.
struct RecordHeader {
    uint8_t* bytes = nullptr;
    uint32_t length = 0;

    RecordHeader() = default;
    RecordHeader(uint8_t* block, uint32_t blockLength) : bytes(block), length(blockLength) {}
    RecordHeader(RecordHeader&& other) noexcept;
    RecordHeader& operator=(RecordHeader&& other) noexcept;
    ~RecordHeader();
    void release();

    uint16_t field16(uint32_t offset) const
    {
        return static_cast<uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
    }
    uint32_t field32(uint32_t offset) const
    {
        return uint32_t{bytes[offset]} | (uint32_t{bytes[offset + 1]} << 8) |
               (uint32_t{bytes[offset + 2]} << 16) | (uint32_t{bytes[offset + 3]} << 24);
    }
    void setField16(uint32_t offset, uint16_t value)
    {
        bytes[offset] = static_cast<uint8_t>(value);
        bytes[offset + 1] = static_cast<uint8_t>(value >> 8);
    }
    void setField32(uint32_t offset, uint32_t value)
    {
        for (int i = 0; i < 4; ++i)
            bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
    const char* sourceName() const;
    // The stored destination name, or the source name when none is stored.
    const char* destName() const;
    bool hasDestName() const;
    // CRC of the header from offset 4 to its end.
    uint32_t checksum() const;
};

// Builds a new header from two base names; the destination name is stored only when it differs
// byte for byte. Sizes, times and checksums stay zero. No memory: status 7, silently.
RecordHeader buildRecordHeader(const char* sourceName, const char* destName);

// What length bytes that start with a record header's fixed part (at least kMinHeaderLength of
// them) read as: SOUND when the header checksum matches and every name ends inside them;
// UNFINISHED for the provisional header that a create writes first and completes last (header
// checksum, stream checksum and stream length still zero), with its names inside; otherwise
// BROKEN.
enum class HeaderShape { SOUND, UNFINISHED, BROKEN };
HeaderShape headerShape(const uint8_t* bytes, uint32_t length);

// Looks for the next record at the file position or at up to 127 further steps of 128 bytes.
// FOUND: its header, verified, is in header and the position is at its instruction stream.
// BROKEN: a header fails its checksum (it is in header all the same) or contradicts itself
// (header stays empty). END: no record follows.
enum class ScanResult { FOUND, BROKEN, END };
ScanResult scanRecord(FileSlot& diff, uint32_t& skipped, RecordHeader& header);
// The same for readers, who take no lock: RECORD, header holds the record's header; END, no
// record follows; BEING_WRITTEN, a create is writing the record there now (see
// recordBeingWritten). at is where the record starts. A header that fails its checksum or
// contradicts itself is read once more, in case a create completed it meanwhile; if it still
// does, that is a failure, "Header broken.\n" and status -2.
enum class Found { RECORD, END, BEING_WRITTEN };
Found findRecord(FileSlot& diff, uint32_t& skipped, RecordHeader& header, uint64_t& at);
// Whether a create is writing the record at offset at now: its lock, which only a writer can
// take, covers at.
bool recordBeingWritten(const FileSlot& diff, uint64_t at);

// Writes the local-time text "YYYY/MM/DD hh:mm:ss:ms" of a file time into a 26-byte field.
void formatTimeStamp(uint64_t fileTime, uint8_t* field);
// The file time a 26-byte time-stamp field stands for, to the millisecond; kInvalidTime for a
// text that is no valid local time, which equals no real file time.
constexpr uint64_t kInvalidTime = UINT64_MAX;
uint64_t parseTimeStamp(const uint8_t* field);
// Every file time the text may stand for: one, or two in the hour that comes twice when
// daylight saving ends (the system's reading first); none for a text that is no valid time.
uint32_t parseTimeStampReadings(const uint8_t* field, uint64_t (&readings)[2]);

}  // namespace zep
