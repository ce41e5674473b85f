// Bounded formatting: every string the program builds goes into a fixed
// buffer through these, never past the size given.
#pragma once

#include "../platform/win32.h"

#if defined(__GNUC__)
#define VELKOR_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define VELKOR_PRINTF(fmt, args)
#endif

// Formats into buffer (size characters, terminator included). Returns the
// number of characters written, or -1 when the text does not fit. The buffer
// is always terminated (a text that does not fit is cut to size - 1
// characters), so a caller that keeps a cut text can use it as it stands.
int boundedFormat(char *buffer, size_t size, const char *format, ...) VELKOR_PRINTF(3, 4);
int boundedFormatV(char *buffer, size_t size, const char *format, va_list args);
