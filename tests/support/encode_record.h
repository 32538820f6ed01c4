// Runs the delta encoder on two byte vectors into a file in memory and splits the record that
// landed there, for tests of the encoder and of what reads its records.
#pragma once
#include "common/checksum.h"
#include "common/file_layer.h"
#include "encoder/delta_encoder.h"
#include "encoder/whole_file_encoder.h"
#include "format/instruction_stream.h"
#include "format/record_header.h"
#include "support/console_capture.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <initializer_list>
#include <iterator>
#include <random>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

// The library's own units, as the tests reach them.
using namespace zep;

using Bytes = std::vector<uint8_t>;

inline Bytes randomBytes(std::mt19937& random, size_t count)
{
    Bytes bytes(count);
    for (auto& b : bytes)
        b = static_cast<uint8_t>(random());
    return bytes;
}

inline Bytes join(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// count bytes from from, both cut to the bytes there are.
inline Bytes slice(const Bytes& bytes, size_t from, size_t count)
{
    from = std::min(from, bytes.size());
    count = std::min(count, bytes.size() - from);
    return Bytes(bytes.begin() + static_cast<long>(from),
                 bytes.begin() + static_cast<long>(from + count));
}

// One token in the writer's shortest form.
inline Bytes token(uint32_t n, uint8_t op)
{
    uint8_t bytes[kMaxTokenSize];
    return Bytes(bytes, bytes + encodeToken(n, op, bytes));
}

struct Record {
    Bytes header;
    Bytes stream;
    std::string progress;  // what the encoder reported, as the tool prints it
    uint32_t field(uint32_t offset) const
    {
        return header[offset] | (header[offset + 1] << 8) | (header[offset + 2] << 16) |
               (uint32_t{header[offset + 3]} << 24);
    }
};

// Reads the record an encoder wrote into the scratch file, splits it and removes the file.
inline Record takeRecord(int fd, uint32_t headerLength, const std::string& progress)
{
    Bytes all(static_cast<size_t>(lseek(fd, 0, SEEK_END)));
    EXPECT_EQ(pread(fd, all.data(), all.size(), 0), static_cast<ssize_t>(all.size()));
    close(fd);
    return {Bytes(all.begin(), all.begin() + headerLength),
            Bytes(all.begin() + headerLength, all.end()), progress};
}

// A header holding a copy of the bytes.
inline RecordHeader headerOf(const Bytes& bytes)
{
    auto* block = static_cast<uint8_t*>(std::malloc(bytes.size()));
    std::copy(bytes.begin(), bytes.end(), block);
    return RecordHeader(block, static_cast<uint32_t>(bytes.size()));
}

// Builds the header for the pair, runs an encoder into a fresh file in memory and splits what
// landed there; the encoder is given an output whose difference file is that file, positioned
// where the record starts, and the header.
template <typename Encode> Record encodeWith(const Bytes& source, const Bytes& dest, Encode encode)
{
    RecordHeader header = buildRecordHeader("old.bin", "new.bin");
    header.setField32(HEADER_SOURCE_SIZE, static_cast<uint32_t>(source.size()));
    header.setField32(HEADER_DEST_SIZE, static_cast<uint32_t>(dest.size()));
    CapturedRun captured;
    FileSlot& diff = captured.files.diff;
    diff.name = "record";
    diff.handle = memfd_create("record", MFD_CLOEXEC);
    const int fd = dup(diff.handle);
    RecordOutput output(diff, captured.report, false);
    encode(output, header);
    const std::string progress = captured.take();
    EXPECT_EQ(progress.substr(progress.size() - 5), "100%\r");
    closeChecked("record", diff);
    return takeRecord(fd, header.length, progress);
}

// The record the default encoder writes for the pair.
inline Record encode(const Bytes& source, const Bytes& dest,
                     EncoderSpeed speed = EncoderSpeed::REFERENCE, const Tuning& tuning = {})
{
    return encodeWith(source, dest, [&](RecordOutput& output, RecordHeader& header) {
        encodeStream(output, header, tuning, source.data(), dest.data(), speed);
    });
}

// The record the whole-file encoder writes for the pair, and the stream length it planned.
inline Record encodeWhole(const Bytes& source, const Bytes& dest, uint64_t& planned)
{
    return encodeWith(source, dest, [&](RecordOutput& output, RecordHeader& header) {
        WholeFilePlan plan;
        EXPECT_TRUE(planWholeFile(source.data(), static_cast<uint32_t>(source.size()), dest.data(),
                                  static_cast<uint32_t>(dest.size()), plan));
        planned = plan.streamLength;
        writeWholeFileRecord(output, header, plan, source.data(), dest.data());
    });
}

// A minimal replay of a stream against its source, written apart from the interpreter, for
// round trips of what the encoders write.
inline Bytes replay(const Bytes& source, const Bytes& stream, size_t destSize)
{
    Bytes dest;
    size_t at = 0;
    size_t from = 0;
    const auto group = [&](uint32_t bitmap, const uint8_t* deltas) {
        for (uint32_t k = 0; k < kGroupWidth && from < source.size() && dest.size() < destSize;
             ++k) {
            uint8_t byte = source[from++];
            if (bitmap & (1u << k))
                byte = static_cast<uint8_t>(byte + *deltas++);
            dest.push_back(byte);
        }
    };
    while (at < stream.size()) {
        if (isDifferenceBlock(stream[at])) {
            const uint16_t bitmap = blockBitmap(stream[at], stream[at + 1]);
            group(bitmap, &stream[at + 2]);
            at += 2 + std::popcount(bitmap);
            continue;
        }
        Token token;
        EXPECT_TRUE(readToken(&stream[at], stream.size() - at, token));
        at += token.size;
        if (token.op == OP_COPY) {
            dest.insert(dest.end(), source.begin() + from, source.begin() + from + token.length);
            from += token.length;
        } else if (token.op == OP_SKIP) {
            from += token.length;
        } else if (token.op == OP_INSERT) {
            dest.insert(dest.end(), stream.begin() + at, stream.begin() + at + token.length);
            at += token.length;
        } else {
            group(1u << (token.length - 1), &stream[at]);
            at += 1;
        }
    }
    return dest;
}
