// Narrow strings in the ANSI code page, read by character: in a double-byte
// code page (932, 936, 949, 950) the trail byte of a character may be 0x5C,
// the backslash (表 is 95 5C in code page 932), so paths and arguments are
// scanned with these, never byte by byte.
#pragma once

#include "../platform/win32.h"

// Bytes of the character that starts at `text`: 2 for the lead byte of a
// double-byte character followed by its trail byte, else 1.
size_t characterLength(const char *text);
// The last backslash of `text` that is a character of its own, or null.
char *lastSeparator(char *text);
