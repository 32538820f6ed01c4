// Names as they reach a terminal. A stored name is data from anywhere: an escape sequence in it
// could move the cursor, retitle the window or hide the line before it.
#pragma once
#include <cstddef>
#include <string>

// The text with every byte that could steer a terminal written as \xHH: control characters
// (C0, DEL, and C1 in UTF-8) and bytes that are no part of well-formed UTF-8. A backslash is
// written as two, so that no name can pass for another's escapes. Plain text, UTF-8 letters
// included, stays as it is.
std::string printable(const std::string& text);

// The pieces of printable, for a caller that cannot allocate (a signal handler): the length of
// the printable character at text (0: the byte there is escaped), and a byte's escape.
size_t printableLength(const char* text, size_t size);
size_t escapeByte(unsigned char byte, char (&escape)[4]);
