#include "bounded_format.h"

int boundedFormatV(char *buffer, size_t size, const char *format, va_list args) {
  if (!buffer || size == 0)
    return -1;
  int length = vsnprintf(buffer, size, format, args);
  if (length < 0) {
    buffer[0] = 0;
    return -1;
  }
  if ((size_t)length >= size) {
    buffer[size - 1] = 0;
    return -1;
  }
  return length;
}

int boundedFormat(char *buffer, size_t size, const char *format, ...) {
  va_list args;
  va_start(args, format);
  int length = boundedFormatV(buffer, size, format, args);
  va_end(args);
  return length;
}
