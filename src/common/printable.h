// Names as they reach a terminal. A stored name is data from anywhere: an escape sequence in it
// could move the cursor, retitle the window or hide the line before it.
#pragma once
#include <string>

// The text with every byte that could steer a terminal written as \xHH: control characters
// (C0, DEL, and C1 in UTF-8) and bytes that are no part of well-formed UTF-8. Plain text,
// UTF-8 letters included, stays as it is.
std::string printable(const std::string& text);
