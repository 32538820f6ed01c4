// The prediction of code fields: whatever the piece sizes, the predictor gives exactly the bytes
// of the rule as written (every position in turn, the first form that lies wholly inside the
// cover, the scan going on behind a form), checked against a plain transcription of that rule.
#include "common/byte_order.h"
#include "format/code_prediction.h"
#include "support/encode_record.h"

#include <gtest/gtest.h>
#include <random>

// The library's own units, as the tests reach them.
using namespace zep;

namespace {

// The rule, one position at a time: the form at a position, its length and its field.
uint32_t formAt(const uint8_t* bytes, uint64_t left, uint32_t& field)
{
    static const Bytes ripOpcodes = {0x03, 0x0B, 0x23, 0x2B, 0x33, 0x39, 0x3B,
                                     0x63, 0x85, 0x87, 0x89, 0x8B, 0x8D};
    if (left >= 5 && (bytes[0] == 0xE8 || bytes[0] == 0xE9)) {
        field = 1;
        return 5;
    }
    if (left >= 6 && bytes[0] == 0x0F && bytes[1] >= 0x80 && bytes[1] <= 0x8F) {
        field = 2;
        return 6;
    }
    const uint32_t rex = bytes[0] >= 0x40 && bytes[0] <= 0x4F ? 1 : 0;
    if (left < rex + 6)
        return 0;
    const uint8_t opcode = bytes[rex];
    const uint8_t modrm = bytes[rex + 1];
    const bool rip = (std::find(ripOpcodes.begin(), ripOpcodes.end(), opcode) != ripOpcodes.end() &&
                      (modrm & 0xC7) == 0x05) ||
                     (opcode == 0xFF && (modrm == 0x15 || modrm == 0x25 || modrm == 0x35));
    if (!rip)
        return 0;
    field = rex + 2;
    return rex + 6;
}

Bytes predictedByTheRule(const Bytes& source, const ShiftMap& map, uint32_t start, uint32_t length,
                         int64_t shift)
{
    Bytes out(source.begin() + start, source.begin() + start + length);
    for (uint32_t at = 0; at < length;) {
        uint32_t field = 0;
        const uint32_t form = formAt(source.data() + start + at, length - at, field);
        if (form == 0) {
            ++at;
            continue;
        }
        const int64_t value = static_cast<int32_t>(loadLe32(out.data() + at + field));
        const int64_t target = int64_t{start} + at + field + 4 + value;
        if (target >= 0 && target < static_cast<int64_t>(source.size())) {
            const auto predicted =
                static_cast<uint32_t>(value + map.shiftAt(static_cast<uint64_t>(target)) - shift);
            for (int i = 0; i < 4; ++i)
                out[at + field + i] = static_cast<uint8_t>(predicted >> (8 * i));
        }
        at += form;
    }
    return out;
}

}  // namespace

TEST(CodePredictionTest, PiecesOfAnySizeGiveTheRulesBytes)
{
    // Bytes rich in what starts or tells a form, and small displacements that land inside.
    const Bytes alphabet = {0xE8, 0xE9, 0x0F, 0x80, 0x85, 0x48, 0x4C, 0x8B, 0x8D, 0x89, 0x05,
                            0x15, 0x25, 0x35, 0xFF, 0x3D, 0x00, 0x01, 0xFE, 0x63, 0x0D, 0x90};
    std::mt19937 random(53);
    for (int round = 0; round < 200; ++round) {
        SCOPED_TRACE(testing::Message() << "seed 53, round " << round);
        Bytes source(1 + random() % 3000);
        for (auto& b : source)
            b = random() % 4 == 0 ? static_cast<uint8_t>(random())
                                  : alphabet[random() % alphabet.size()];
        ShiftMap map;
        for (uint32_t at = 0; at < source.size(); at += 1 + random() % 400) {
            map.starts.push_back(at);
            map.shifts.push_back(static_cast<int64_t>(random() % 2001) - 1000);
        }
        if (round % 2 == 0)
            map.index(static_cast<uint32_t>(source.size()));
        const auto start = static_cast<uint32_t>(random() % source.size());
        const auto length = 1 + static_cast<uint32_t>(random() % (source.size() - start));
        const int64_t shift = static_cast<int64_t>(random() % 201) - 100;
        CoverPredictor predictor(source.data(), static_cast<uint32_t>(source.size()), map);
        predictor.start(start, length, shift);
        Bytes pieces;
        Bytes piece(4096);
        for (size_t count; (count = predictor.next(piece.data(), 16 + random() % 200)) != 0;)
            pieces.insert(pieces.end(), piece.begin(), piece.begin() + static_cast<long>(count));
        ASSERT_TRUE(pieces == predictedByTheRule(source, map, start, length, shift));
    }
}
