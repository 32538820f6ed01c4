// Record header layout, the record scan with its 128-byte probes, damaged headers, and the
// time-stamp texts.
#include "common/checksum.h"
#include "format/record_header.h"
#include "support/expect_failure.h"
#include "support/scratch_directory.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

// The library's own units, as the tests reach them.
using namespace zep;

namespace {

using Bytes = std::vector<uint8_t>;

// A complete record: header with its checksum, then the stream bytes.
Bytes makeRecord(const char* source, const char* dest, const Bytes& stream)
{
    RecordHeader header = buildRecordHeader(source, dest);
    header.setField32(HEADER_STREAM_LENGTH, static_cast<uint32_t>(stream.size()));
    header.setField32(HEADER_STREAM_CRC, crcBlock(stream.data(), stream.size(), crcInit()));
    header.setField32(HEADER_CHECKSUM, header.checksum());
    Bytes record(header.bytes, header.bytes + header.length);
    record.insert(record.end(), stream.begin(), stream.end());
    return record;
}

void storeChecksum(Bytes& record)
{
    const uint32_t length = record[14] | (record[15] << 8);
    const uint32_t crc = crcBlock(record.data() + 4, length - 4, crcInit());
    for (int i = 0; i < 4; ++i)
        record[i] = static_cast<uint8_t>(crc >> (8 * i));
}

class RecordHeaderTest : public ::testing::Test {
  protected:
    void store(const Bytes& content)
    {
        std::ofstream(file_, std::ios::binary)
            .write(reinterpret_cast<const char*>(content.data()),
                   static_cast<std::streamsize>(content.size()));
    }
    // Opens the stored file and lists the records the scan finds: skipped bytes and names.
    std::vector<std::pair<uint32_t, std::string>> scan()
    {
        std::vector<std::pair<uint32_t, std::string>> found;
        openForRead(file_.c_str(), diffSlot);
        uint32_t skipped = 0;
        uint64_t at = 0;
        try {
            RecordHeader header;
            while (findRecord(diffSlot, skipped, header, at) == Found::RECORD) {
                found.emplace_back(skipped,
                                   std::string(header.sourceName()) + ">" + header.destName());
                seekCurrent(diffSlot, header.field32(HEADER_STREAM_LENGTH));
                if (found.size() > 10)
                    break;  // a scan that finds a record again would loop forever
            }
        } catch (const Failure&) {
            files_.release();
            throw;
        }
        closeChecked(file_.c_str(), diffSlot);
        return found;
    }
    ScratchDirectory scratch_;
    const std::string file_ = scratch_.path() + "/d.zep";
    RunFiles files_;
    FileSlot& diffSlot = files_.diff;
};

}  // namespace

TEST_F(RecordHeaderTest, DifferentNamesAreBothStored)
{
    RecordHeader header = buildRecordHeader("old.bin", "new.bin");
    ASSERT_EQ(header.length, 114u);
    const uint8_t* bytes = header.bytes;
    const uint8_t fixed[] = {0, 0, 0, 0, 2, 1, 1, 0, 0x13, 0x01, 'Z', 'E', 'P', 0, 114, 0, 0, 0};
    EXPECT_EQ(Bytes(bytes, bytes + 18), Bytes(fixed, fixed + 18));
    for (uint32_t offset = 18; offset < 94; ++offset)
        ASSERT_EQ(bytes[offset], 0) << offset;
    EXPECT_EQ(header.field16(94), 8);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes + 96)), "old.bin");
    EXPECT_EQ(bytes[103], 0);
    EXPECT_EQ(header.field16(104), 8);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes + 106)), "new.bin");
    EXPECT_EQ(bytes[113], 0);
    EXPECT_TRUE(header.hasDestName());
    EXPECT_STREQ(header.destName(), "new.bin");
    EXPECT_EQ(header.checksum(), crcBlock(bytes + 4, 110, crcInit()));
}

TEST_F(RecordHeaderTest, EqualNamesAreStoredOnceAndCaseCounts)
{
    RecordHeader header = buildRecordHeader("a.txt", "a.txt");
    ASSERT_EQ(header.length, 104u);
    EXPECT_EQ(header.field16(94), 6);
    EXPECT_EQ(header.field16(102), 0);
    EXPECT_FALSE(header.hasDestName());
    EXPECT_STREQ(header.destName(), "a.txt");
    header = buildRecordHeader("A.TXT", "a.txt");
    EXPECT_EQ(header.length, 110u);
    EXPECT_STREQ(header.destName(), "a.txt");
}

