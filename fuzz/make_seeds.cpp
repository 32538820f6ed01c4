// Writes the committed seed corpus: small valid records of every instruction kind made by the
// encoder from the apply target's sources, the same records with header fields at their limits
// (checksum made valid again), several records in one file, interpreter inputs and tokens of
// every form, and compact records of the same pairs (layouts 1 to 3) with the compact target's
// inputs.
// Usage: zep_fuzz_seeds CORPUS_DIR
#include "common/checksum.h"
#include "common/file_layer.h"
#include "encoder/delta_encoder.h"
#include "format/cover_writer.h"
#include "format/instruction_stream.h"
#include "format/record_header.h"
#include "fuzz_sources.h"
#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// The library's own units.
using namespace zep;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytesOf(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

void put32(Bytes& bytes, size_t at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

void reseal(Bytes& record)
{
    const uint32_t length = record[14] | (record[15] << 8) | (record[16] << 16);
    put32(record, 0, crcBlock(record.data() + 4, length - 4, crcInit()));
}

// The record the encoder writes for the pair, with the source time the apply target sets.
Bytes makeRecord(const std::string& sourceName, const Bytes& source, const std::string& destName,
                 const Bytes& dest, bool compact = false)
{
    char name[] = "/tmp/zep-seed-XXXXXX";
    close(mkstemp(name));
    RecordHeader header = buildRecordHeader(sourceName.c_str(), destName.c_str());
    header.setField32(HEADER_SOURCE_SIZE, static_cast<uint32_t>(source.size()));
    header.setField32(HEADER_DEST_SIZE, static_cast<uint32_t>(dest.size()));
    formatTimeStamp(platform::fileTimeFromUnix(kSourceTime.tv_sec, kSourceTime.tv_nsec),
                    header.bytes + HEADER_SOURCE_TIME);
    formatTimeStamp(platform::fileTimeFromUnix(1700000000, 456000000),
                    header.bytes + HEADER_DEST_TIME);
    const Report quiet;
    FileSlot diff;
    openForWrite(name, diff);
    RecordOutput output(diff, quiet, compact);
    encodeStream(output, header, Tuning{}, source.data(), dest.data());
    closeChecked(name, diff);
    std::ifstream in(name, std::ios::binary);
    Bytes record((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::remove(name);
    return record;
}

void save(const std::string& path, const Bytes& bytes)
{
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

Bytes join(const Bytes& a, const Bytes& b)
{
    Bytes all = a;
    all.insert(all.end(), b.begin(), b.end());
    return all;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2)
        return 2;
    const std::string out = argv[1];
    for (const char* dir : {"", "/records", "/interpreter", "/read_token", "/encoder", "/compact"})
        mkdir((out + dir).c_str(), 0755);
    setenv("TZ", "UTC", 1);
    tzset();

    const Bytes a = bytesOf(kSourceA);
    const Bytes b = bytesOf(kSourceB);
    std::string edited = kSourceA;
    edited[20] = '3';  // one byte: a poke
    std::string block = kSourceA;
    block.replace(40, 6, "SAFE!!");  // several bytes in one group: a difference block
    std::string inserted = kSourceA;
    inserted.insert(60, "extra = inserted line of text that the source does not hold\n");
    std::string removed = kSourceA;
    removed.erase(30, 40);  // a skip
    std::string bEdited = kSourceB;
    bEdited[150] = 'B';
    bEdited += "tail";
    std::string unrelated;
    for (int i = 0; i < 120; ++i)
        unrelated += static_cast<char>((i * 7919) % 251);
    struct Pair {
        const char* seed;
        std::string sourceName;
        Bytes source;
        std::string destName;
        Bytes dest;
    };
    const std::vector<Pair> pairs = {
        {"identical", "a", a, "a", a},
        {"poke", "a", a, "a", bytesOf(edited)},
        {"block", "a", a, "a", bytesOf(block)},
        {"insert", "a", a, "a", bytesOf(inserted)},
        {"skip", "a", a, "a", bytesOf(removed)},
        {"append", "a", a, "c", bytesOf(kSourceA + "appended = yes\n")},
        {"truncate", "a", a, "a", Bytes(a.begin(), a.begin() + 50)},
        {"unrelated", "b", b, "b", bytesOf(unrelated)},
        {"tiny", "b", b, "t", bytesOf("xyz")},
        {"repeats", "b", b, "b", bytesOf(bEdited)},
    };
    std::vector<Bytes> records;
    for (const Pair& pair : pairs) {
        const Bytes record = makeRecord(pair.sourceName, pair.source, pair.destName, pair.dest);
        records.push_back(record);
        save(out + "/records/" + pair.seed, record);
        // The interpreter's input: sizes, source length, no extra, source, stream.
        const uint32_t headerLength = record[14] | (record[15] << 8);
        Bytes input(11);
        put32(input, 0, static_cast<uint32_t>(pair.source.size()));
        put32(input, 4, static_cast<uint32_t>(pair.dest.size()));
        input[8] = static_cast<uint8_t>(pair.source.size());
        input[9] = static_cast<uint8_t>(pair.source.size() >> 8);
        input = join(input, pair.source);
        input.insert(input.end(), record.begin() + headerLength, record.end());
        save(out + "/interpreter/" + pair.seed, input);
        // The encoder's input: option selector, source length, source, destination.
        Bytes pairInput = {static_cast<uint8_t>(records.size() * 29),
                           static_cast<uint8_t>(pair.source.size()),
                           static_cast<uint8_t>(pair.source.size() >> 8)};
        pairInput = join(join(pairInput, pair.source), pair.dest);
        save(out + "/encoder/" + pair.seed, pairInput);
        // The compact record, and the compact target's input: sizes, stream checksum, source
        // length, source, stored stream.
        const Bytes compact =
            makeRecord(pair.sourceName, pair.source, pair.destName, pair.dest, true);
        save(out + "/records/" + pair.seed + "-compact", compact);
        Bytes compactInput(14);
        std::copy(compact.begin() + HEADER_SOURCE_SIZE, compact.begin() + HEADER_SOURCE_SIZE + 4,
                  compactInput.begin());
        std::copy(compact.begin() + HEADER_DEST_SIZE, compact.begin() + HEADER_DEST_SIZE + 4,
                  compactInput.begin() + 4);
        std::copy(compact.begin() + HEADER_STREAM_CRC, compact.begin() + HEADER_STREAM_CRC + 4,
                  compactInput.begin() + 8);
        compactInput[12] = static_cast<uint8_t>(pair.source.size());
        compactInput[13] = static_cast<uint8_t>(pair.source.size() >> 8);
        compactInput = join(compactInput, pair.source);
        compactInput.insert(compactInput.end(), compact.begin() + headerLength, compact.end());
        save(out + "/compact/" + pair.seed, compactInput);
        // The same pair in layout 3: one cover over what both files begin with, literal bytes
        // behind it.
        uint32_t common = 0;
        while (common < pair.source.size() && common < pair.dest.size() &&
               pair.source[common] == pair.dest[common])
            ++common;
        std::vector<Cover> covers;
        if (common != 0)
            covers.push_back({0, 0, common});
        const Bytes covered =
            packCovers(pair.source.data(), static_cast<uint32_t>(pair.source.size()),
                       pair.dest.data(), static_cast<uint32_t>(pair.dest.size()), covers);
        Bytes coverInput(compactInput.begin(), compactInput.begin() + 14);
        put32(coverInput, 8, crcBlock(covered.data(), covered.size(), crcInit()));
        coverInput = join(join(coverInput, pair.source), covered);
        save(out + "/compact/" + pair.seed + "-covers", coverInput);
    }
    // A long pair with a moved block: the block search and its shared correlations.
    Bytes longSource;
    for (int i = 0; i < 1500; ++i)
        longSource.push_back(static_cast<uint8_t>((i * 7919 + i / 13) % 251));
    Bytes longDest(longSource.begin() + 700, longSource.end());
    longDest.insert(longDest.end(), longSource.begin(), longSource.begin() + 700);
    Bytes longInput = {0, static_cast<uint8_t>(longSource.size()),
                       static_cast<uint8_t>(longSource.size() >> 8)};
    save(out + "/encoder/moved-block", join(join(longInput, longSource), longDest));
    save(out + "/records/two-records", join(records[1], records[9]));
    save(out + "/records/behind-junk", join(join(records[2], Bytes(256, '-')), records[3]));

    // Header fields at their limits, each in a record whose checksum matches again.
    struct Limit {
        const char* seed;
        size_t offset;
        int width;
        uint32_t value;
    };
    const std::vector<Limit> limits = {
        {"os-type-255", HEADER_OS_TYPE, 1, 255},
        {"flags-0", HEADER_FLAGS, 2, 0},
        {"flags-ffff", HEADER_FLAGS, 2, 0xFFFF},
        {"version-0", HEADER_VERSION, 2, 0},
        {"source-size-0", HEADER_SOURCE_SIZE, 4, 0},
        {"source-size-max", HEADER_SOURCE_SIZE, 4, 0xFFFFFFFF},
        {"dest-size-0", HEADER_DEST_SIZE, 4, 0},
        {"dest-size-max", HEADER_DEST_SIZE, 4, 0xFFFFFFFF},
        {"stream-length-0", HEADER_STREAM_LENGTH, 4, 0},
        {"stream-length-max", HEADER_STREAM_LENGTH, 4, 0xFFFFFFFF},
        {"source-crc-0", HEADER_SOURCE_CRC, 4, 0},
        {"dest-crc-max", HEADER_DEST_CRC, 4, 0xFFFFFFFF},
        {"name-length-max", HEADER_SOURCE_NAME_LENGTH, 2, 0xFFFF},
        {"time-all-nines", HEADER_SOURCE_TIME, 0, '9'},
        {"time-no-zero", HEADER_DEST_TIME, 0, '1'},
        {"source-name-dot", HEADER_SOURCE_NAME, 1, '.'},
        {"source-name-slash", HEADER_SOURCE_NAME, 1, '/'},
    };
    for (const Limit& limit : limits) {
        Bytes record = records[1];
        if (limit.width == 0) {
            std::fill(record.begin() + static_cast<long>(limit.offset),
                      record.begin() + static_cast<long>(limit.offset + kTimeStampLength),
                      static_cast<uint8_t>(limit.value));
        } else {
            for (int i = 0; i < limit.width; ++i)
                record[limit.offset + i] = static_cast<uint8_t>(limit.value >> (8 * i));
        }
        reseal(record);
        save(out + "/records/" + limit.seed, record);
    }

    for (const uint32_t n : {1u, 15u, 16u, 2047u, 2048u, 65535u, 65536u, 0xFFFFFFFFu})
        for (uint8_t op = 0; op < 4; ++op) {
            uint8_t token[kMaxTokenSize];
            const uint32_t size = encodeToken(n, op, token);
            save(out + "/read_token/n" + std::to_string(n) + "-op" + std::to_string(op),
                 Bytes(token, token + size));
        }
    return 0;
}
