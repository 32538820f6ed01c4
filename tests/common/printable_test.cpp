// Escaping of names for the terminal: text passes, whatever could steer a terminal is escaped.
#include "common/printable.h"

#include <gtest/gtest.h>

// The library's own units, as the tests reach them.
using namespace zep;

TEST(PrintableTest, OnlyWhatCouldSteerATerminalIsEscaped)
{
    const std::pair<std::string, std::string> cases[] = {
        {"plain name.txt", "plain name.txt"},
        {"r\xC3\xA9sum\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80",
         "r\xC3\xA9sum\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
        {"\x1b[2Jx", "\\x1b[2Jx"},
        {"a\tb\nc\x7f", "a\\x09b\\x0ac\\x7f"},
        {"\xC2\x9Bm", "\\xc2\\x9bm"},                           // C1 control character in UTF-8
        {"\x9Bm", "\\x9bm"},                                    // C1 byte on its own
        {"\xC0\xAF\xED\xA0\x80", "\\xc0\\xaf\\xed\\xa0\\x80"},  // overlong, surrogate
        {"cut \xE2\x82", "cut \\xe2\\x82"},                     // a sequence cut short
        {"x\\x1b", "x\\\\x1b"},  // a backslash cannot pass for an escape
        // Invisible and direction-changing characters: "report<RLO>fdp.sh" would show as
        // "reportsh.pdf".
        {"report\xE2\x80\xAE"
         "fdp.sh",
         "report\\u{202E}fdp.sh"},
        {"a\xE2\x80\x8B"
         "b\xEF\xBB\xBF",
         "a\\u{200B}b\\u{FEFF}"},
        {"\xC2\xAD\xE2\x80\xA8\xF3\xA0\x80\x81", "\\u{00AD}\\u{2028}\\u{E0001}"},
        // Variation selectors, fillers and blanks that show as nothing or as a space.
        {"a\xEF\xB8\x8F\xE3\x85\xA4\xC2\xA0\xE2\xA0\x80\xE3\x80\x80",
         "a\\u{FE0F}\\u{3164}\\u{00A0}\\u{2800}\\u{3000}"},
    };
    for (const auto& [text, shown] : cases)
        EXPECT_EQ(printable(text), shown) << text;
}
