// The fields are found in the source bytes alone, which both sides have, by one fixed rule: at
// each position, the first instruction form that matches (a relative call or jump, a conditional
// jump, an instruction addressing memory relative to the instruction pointer) makes a field of
// its 32-bit displacement, and the scan goes on behind the instruction; elsewhere it moves one
// byte on. Only an instruction wholly inside the cover counts, and a field whose target lies
// outside the source keeps its value: no prediction is better than a guess.
#include "format/code_prediction.h"

#include "common/byte_order.h"

#include <algorithm>
#include <cstring>

namespace {

// The opcodes that take a ModRM byte whose mod 00 and r/m 101 address [rip + disp32]: moves,
// loads of an address, arithmetic and compares, and movsxd.
constexpr uint8_t kRipOpcodes[] = {0x03, 0x0B, 0x23, 0x2B, 0x33, 0x39, 0x3B,
                                   0x63, 0x85, 0x87, 0x89, 0x8B, 0x8D};

// The instruction at bytes (left bytes available) that holds a field: its length, and where the
// field starts in it; 0 when none starts here.
uint32_t instructionAt(const uint8_t* bytes, uint64_t left, uint32_t& field)
{
    if (left >= 5 && (bytes[0] == 0xE8 || bytes[0] == 0xE9)) {  // call, jmp rel32
        field = 1;
        return 5;
    }
    if (left >= 6 && bytes[0] == 0x0F && (bytes[1] & 0xF0) == 0x80) {  // jcc rel32
        field = 2;
        return 6;
    }
    const uint32_t rex = (bytes[0] & 0xF0) == 0x40 ? 1 : 0;
    if (left < rex + 6)
        return 0;
    const uint8_t opcode = bytes[rex];
    const uint8_t modrm = bytes[rex + 1];
    const bool rip = (std::memchr(kRipOpcodes, opcode, sizeof kRipOpcodes) != nullptr &&
                      (modrm & 0xC7) == 0x05) ||
                     (opcode == 0xFF && (modrm == 0x15 || modrm == 0x25 || modrm == 0x35));
    if (!rip)
        return 0;
    field = rex + 2;
    return rex + 6;
}

}  // namespace

int64_t ShiftMap::shiftAt(uint64_t position) const
{
    const auto after =
        std::upper_bound(starts.begin(), starts.end(), position,
                         [](uint64_t value, uint32_t start) { return value < start; });
    return after == starts.begin() ? 0 : shifts[static_cast<size_t>(after - starts.begin()) - 1];
}

CoverPredictor::CoverPredictor(const uint8_t* source, uint32_t sourceSize, const ShiftMap& map)
    : source_(source), sourceSize_(sourceSize), map_(map)
{
}

void CoverPredictor::start(uint32_t coverStart, uint32_t length, int64_t shift)
{
    at_ = coverStart;
    scan_ = coverStart;
    end_ = uint64_t{coverStart} + length;
    shift_ = shift;
}

size_t CoverPredictor::next(uint8_t* out, size_t room)
{
    const uint64_t limit = std::min<uint64_t>(end_, at_ + room);
    uint64_t written = at_;
    while (scan_ < limit) {
        uint32_t field = 0;
        const uint32_t length = instructionAt(source_ + scan_, end_ - scan_, field);
        if (length == 0) {
            ++scan_;
            continue;
        }
        if (scan_ + length > limit)
            break;  // the next piece holds the instruction whole
        const uint64_t fieldAt = scan_ + field;
        const int64_t value = static_cast<int32_t>(loadLe32(source_ + fieldAt));
        // The displacement counts from the field's end, where these instructions end.
        const int64_t target = static_cast<int64_t>(fieldAt) + 4 + value;
        std::memcpy(out + (written - at_), source_ + written, fieldAt - written);
        uint8_t* const predicted = out + (fieldAt - at_);
        std::memcpy(predicted, source_ + fieldAt, 4);
        if (target >= 0 && target < int64_t{sourceSize_}) {
            const auto guess =
                static_cast<uint32_t>(value + map_.shiftAt(static_cast<uint64_t>(target)) - shift_);
            for (int i = 0; i < 4; ++i)
                predicted[i] = static_cast<uint8_t>(guess >> (8 * i));
        }
        written = fieldAt + 4;
        scan_ += length;
    }
    const uint64_t until = std::max(written, std::min(scan_, limit));
    std::memcpy(out + (written - at_), source_ + written, until - written);
    const auto count = static_cast<size_t>(until - at_);
    at_ = until;
    return count;
}