TEST_F(RecordHeaderTest, ScanFindsRecordsOnlyAtProbeSteps)
{
    const Bytes record = makeRecord("a.txt", "b.txt", {0x80});
    struct Case {
        size_t junk;
        bool found;
    };
    for (const Case c : {Case{0, true}, Case{256, true}, Case{300, false}, Case{16256, true},
                         Case{16384, false}, Case{100, false}}) {
        SCOPED_TRACE(c.junk);
        Bytes content(c.junk, 0x55);
        content.insert(content.end(), record.begin(), record.end());
        store(content);
        const auto found = scan();
        if (c.found)
            EXPECT_EQ(found, (std::vector<std::pair<uint32_t, std::string>>{
                                 {static_cast<uint32_t>(c.junk), "a.txt>b.txt"}}));
        else
            EXPECT_TRUE(found.empty());
    }
}

TEST_F(RecordHeaderTest, RecordsFollowOneAnotherBehindTheirStreams)
{
    Bytes content = makeRecord("a", "b", {0x80, 0x81, 0x82});
    const Bytes second = makeRecord("c", "c", Bytes(300, 0));
    content.insert(content.end(), second.begin(), second.end());
    content.insert(content.end(), 128, 0x11);  // other data: probes at +0 and +128 fail
    const Bytes third = makeRecord("e", "f", {});
    content.insert(content.end(), third.begin(), third.end());
    content.insert(content.end(), 5, 0x22);  // trailing bytes end the scan quietly
    store(content);
    EXPECT_EQ(scan(), (std::vector<std::pair<uint32_t, std::string>>{
                          {0, "a>b"}, {0, "c>c"}, {128, "e>f"}}));
}

TEST_F(RecordHeaderTest, ShortFilesAndTruncatedHeadersHoldNoRecord)
{
    const Bytes record = makeRecord("a.txt", "b.txt", {0x80});
    store(Bytes(record.begin(), record.begin() + 17));
    EXPECT_TRUE(scan().empty());
    store(Bytes(record.begin(), record.begin() + 40));  // header longer than the file
    EXPECT_TRUE(scan().empty());
    // Whatever its length says: one past every limit cannot be read whole either.
    for (const uint32_t length : {kMaxHeaderLength + 1, 0xFFFFFFFFu}) {
        Bytes huge = record;
        for (int i = 0; i < 4; ++i)
            huge[14 + i] = static_cast<uint8_t>(length >> (8 * i));
        store(huge);
        EXPECT_TRUE(scan().empty());
    }
    store({});
    EXPECT_TRUE(scan().empty());
}

