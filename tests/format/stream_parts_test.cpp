// The destination form: it gives back every stream an encoder writes byte for byte, and nothing
// else has one.
#include "format/stream_parts.h"
#include "support/encode_record.h"

#include <gtest/gtest.h>

// The library's own units, as the tests reach them.
using namespace zep;

TEST(StreamPartsTest, TheDestinationFormGivesBackWhatTheEncodersWriteAndNothingElse)
{
    std::mt19937 random(6);
    for (int round = 0; round < 60; ++round) {
        SCOPED_TRACE(testing::Message() << "round " << round << ", seed 6");
        const Bytes source = randomBytes(random, 1 + random() % 3000);
        Bytes dest(source.begin() + static_cast<long>(random() % source.size()), source.end());
        for (size_t i = 0; i < dest.size(); i += 1 + random() % 20)
            dest[i] = static_cast<uint8_t>(random());
        dest.insert(dest.end(), source.begin(), source.begin() + random() % 40);
        const Bytes stream = encode(source, dest, EncoderSpeed::FAST).stream;
        const ReplaySides sides{source.data(), static_cast<uint32_t>(source.size()),
                                static_cast<uint32_t>(dest.size())};
        DestinationForm form;
        ASSERT_TRUE(toDestinationForm(stream.data(), stream.size(), sides, form));
        EXPECT_TRUE(form.bytes.size() <= dest.size());
        Bytes back;
        ASSERT_TRUE(fromDestinationForm(form, sides, back));
        EXPECT_TRUE(back == stream);
        // A byte left over, or one missing at the end.
        form.bytes.push_back(0);
        EXPECT_FALSE(fromDestinationForm(form, sides, back));
        form.bytes.pop_back();
        if (!form.bytes.empty()) {
            form.bytes.pop_back();
            EXPECT_FALSE(fromDestinationForm(form, sides, back));
        }
    }

    // Streams no encoder writes have no destination form: a block with a single change (a
    // poke's job), a mark past the group, an insertion past the destination's end.
    const Bytes source(20, 'a');
    const ReplaySides sides{source.data(), 20, 20};
    DestinationForm form;
    for (const Bytes& stream : {Bytes{0x00, 0x01, 0x05}, join({token(10, OP_COPY), {0x10, 0, 5}}),
                                join({token(21, OP_INSERT), Bytes(21, 'b')})}) {
        SCOPED_TRACE(stream.size());
        EXPECT_FALSE(toDestinationForm(stream.data(), stream.size(), sides, form));
    }
    // Nor does a form make a stream with a poke token of its own or a group past both ends.
    Bytes back;
    EXPECT_FALSE(fromDestinationForm({join({token(1, OP_POKE)}), {5}}, sides, back));
    EXPECT_FALSE(
        fromDestinationForm({{0x00, 0x00}, Bytes(30, 'a')}, {source.data(), 15, 20}, back));
}
