// Runs the delta encoder on two byte vectors into a scratch file and splits the record that
// landed there, for tests of the encoder and of what reads its records.
#pragma once
#include "common/checksum.h"
#include "common/file_layer.h"
#include "encoder/delta_encoder.h"
#include "format/record_header.h"

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

using Bytes = std::vector<uint8_t>;

struct Record {
    Bytes header;
    Bytes stream;
    std::string progress;  // what the encoder printed on stderr
    uint32_t field(uint32_t offset) const
    {
        return header[offset] | (header[offset + 1] << 8) | (header[offset + 2] << 16) |
               (uint32_t{header[offset + 3]} << 24);
    }
};

// Encodes dest against source into a fresh file and splits what landed there.
inline Record encode(const Bytes& source, const Bytes& dest,
                     EncoderSpeed speed = EncoderSpeed::REFERENCE)
{
    char name[] = "/tmp/zep-encoder-XXXXXX";
    const int fd = mkstemp(name);
    close(fd);
    buildRecordHeader("old.bin", "new.bin");
    setHeaderField32(HEADER_SOURCE_SIZE, static_cast<uint32_t>(source.size()));
    setHeaderField32(HEADER_DEST_SIZE, static_cast<uint32_t>(dest.size()));
    const uint32_t headerLength = currentHeader.length;
    FileSlot diff;
    openForWrite(name, diff);
    discardCopyRun();
    resetRunningCrcs();
    testing::internal::CaptureStderr();
    encodeStream(diff, source.data(), dest.data(), speed);
    const std::string progress = testing::internal::GetCapturedStderr();
    EXPECT_EQ(progress.substr(progress.size() - 12), "100%\r\ndone.\n");
    closeChecked(name, diff);
    std::ifstream in(name, std::ios::binary);
    const Bytes all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::remove(name);
    EXPECT_EQ(currentHeader.bytes, nullptr);  // released by the encoder
    return {Bytes(all.begin(), all.begin() + headerLength),
            Bytes(all.begin() + headerLength, all.end()), progress};
}