TEST_F(RecordHeaderTest, StreamLengthPastTheEndOrHugeEndsTheScan)
{
    for (const uint32_t streamLength : {1000u, 0x80000000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(streamLength);
        RecordHeader header = buildRecordHeader("a", "b");
        header.setField32(HEADER_STREAM_LENGTH, streamLength);
        header.setField32(HEADER_CHECKSUM, header.checksum());
        Bytes content(header.bytes, header.bytes + header.length);
        const Bytes copy = content;
        content.insert(content.end(), copy.begin(), copy.end());  // a second record behind it
        store(content);
        EXPECT_EQ(scan().size(), 1u);
    }
}

TEST_F(RecordHeaderTest, AnyChangedByteBreaksTheHeader)
{
    const Bytes record = makeRecord("old.bin", "new.bin", {0x80});
    // Every covered byte except the magic (10-13) and the header length (14-17).
    for (const size_t offset : {0, 3, 4, 9, 18, 50, 93, 96, 105, 113}) {
        SCOPED_TRACE(offset);
        Bytes damaged = record;
        damaged[offset] ^= 0x20;
        store(damaged);
        expectFailure([&] { scan(); }, 254, "Header broken.\n");
    }
}

TEST_F(RecordHeaderTest, SelfContradictingHeadersAreBroken)
{
    const Bytes record = makeRecord("old.bin", "new.bin", {});
    Bytes shortLength = record;
    shortLength[14] = 98;
    store(shortLength);
    expectFailure([&] { scan(); }, 254, "Header broken.\n");

    // A checksum that matches does not make up for a name that runs off the header's end.
    Bytes unterminated = record;
    unterminated[113] = 'x';
    storeChecksum(unterminated);
    store(unterminated);
    expectFailure([&] { scan(); }, 254, "Header broken.\n");

    // Longer than two names of the largest size: never allocated, even when the file holds it.
    Bytes huge = record;
    huge.resize(kMaxHeaderLength + 1);
    huge[14] = static_cast<uint8_t>(huge.size());
    huge[15] = static_cast<uint8_t>(huge.size() >> 8);
    huge[16] = static_cast<uint8_t>(huge.size() >> 16);
    store(huge);
    expectFailure([&] { scan(); }, 254, "Header broken.\n");

    Bytes noDestLength = record;
    noDestLength.resize(103);  // header ends with the source name's zero
    noDestLength[14] = 103;
    storeChecksum(noDestLength);
    store(noDestLength);
    expectFailure([&] { scan(); }, 254, "Header broken.\n");
}

TEST_F(RecordHeaderTest, MutatedHeadersNeverCrashTheScan)
{
    // Runs under the sanitizers: any read outside the header block or the file shows there.
    std::mt19937 random(8121995);
    const Bytes record = makeRecord("source.dat", "destination.dat", Bytes(40, 0x80));
    int verified = 0;
    for (int round = 0; round < 400; ++round) {
        Bytes content = record;
        const int changes = 1 + static_cast<int>(random() % 6);
        for (int i = 0; i < changes; ++i) {
            const size_t at = random() % content.size();
            content[at] = static_cast<uint8_t>(random());
        }
        if (random() % 2)
            content.resize(random() % content.size());
        if (random() % 3 == 0) {
            // Length fields pointing anywhere, with a checksum that matches.
            const uint32_t length = 99 + random() % 40;
            content[14] = static_cast<uint8_t>(length);
            content[15] = 0;
            if (content.size() >= length)
                storeChecksum(content);
        }
        store(content);
        // The scan ends quietly or with "Header broken.", and nothing else.
        try {
            scan();
        } catch (const Failure& failure) {
            EXPECT_EQ(failure.status, Status::HEADER_BROKEN);
            EXPECT_EQ(failure.message, "Header broken.\n");
        }
        ++verified;
    }
    EXPECT_EQ(verified, 400);
}

TEST(TimeStampTest, WritesLocalTimeWithMilliseconds)
{
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    // 1995-06-01 07:05:03.007 UTC is 09:05:03 local summer time.
    const uint64_t base = (801990303ULL + 11644473600ULL) * 10000000ULL;
    uint8_t field[kTimeStampLength];
    struct Case {
        uint64_t ticks;
        const char* text;
        uint64_t parsed;
    };
    const Case cases[] = {
        {base + 70000, "1995/06/01 09:05:03:07", base + 70000},
        {base + 700000, "1995/06/01 09:05:03:70", base + 700000},
        {base + 7000000, "1995/06/01 09:05:03:700", base + 7000000},
        {base + 9999999, "1995/06/01 09:05:03:999", base + 9990000},  // below 1 ms is lost
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::memset(field, 0x5A, sizeof field);
        formatTimeStamp(c.ticks, field);
        EXPECT_STREQ(reinterpret_cast<const char*>(field), c.text);
        for (size_t i = std::strlen(c.text); i < kTimeStampLength; ++i)
            ASSERT_EQ(field[i], 0);
        EXPECT_EQ(parseTimeStamp(field), c.parsed);
    }
    unsetenv("TZ");
    tzset();
}

TEST(TimeStampTest, TextsThatAreNoTimeNeverMatchAFile)
{
    for (const char* text : {"", "garbage", "1995/13/01 09:05:03:07", "1995/06/31 09:05:03:07",
                             "1995/06/01 24:05:03:07", "1995/06/01 09:05:03:1000"}) {
        SCOPED_TRACE(text);
        uint8_t field[kTimeStampLength] = {};
        std::memcpy(field, text, std::strlen(text));
        EXPECT_EQ(parseTimeStamp(field), kInvalidTime);
    }
}
