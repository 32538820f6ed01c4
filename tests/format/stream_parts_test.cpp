// Splitting a stream into control, literal and delta parts: joining gives back every stream
// byte for byte, and parts that do not make one stream are refused.
#include "format/stream_parts.h"
#include "support/encode_record.h"

#include <gtest/gtest.h>

TEST(StreamPartsTest, JoiningGivesBackTheStreamAndRefusesPartsThatDoNotFit)
{
    const Bytes literals = {'n', 'e', 'w'};
    std::vector<Bytes> streams = {
        {},
        {0x00, 0x00},  // no delta part at all: its empty buffer once went to memcpy (fuzz_compact)
        join({token(3, OP_INSERT), literals}),
        join({token(15, OP_COPY), token(70000, OP_SKIP), token(1, OP_POKE), {0x7F}}),
        {0x40, 0x01, 0x11, 0x22, 0x00, 0x00, 0x7F, 0xFF, 1,  2,  3, 4,
         5,    6,    7,    8,    9,    10,   11,   12,   13, 14, 15},
        join({token(2048, OP_INSERT), Bytes(2048, 0x80), token(16, OP_COPY)}),
    };
    std::mt19937 random(5);
    for (int round = 0; round < 40; ++round) {
        const Bytes source = randomBytes(random, 1 + random() % 4000);
        Bytes dest = source;
        for (size_t i = 0; i < dest.size(); i += 1 + random() % 30)
            dest[i] = static_cast<uint8_t>(random());
        dest.insert(dest.begin() + static_cast<long>(random() % dest.size()), source.begin(),
                    source.begin() + static_cast<long>(random() % source.size()));
        streams.push_back(encode(source, dest, EncoderSpeed::FAST).stream);
    }
    for (size_t i = 0; i < streams.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "stream " << i << ", seed 5");
        StreamParts parts;
        splitStream(streams[i].data(), streams[i].size(), parts);
        EXPECT_EQ(parts.size(), streams[i].size());
        Bytes joined;
        ASSERT_TRUE(joinStream(parts, joined));
        EXPECT_TRUE(joined == streams[i]);
        // A token cut short in the control part, a literal or delta byte missing or left over.
        parts.control.push_back(0xC0);
        EXPECT_FALSE(joinStream(parts, joined));
        parts.control.pop_back();
        for (Bytes* part : {&parts.literals, &parts.deltas}) {
            part->push_back(0);
            EXPECT_FALSE(joinStream(parts, joined));
            part->pop_back();
            if (!part->empty()) {
                const uint8_t last = part->back();
                part->pop_back();
                EXPECT_FALSE(joinStream(parts, joined));
                part->push_back(last);
            }
        }
    }
}

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
