// The fields are found in the source bytes alone, which both sides have, by one fixed rule: at
// each position, the first instruction form that matches (a relative call or jump, a conditional
// jump, an instruction addressing memory relative to the instruction pointer) makes a field of
// its 32-bit displacement, and the scan goes on behind the instruction; elsewhere it moves one
// byte on. Only an instruction wholly inside the cover counts, and a field whose target lies
// outside the source keeps its value: no prediction is better than a guess.
#include "format/code_prediction.h"

#include "common/byte_order.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace zep {

namespace {

// The opcodes that take a ModRM byte whose mod 00 and r/m 101 address [rip + disp32]: moves,
// loads of an address, arithmetic and compares, and movsxd.
constexpr uint8_t kRipOpcodes[] = {0x03, 0x0B, 0x23, 0x2B, 0x33, 0x39, 0x3B,
                                   0x63, 0x85, 0x87, 0x89, 0x8B, 0x8D};

// What a byte may begin: most bytes begin no form at all, and the scan passes them by a table.
enum : uint8_t { NONE = 0, BRANCH = 1, CONDITIONAL = 2, REX = 4, RIP = 8, INDIRECT = 16 };
constexpr std::array<uint8_t, 256> makeStarts()
{
    std::array<uint8_t, 256> starts{};
    starts[0xE8] = starts[0xE9] = BRANCH;
    starts[0x0F] = CONDITIONAL;
    for (int rex = 0x40; rex <= 0x4F; ++rex)
        starts[rex] = REX;
    for (const uint8_t opcode : kRipOpcodes)
        starts[opcode] |= RIP;
    starts[0xFF] |= INDIRECT;
    return starts;
}
constexpr std::array<uint8_t, 256> kStarts = makeStarts();

// The bytes that tell a form: the first byte of a branch or a conditional jump, and a ModRM byte
// that addresses [rip + disp32]. Every form holds one in its first three bytes.
constexpr std::array<bool, 256> makeTelling()
{
    std::array<bool, 256> telling{};
    telling[0xE8] = telling[0xE9] = telling[0x0F] = true;
    for (int reg = 0; reg < 8; ++reg)
        telling[0x05 | reg << 3] = true;
    return telling;
}
constexpr std::array<bool, 256> kTelling = makeTelling();

// Bytes 0x80 where a byte of word is zero: exact for the lowest such byte, which is all the
// search needs.
constexpr uint64_t zeroBytes(uint64_t word)
{
    return (word - 0x0101010101010101ull) & ~word & 0x8080808080808080ull;
}

// Bit 7 of each byte of the eight from word on that may be a telling byte (and no more than
// what follows a true one; bytes from end on count as none): a telling byte is one whose bits
// 0-2 and 6-7 read 00 xxx 101, or E8 or E9 (E8 without bit 0), or 0F.
uint64_t tellingBytes(const uint8_t* bytes, size_t word, size_t end)
{
    if (word + 8 > end) {
        uint64_t found = 0;
        for (size_t i = word; i < end; ++i)
            if (kTelling[bytes[i]])
                found |= uint64_t{0x80} << (8 * (i - word));
        return found;
    }
    const uint64_t value = loadLe64(bytes + word);
    return zeroBytes((value & 0xC7C7C7C7C7C7C7C7ull) ^ 0x0505050505050505ull) |
           zeroBytes((value & 0xFEFEFEFEFEFEFEFEull) ^ 0xE8E8E8E8E8E8E8E8ull) |
           zeroBytes(value ^ 0x0F0F0F0F0F0F0F0Full);
}

// The instruction at bytes (left bytes available) that holds a field: its length, and where the
// field starts in it; 0 when none starts here.
uint32_t instructionAt(const uint8_t* bytes, uint64_t left, uint32_t& field)
{
    const uint8_t kind = kStarts[bytes[0]];
    if (kind == NONE)
        return 0;
    if (kind == BRANCH && left >= 5) {  // call, jmp rel32
        field = 1;
        return 5;
    }
    if (kind == CONDITIONAL && left >= 6 && (bytes[1] & 0xF0) == 0x80) {  // jcc rel32
        field = 2;
        return 6;
    }
    const uint32_t rex = kind == REX ? 1 : 0;
    if (left < rex + 6)
        return 0;
    const uint8_t opcode = kStarts[bytes[rex]];
    const uint8_t modrm = bytes[rex + 1];
    const bool rip =
        ((opcode & RIP) != 0 && (modrm & 0xC7) == 0x05) ||
        ((opcode & INDIRECT) != 0 && (modrm == 0x15 || modrm == 0x25 || modrm == 0x35));
    if (!rip)
        return 0;
    field = rex + 2;
    return rex + 6;
}

}  // namespace

