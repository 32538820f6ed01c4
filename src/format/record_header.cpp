// Building, checksumming, finding and loading record headers, and their time-stamp texts.
#include "format/record_header.h"

#include "common/checksum.h"
#include "common/status.h"
#include "platform/platform.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace zep {

namespace {

uint32_t load32(const uint8_t* bytes)
{
    return uint32_t{bytes[0]} | (uint32_t{bytes[1]} << 8) | (uint32_t{bytes[2]} << 16) |
           (uint32_t{bytes[3]} << 24);
}

// Offset of the destination name length field, behind the source name's zero.
uint32_t destLengthOffset(const RecordHeader& header)
{
    const char* name = reinterpret_cast<const char*>(header.bytes + HEADER_SOURCE_NAME);
    return HEADER_SOURCE_NAME + static_cast<uint32_t>(std::strlen(name)) + 1;
}

// Every name a reader will use must end inside the block, and the destination name's length
// field must lie inside it too.
bool namesFitTheHeader(const uint8_t* bytes, uint32_t length)
{
    if (std::memchr(bytes + HEADER_SOURCE_NAME, 0, length - HEADER_SOURCE_NAME) == nullptr)
        return false;
    const char* name = reinterpret_cast<const char*>(bytes + HEADER_SOURCE_NAME);
    const uint32_t destLength = HEADER_SOURCE_NAME + static_cast<uint32_t>(std::strlen(name)) + 1;
    if (destLength + 2 > length)
        return false;
    if ((bytes[destLength] | bytes[destLength + 1]) == 0)
        return true;
    const uint32_t destName = destLength + 2;
    return destName < length && std::memchr(bytes + destName, 0, length - destName) != nullptr;
}

// Reads the leading decimal digits at a position of the field; positions past it read none.
int readNumber(const uint8_t* field, uint32_t at)
{
    int value = 0;
    for (; at < kTimeStampLength && field[at] >= '0' && field[at] <= '9'; ++at)
        if (value < 100000)
            value = value * 10 + (field[at] - '0');
    return value;
}

}  // namespace

RecordHeader::RecordHeader(RecordHeader&& other) noexcept : bytes(other.bytes), length(other.length)
{
    other.bytes = nullptr;
    other.length = 0;
}

RecordHeader& RecordHeader::operator=(RecordHeader&& other) noexcept
{
    if (this != &other) {
        release();
        bytes = other.bytes;
        length = other.length;
        other.bytes = nullptr;
        other.length = 0;
    }
    return *this;
}

RecordHeader::~RecordHeader()
{
    release();
}

void RecordHeader::release()
{
    std::free(bytes);
    bytes = nullptr;
    length = 0;
}

const char* RecordHeader::sourceName() const
{
    return reinterpret_cast<const char*>(bytes + HEADER_SOURCE_NAME);
}

bool RecordHeader::hasDestName() const
{
    return field16(destLengthOffset(*this)) != 0;
}

const char* RecordHeader::destName() const
{
    if (!hasDestName())
        return sourceName();
    return reinterpret_cast<const char*>(bytes + destLengthOffset(*this) + 2);
}

uint32_t RecordHeader::checksum() const
{
    return crcBlock(bytes + 4, length - 4, crcInit());
}

RecordHeader buildRecordHeader(const char* sourceName, const char* destName)
{
    const uint32_t sourceLength = static_cast<uint32_t>(std::strlen(sourceName));
    const uint32_t destLength = static_cast<uint32_t>(std::strlen(destName));
    const bool sameName = std::strcmp(sourceName, destName) == 0;
    const uint32_t length = sameName ? sourceLength + 99 : sourceLength + destLength + 100;
    auto* bytes = static_cast<uint8_t*>(std::calloc(length, 1));
    if (bytes == nullptr)
        failSilently(Status::NO_MEMORY);
    RecordHeader header(bytes, length);

    std::memcpy(bytes + HEADER_MAGIC, kMagic, sizeof kMagic);
    header.setField16(HEADER_SOURCE_NAME_LENGTH, static_cast<uint16_t>(sourceLength + 1));
    std::memcpy(bytes + HEADER_SOURCE_NAME, sourceName, sourceLength + 1);
    const uint32_t destField = HEADER_SOURCE_NAME + sourceLength + 1;
    if (sameName) {
        header.setField16(destField, 0);
    } else {
        header.setField16(destField, static_cast<uint16_t>(destLength + 1));
        std::memcpy(bytes + destField + 2, destName, destLength + 1);
    }
    header.setField32(HEADER_LENGTH, length);
    header.setField16(HEADER_VERSION, kFormatVersion);
    header.setField16(HEADER_FLAGS, FLAG_MILLISECONDS);
    bytes[HEADER_OS_TYPE] = 2;
    bytes[HEADER_RESERVED] = 1;
    return header;
}

HeaderShape headerShape(const uint8_t* bytes, uint32_t length)
{
    if (!namesFitTheHeader(bytes, length))
        return HeaderShape::BROKEN;
    if (crcBlock(bytes + 4, length - 4, crcInit()) == load32(bytes + HEADER_CHECKSUM))
        return HeaderShape::SOUND;
    // What a stopped create leaves: its provisional header, never completed.
    const bool unfinished = load32(bytes + HEADER_CHECKSUM) == 0 &&
                            load32(bytes + HEADER_STREAM_LENGTH) == 0 &&
                            load32(bytes + HEADER_STREAM_CRC) == 0;
    return unfinished ? HeaderShape::UNFINISHED : HeaderShape::BROKEN;
}

