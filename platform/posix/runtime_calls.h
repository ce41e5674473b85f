// The C runtime's allocation and stream-write calls, routed through the
// stand-in for the program's own sources, so tests can make any of them fail
// (standin.h) as memory exhaustion or a full disk would. Each behaves as the
// C runtime's function of the same name; a failure returns what that function
// returns on failure (a null pointer, EOF, a negative count) with errno set
// to the rule's error. Only platform/win32.h includes this header, after the
// standard headers, so the names stay the runtime's everywhere else.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>

void *standinMalloc(size_t size);
void *standinCalloc(size_t count, size_t size);
void *standinRealloc(void *block, size_t size);
char *standinStrdup(const char *text);
int standinFputs(const char *text, FILE *stream);
int standinFprintf(FILE *stream, const char *format, ...) __attribute__((format(printf, 2, 3)));
int standinVfprintf(FILE *stream, const char *format, va_list args);
int standinFflush(FILE *stream);

#define malloc(size) standinMalloc(size)
#define calloc(count, size) standinCalloc(count, size)
#define realloc(block, size) standinRealloc(block, size)
#define strdup(text) standinStrdup(text)
#define fputs(text, stream) standinFputs(text, stream)
#define fprintf(...) standinFprintf(__VA_ARGS__)
#define vfprintf(stream, format, args) standinVfprintf(stream, format, args)
#define fflush(stream) standinFflush(stream)
