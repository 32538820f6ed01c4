// Escaping of names for the console and the listing.
#include "common/printable.h"

#include <cstdint>

size_t printableLength(const char* text, size_t size)
{
    const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
    const uint8_t lead = byte(0);
    if (lead < 0x80)
        return lead >= 0x20 && lead != 0x7F && lead != '\\' ? 1 : 0;
    size_t length = 0;
    uint32_t code = 0;
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
    // Overlong forms, surrogates, values past Unicode and the C1 controls are not text.
    const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < smallest[length] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF ||
        code <= 0x9F)
        return 0;
    return length;
}

size_t escapeByte(unsigned char byte, char (&escape)[4])
{
    static const char kHex[] = "0123456789abcdef";
    escape[0] = '\\';
    if (byte == '\\') {
        escape[1] = '\\';
        return 2;
    }
    escape[1] = 'x';
    escape[2] = kHex[byte >> 4];
    escape[3] = kHex[byte & 15];
    return 4;
}

std::string printable(const std::string& text)
{
    std::string shown;
    shown.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        const size_t length = printableLength(text.data() + at, text.size() - at);
        if (length != 0) {
            shown.append(text, at, length);
            at += length;
            continue;
        }
        char escape[4];
        shown.append(escape, escapeByte(static_cast<unsigned char>(text[at]), escape));
        ++at;
    }
    return shown;
}
