// Names as they reach a terminal. A stored name is data from anywhere: an escape sequence in it
// could move the cursor, retitle the window or hide the line before it, and an invisible or
// direction-changing character could make it read as another name.
#pragma once
#include <cstddef>
#include <string>

namespace zep {

// The text with every byte that could steer a terminal written as \xHH: control characters
// (C0, DEL, and C1 in UTF-8) and bytes that are no part of well-formed UTF-8. Characters that
// show as nothing or as blank, or turn the direction of what follows (Unicode's default-ignorable
// code points, such as the direction overrides, zero-width characters and variation selectors;
// the line and paragraph separators; spaces other than the ASCII one) are written as \u{XXXX}.
// A backslash is written as two, so that no name can pass for another's escapes. Plain text,
// UTF-8 letters included, stays as it is.
std::string printable(const std::string& text);

// The piece of printable at text, for a caller that cannot allocate (a signal handler): writes
// what the terminal gets for the character or byte at text into shown and returns its length;
// consumed receives the bytes of text it stands for (at least 1; size must be at least 1).
constexpr size_t kMaxShownPiece = 12;
size_t showPiece(const char* text, size_t size, char (&shown)[kMaxShownPiece], size_t& consumed);

}  // namespace zep
