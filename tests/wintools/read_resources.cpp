// Looks at the resources of a program file the way Windows does: loads it as
// a data file and
//   read_resources EXE messages INSERT   formats each catalogue id with one
//       insertion string and prints "<id> <text>" per line, CR, LF and
//       backslash written as \r, \n and \\ so the raw text can be compared;
//   read_resources EXE manifest          writes the bytes of RT_MANIFEST 1
//       (language 1033) unchanged;
//   read_resources EXE list              prints "<type> <name> <language>" for
//       every resource of the file.
// Exit code 0 when everything asked for was found, 1 otherwise.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <io.h>

static const DWORD kIds[] = {0x0FA00001, 0x0FA00002, 0xCFA00003,
                             0xCFA00004, 0x4FA00005, 0xCFA00006};
static const WORD kEnglishUs = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US); // 1033

static void printEscaped(const char *text) {
  for (const char *p = text; *p; ++p) {
    if (*p == '\r')
      fputs("\\r", stdout);
    else if (*p == '\n')
      fputs("\\n", stdout);
    else if (*p == '\\')
      fputs("\\\\", stdout);
    else
      fputc(*p, stdout);
  }
}

static int printMessages(HMODULE module, const char *insert) {
  int result = 0;
  for (DWORD id : kIds) {
    DWORD_PTR arguments[] = {(DWORD_PTR)insert};
    char *text = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY |
                                      FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                  module, id, kEnglishUs, (LPSTR)&text, 0, (va_list *)arguments);
    printf("0x%08lX ", (unsigned long)id);
    if (length == 0) {
      printf("<FormatMessage failed, error %lu>\n", (unsigned long)GetLastError());
      result = 1;
      continue;
    }
    printEscaped(text);
    fputc('\n', stdout);
    LocalFree(text);
  }
  return result;
}

static int writeManifest(HMODULE module) {
  HRSRC found = FindResourceExA(module, MAKEINTRESOURCEA(24), MAKEINTRESOURCEA(1), kEnglishUs);
  if (!found) {
    fprintf(stderr, "no RT_MANIFEST 1 in language 1033, error %lu\n", (unsigned long)GetLastError());
    return 1;
  }
  HGLOBAL loaded = LoadResource(module, found);
  DWORD size = SizeofResource(module, found);
  const void *bytes = loaded ? LockResource(loaded) : nullptr;
  if (!bytes || size == 0) {
    fprintf(stderr, "RT_MANIFEST 1 could not be loaded, error %lu\n", (unsigned long)GetLastError());
    return 1;
  }
  fwrite(bytes, 1, size, stdout);
  return 0;
}

static void printId(LPCSTR nameOrId) {
  if (IS_INTRESOURCE(nameOrId))
    printf("%u", (unsigned)(ULONG_PTR)nameOrId);
  else
    printf("%s", nameOrId);
}

static BOOL CALLBACK onLanguage(HMODULE, LPCSTR type, LPCSTR name, WORD language, LONG_PTR) {
  printId(type);
  fputc(' ', stdout);
  printId(name);
  printf(" %u\n", (unsigned)language);
  return TRUE;
}

static BOOL CALLBACK onName(HMODULE module, LPCSTR type, LPSTR name, LONG_PTR) {
  EnumResourceLanguagesA(module, type, name, onLanguage, 0);
  return TRUE;
}

static BOOL CALLBACK onType(HMODULE module, LPSTR type, LONG_PTR) {
  EnumResourceNamesA(module, type, onName, 0);
  return TRUE;
}

int main(int argc, char **argv) {
  if (argc < 3 || (strcmp(argv[2], "messages") == 0 && argc < 4)) {
    fprintf(stderr, "usage: read_resources EXE messages INSERT | manifest | list\n");
    return 2;
  }
  _setmode(_fileno(stdout), _O_BINARY); // the bytes as they are, no CR added
  HMODULE module = LoadLibraryExA(argv[1], nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!module) {
    fprintf(stderr, "cannot load %s, error %lu\n", argv[1], (unsigned long)GetLastError());
    return 1;
  }
  int result = 2;
  if (strcmp(argv[2], "messages") == 0)
    result = printMessages(module, argv[3]);
  else if (strcmp(argv[2], "manifest") == 0)
    result = writeManifest(module);
  else if (strcmp(argv[2], "list") == 0)
    result = EnumResourceTypesA(module, onType, 0) ? 0 : 1;
  fflush(stdout);
  FreeLibrary(module);
  return result;
}
