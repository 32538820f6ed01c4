// Escaping of names for the console and the listing.
#include "common/printable.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace zep {

namespace {

// The length of the well-formed UTF-8 character at text and its code point; 0 for a byte that
// starts none. Overlong forms, surrogates and values past Unicode are not text.
size_t decodeCharacter(const char* text, size_t size, uint32_t& code)
{
    const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
    const uint8_t lead = byte(0);
    if (lead < 0x80) {
        code = lead;
        return 1;
    }
    size_t length = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07;
    } else {
        return 0;
    }
    if (length > size)
        return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80)
            return 0;
        code = code << 6 | (byte(i) & 0x3F);
    }
    const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < smallest[length] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
        return 0;
    return length;
}

// Controls: C0, DEL and C1.
bool isControl(uint32_t code)
{
    return code < 0x20 || (code >= 0x7F && code <= 0x9F);
}

// Characters a terminal shows as nothing, as blank, or that reorder what follows them: Unicode's
// default-ignorable code points (format characters such as the direction overrides and
// zero-width characters, variation selectors, fillers, tags), the line and paragraph
// separators, every space but the ASCII one, and the blank braille pattern.
bool isInvisible(uint32_t code)
{
    struct Range {
        uint32_t first, last;
    };
    static constexpr Range kRanges[] = {
        {0x00A0, 0x00A0},   {0x00AD, 0x00AD},   {0x034F, 0x034F},   {0x0600, 0x0605},
        {0x061C, 0x061C},   {0x06DD, 0x06DD},   {0x070F, 0x070F},   {0x0890, 0x0891},
        {0x08E2, 0x08E2},   {0x115F, 0x1160},   {0x1680, 0x1680},   {0x17B4, 0x17B5},
        {0x180B, 0x180F},   {0x2000, 0x200F},   {0x2028, 0x202F},   {0x205F, 0x206F},
        {0x2800, 0x2800},   {0x3000, 0x3000},   {0x3164, 0x3164},   {0xFE00, 0xFE0F},
        {0xFEFF, 0xFEFF},   {0xFFA0, 0xFFA0},   {0xFFF0, 0xFFFB},   {0x110BD, 0x110BD},
        {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A},
        {0xE0000, 0xE0FFF},
    };
    return std::any_of(std::begin(kRanges), std::end(kRanges), [code](const Range& range) {
        return code >= range.first && code <= range.last;
    });
}

constexpr char kHex[] = "0123456789abcdef";

}  // namespace

size_t showPiece(const char* text, size_t size, char (&shown)[kMaxShownPiece], size_t& consumed)
{
    uint32_t code = 0;
    const size_t length = decodeCharacter(text, size, code);
    if (length != 0 && !isControl(code) && code != '\\' && !isInvisible(code)) {
        for (size_t i = 0; i < length; ++i)
            shown[i] = text[i];
        consumed = length;
        return length;
    }
    shown[0] = '\\';
    if (length != 0 && isInvisible(code)) {
        // \u{200B}: at least four hexadecimal digits, upper case as Unicode writes them.
        consumed = length;
        size_t digits = 4;
        while (digits < 6 && (code >> (4 * digits)) != 0)
            ++digits;
        shown[1] = 'u';
        shown[2] = '{';
        for (size_t i = 0; i < digits; ++i) {
            const char digit = kHex[(code >> (4 * (digits - 1 - i))) & 15];
            shown[3 + i] = digit >= 'a' ? static_cast<char>(digit - 'a' + 'A') : digit;
        }
        shown[3 + digits] = '}';
        return 4 + digits;
    }
    // A control character, a backslash or a byte of no character: one byte at a time.
    consumed = 1;
    const auto byte = static_cast<uint8_t>(text[0]);
    if (byte == '\\') {
        shown[1] = '\\';
        return 2;
    }
    shown[1] = 'x';
    shown[2] = kHex[byte >> 4];
    shown[3] = kHex[byte & 15];
    return 4;
}

std::string printable(const std::string& text)
{
    std::string shown;
    shown.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        char piece[kMaxShownPiece];
        size_t consumed = 0;
        shown.append(piece, showPiece(text.data() + at, text.size() - at, piece, consumed));
        at += consumed;
    }
    return shown;
}

}  // namespace zep
