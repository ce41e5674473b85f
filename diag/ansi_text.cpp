// Reading ANSI-code-page text by character.
#include "ansi_text.h"

size_t characterLength(const char *text) {
  return text[0] && text[1] && IsDBCSLeadByteEx(CP_ACP, (BYTE)text[0]) ? 2 : 1;
}

char *lastSeparator(char *text) {
  char *last = nullptr;
  for (char *at = text; *at; at += characterLength(at))
    if (*at == '\\')
      last = at;
  return last;
}