ScanResult scanRecord(FileSlot& diff, uint32_t& skipped, RecordHeader& header)
{
    header.release();
    skipped = 0;
    uint8_t probe[kProbeLength];
    for (uint32_t failed = 0;;) {
        if (readBytes(diff, probe, kProbeLength) < kProbeLength)
            return ScanResult::END;
        if (std::memcmp(probe + HEADER_MAGIC, kMagic, sizeof kMagic) == 0)
            break;
        seekCurrent(diff, kProbeStep - kProbeLength);
        skipped += kProbeStep;
        if (++failed >= kMaxProbes)
            return ScanResult::END;
    }
    seekCurrent(diff, -static_cast<int64_t>(kProbeLength));

    // A header that reaches past the end cannot be read whole, whatever its length says: the
    // file ends before it.
    const uint32_t length = load32(probe + HEADER_LENGTH);
    if (length > bytesLeft(diff))
        return ScanResult::END;
    if (length < kMinHeaderLength || length > kMaxHeaderLength)
        return ScanResult::BROKEN;
    auto* bytes = static_cast<uint8_t*>(std::malloc(length));
    if (bytes == nullptr)
        return ScanResult::END;
    if (readBytes(diff, bytes, length) < length) {
        std::free(bytes);
        return ScanResult::END;
    }
    header = RecordHeader(bytes, length);
    return headerShape(bytes, length) == HeaderShape::SOUND ? ScanResult::FOUND
                                                            : ScanResult::BROKEN;
}

Found findRecord(FileSlot& diff, uint32_t& skipped, RecordHeader& header, uint64_t& at)
{
    uint64_t position = 0;
    platform::filePosition(diff.handle, position);
    ScanResult result = scanRecord(diff, skipped, header);
    at = position + skipped;
    if (result == ScanResult::BROKEN) {
        header.release();
        if (recordBeingWritten(diff, at))
            return Found::BEING_WRITTEN;
        // A create that held the lock a moment ago may have completed the header since.
        uint64_t now = 0;
        platform::filePosition(diff.handle, now);
        seekCurrent(diff, static_cast<int64_t>(at) - static_cast<int64_t>(now));
        uint32_t again = 0;
        result = scanRecord(diff, again, header);
        if (result != ScanResult::FOUND || again != 0) {
            header.release();
            fail(Status::HEADER_BROKEN, "Header broken.\n");
        }
    }
    return result == ScanResult::FOUND ? Found::RECORD : Found::END;
}

bool recordBeingWritten(const FileSlot& diff, uint64_t at)
{
    return appendLockedAt(diff, at);
}

void formatTimeStamp(uint64_t fileTime, uint8_t* field)
{
    int64_t seconds;
    long nanoseconds;
    platform::unixFromFileTime(fileTime, seconds, nanoseconds);
    platform::CalendarTime local{1601, 1, 1, 0, 0, 0};
    platform::localFromUnix(seconds, local);
    char text[64];
    std::snprintf(text, sizeof text, "%04d/%02d/%02d %02d:%02d:%02d:%02d", local.year, local.month,
                  local.day, local.hour, local.minute, local.second,
                  static_cast<int>(nanoseconds / 1000000));
    std::memset(field, 0, kTimeStampLength);  // the text always ends in a zero inside the field
    std::copy_n(text, std::min(std::strlen(text), size_t{kTimeStampLength - 1}), field);
}

uint32_t parseTimeStampReadings(const uint8_t* field, uint64_t (&readings)[2])
{
    const platform::CalendarTime wanted = {readNumber(field, 0),  readNumber(field, 5),
                                           readNumber(field, 8),  readNumber(field, 11),
                                           readNumber(field, 14), readNumber(field, 17)};
    const int milliseconds = readNumber(field, 20);
    if (wanted.month < 1 || wanted.month > 12 || wanted.day < 1 || wanted.day > 31 ||
        wanted.hour > 23 || wanted.minute > 59 || wanted.second > 59 || milliseconds > 999)
        return 0;
    // The system's reading first; where daylight saving ends, the hour that comes twice has a
    // second reading.
    uint32_t count = 0;
    for (const int saving : {-1, 0, 1}) {
        int64_t seconds = 0;
        platform::CalendarTime seen{};
        // A date that does not exist (31 June) or a wall-clock time skipped by a daylight-saving
        // change comes back normalised to another time; no recorded time can stand for it.
        if (!platform::unixFromLocal(wanted, seconds, saving) ||
            !platform::localFromUnix(seconds, seen) || seen.year != wanted.year ||
            seen.month != wanted.month || seen.day != wanted.day || seen.hour != wanted.hour ||
            seen.minute != wanted.minute || seen.second != wanted.second)
            continue;
        const uint64_t reading =
            platform::fileTimeFromUnix(seconds, 0) + static_cast<uint64_t>(milliseconds) * 10000;
        if (count == 0 || (count == 1 && readings[0] != reading))
            readings[count++] = reading;
    }
    return count;
}

uint64_t parseTimeStamp(const uint8_t* field)
{
    uint64_t readings[2];
    return parseTimeStampReadings(field, readings) == 0 ? kInvalidTime : readings[0];
}

}  // namespace zep