int64_t ShiftMap::searchShift(uint64_t position) const
{
    const auto after =
        std::upper_bound(starts.begin(), starts.end(), position,
                         [](uint64_t value, uint32_t start) { return value < start; });
    return after == starts.begin() ? 0 : shifts[static_cast<size_t>(after - starts.begin()) - 1];
}

void ShiftMap::index(uint32_t limit)
{
    pages_.clear();
    if (starts.empty())
        return;
    size_t stretch = 0;
    for (uint64_t page = 0; page << kPageBits < limit; ++page) {
        while (stretch + 1 < starts.size() && starts[stretch + 1] <= page << kPageBits)
            ++stretch;
        pages_.push_back(static_cast<uint32_t>(stretch));
    }
}

CoverPredictor::CoverPredictor(const uint8_t* source, uint32_t sourceSize, const ShiftMap& map)
    : source_(source), sourceSize_(sourceSize), map_(map)
{
}

void CoverPredictor::start(uint32_t coverStart, uint32_t length, int64_t shift)
{
    at_ = coverStart;
    end_ = uint64_t{coverStart} + length;
    shift_ = shift;
}

size_t CoverPredictor::next(uint8_t* out, size_t room)
{
    // Positions relative to the piece's start, in locals: the compiler cannot keep members in
    // registers across the stores to out.
    const uint8_t* const bytes = source_ + at_;
    const auto limit = static_cast<size_t>(std::min<uint64_t>(end_ - at_, room));
    const auto available = static_cast<size_t>(end_ - at_);
    // A form starts at most two bytes before its telling byte, so telling bytes up to two past
    // the piece's end can begin forms inside it.
    const size_t searchEnd = std::min(available, limit + 2);
    // The piece as the source holds it, then the fields predicted in place.
    std::memcpy(out, bytes, limit);
    size_t scan = 0;  // where the next form may start
    for (size_t word = 0; word < searchEnd && scan < limit; word += 8) {
        uint64_t found = tellingBytes(bytes, word, searchEnd);
        for (; found != 0 && scan < limit; found &= found - 1) {
            const size_t telling = word + static_cast<size_t>(std::countr_zero(found)) / 8;
            if (telling >= searchEnd)
                break;
            // A branch's telling byte is its first; a ModRM byte tells a form one or two bytes
            // before it (the second with a REX byte first). The bytes before it are no telling
            // bytes, so no other form can start there.
            const uint8_t kind = bytes[telling];
            const bool first = kind == 0x0F || kind >= 0xE8;
            if (first ? telling < scan : telling < scan + 1)
                continue;
            size_t candidate =
                first ? telling : std::max(scan, telling - std::min<size_t>(telling, 2));
            const size_t last = first ? telling : telling - 1;
            for (; candidate <= last && candidate < limit; ++candidate) {
                uint32_t field = 0;
                const uint32_t length =
                    instructionAt(bytes + candidate, available - candidate, field);
                if (length == 0)
                    continue;
                if (candidate + length > limit) {
                    at_ += candidate;  // the next piece holds the instruction whole
                    return candidate;
                }
                const size_t fieldAt = candidate + field;
                const int64_t value = static_cast<int32_t>(loadLe32(bytes + fieldAt));
                // The displacement counts from the field's end, where these instructions end.
                const int64_t target = static_cast<int64_t>(at_ + fieldAt) + 4 + value;
                if (target >= 0 && target < int64_t{sourceSize_}) {
                    const auto predicted = static_cast<uint32_t>(
                        value + map_.shiftAt(static_cast<uint64_t>(target)) - shift_);
                    for (int i = 0; i < 4; ++i)
                        out[fieldAt + i] = static_cast<uint8_t>(predicted >> (8 * i));
                }
                scan = candidate + length;
                break;
            }
        }
    }
    at_ += limit;
    return limit;
}

}  // namespace zep
