// Keeps a file open until a file appears, so that other opens and deletes
// meanwhile show how Windows shares it:
//   file_hold <file> <ready file> <release file> [denyno]
// Opens (creating if needed) <file> for reading and writing with share mode
// 0 (every other open fails with a sharing violation), or with "denyno"
// through the runtime's _sopen(_SH_DENYNO) (others may read and write, no one
// may delete), creates <ready file>, then polls for <release file> (up to 5
// minutes), closes the file and exits 0. Exit code: the Win32 error (low 8
// bits) when <file> cannot be opened.
//   file_hold --delete <file>
// Tries DeleteFileA once; the exit code is its error, 0 when deleted.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

int main(int argc, char **argv) {
  if (argc == 3 && strcmp(argv[1], "--delete") == 0)
    return DeleteFileA(argv[2]) ? 0 : (int)GetLastError();
  if (argc < 4) {
    fprintf(stderr, "usage: file_hold <file> <ready file> <release file> [denyno]\n"
                    "       file_hold --delete <file>\n");
    return 87;
  }
  bool runtime = argc > 4 && strcmp(argv[4], "denyno") == 0;
  HANDLE held = INVALID_HANDLE_VALUE;
  int fd = -1;
  if (runtime) {
    fd = _sopen(argv[1], _O_RDWR | _O_CREAT | _O_BINARY, _SH_DENYNO, _S_IREAD | _S_IWRITE);
    if (fd < 0)
      return (int)GetLastError();
  } else {
    held = CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE)
      return (int)GetLastError();
  }
  HANDLE ready = CreateFileA(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  if (ready != INVALID_HANDLE_VALUE)
    CloseHandle(ready);
  for (int i = 0; i < 3000 && GetFileAttributesA(argv[3]) == INVALID_FILE_ATTRIBUTES; ++i)
    Sleep(100);
  if (runtime)
    _close(fd);
  else
    CloseHandle(held);
  return 0;
}
