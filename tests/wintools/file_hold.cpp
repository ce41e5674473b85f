// Keeps a file open with no sharing at all until a file appears, so that
// every other open of it meanwhile fails with a sharing violation:
//   file_hold <file> <ready file> <release file>
// Opens (creating if needed) <file> for reading and writing with share mode
// 0, creates <ready file>, then polls for <release file> (up to 5 minutes),
// closes the handle and exits 0. Exit code: the Win32 error (low 8 bits)
// when <file> cannot be opened.
#include <windows.h>

#include <cstdio>

int main(int argc, char **argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: file_hold <file> <ready file> <release file>\n");
    return 87;
  }
  HANDLE held = CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (held == INVALID_HANDLE_VALUE)
    return (int)GetLastError();
  HANDLE ready = CreateFileA(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  if (ready != INVALID_HANDLE_VALUE)
    CloseHandle(ready);
  for (int i = 0; i < 3000 && GetFileAttributesA(argv[3]) == INVALID_FILE_ATTRIBUTES; ++i)
    Sleep(100);
  CloseHandle(held);
  return 0;
}
