// The record header that starts every difference record: a packed little-endian block whose
// fields are read and written by byte offset, never through a struct. The process holds one
// current header at a time, built for a new record or loaded from a difference file.
#pragma once
#include "common/file_layer.h"

#include <cstdint>

// Byte offsets of the fixed fields.
constexpr uint32_t HEADER_CHECKSUM = 0;        // 32: covers everything after its own four bytes
constexpr uint32_t HEADER_OS_TYPE = 4;         // 8: always 2 when written
constexpr uint32_t HEADER_RESERVED = 5;        // 8: 1 when written, never read
constexpr uint32_t HEADER_FLAGS = 6;           // 16: bit 0: time stamps keep milliseconds
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

struct RecordHeader {
    uint8_t* bytes = nullptr;  // exactly length bytes
    uint32_t length = 0;
};
extern RecordHeader currentHeader;

// Little-endian fields of the current header, whatever the host's byte order.
inline uint16_t headerField16(uint32_t offset)
{
    const uint8_t* bytes = currentHeader.bytes + offset;
    return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}
inline uint32_t headerField32(uint32_t offset)
{
    const uint8_t* bytes = currentHeader.bytes + offset;
    return uint32_t{bytes[0]} | (uint32_t{bytes[1]} << 8) | (uint32_t{bytes[2]} << 16) |
           (uint32_t{bytes[3]} << 24);
}
inline void setHeaderField16(uint32_t offset, uint16_t value)
{
    currentHeader.bytes[offset] = static_cast<uint8_t>(value);
    currentHeader.bytes[offset + 1] = static_cast<uint8_t>(value >> 8);
}
inline void setHeaderField32(uint32_t offset, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        currentHeader.bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}
const char* headerSourceName();
// The stored destination name, or the source name when none is stored.
const char* headerDestName();
bool headerHasDestName();
void releaseHeader();

// Builds a new current header from two base names; the destination name is stored only when
// it differs byte for byte. Sizes, times and checksums stay zero. No memory: exit 7, silently.
void buildRecordHeader(const char* sourceName, const char* destName);
// CRC of the current header from offset 4 to its end.
uint32_t headerChecksum();

// Looks for the next record at the file position or at up to 127 further steps of 128 bytes.
// FOUND: its header, verified, is in a new block (the caller frees it) and the position is at
// its instruction stream. BROKEN: a header fails its checksum (its block is handed over all
// the same) or contradicts itself (no block). END: no record follows.
enum class ScanResult { FOUND, BROKEN, END };
ScanResult scanRecord(FileSlot& diff, uint32_t& skipped, RecordHeader& header);
// The same, making a found header the current one. Returns false when no record follows. A
// header that fails its checksum or contradicts itself ends the process with
// "Header broken.\n" and status -2.
bool findRecord(FileSlot& diff, uint32_t& skipped);

// Whether readers would reach a record appended to a difference file of length bytes, read
// from position 0: every record before it sound, and the end a whole number of probe steps
// (at most 127, none holding a magic) behind the last record. UNFINISHED: readers stop at a
// record that a stopped create began and never completed. soundLength: where the records that
// readers reach end.
enum class AppendPoint { REACHABLE, UNFINISHED, UNREACHABLE };
AppendPoint checkAppendPoint(FileSlot& diff, uint64_t length, uint64_t& soundLength);

// Writes the local-time text "YYYY/MM/DD hh:mm:ss:ms" of a file time into a 26-byte field.
void formatTimeStamp(uint64_t fileTime, uint8_t* field);
// The file time a 26-byte time-stamp field stands for, to the millisecond; kInvalidTime for a
// text that is no valid local time, which equals no real file time.
constexpr uint64_t kInvalidTime = UINT64_MAX;
uint64_t parseTimeStamp(const uint8_t* field);
// Every file time the text may stand for: one, or two in the hour that comes twice when
// daylight saving ends (the system's reading first); none for a text that is no valid time.
uint32_t parseTimeStampReadings(const uint8_t* field, uint64_t (&readings)[2]);
