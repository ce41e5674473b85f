// Keeps a handle open on a service until a file appears, so that deleting
// the service meanwhile only marks it for deletion:
//   scm_hold <service name> <ready file> <release file>
// Creates <ready file> once the handle is open, then polls for <release
// file> (up to 5 minutes), closes the handle and exits 0. Exit code: the
// Win32 error (low 8 bits) when the service cannot be opened.
#include <windows.h>

#include <cstdio>

int main(int argc, char **argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: scm_hold <service name> <ready file> <release file>\n");
    return 87;
  }
  SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!scm)
    return (int)GetLastError();
  SC_HANDLE service = OpenServiceA(scm, argv[1], SERVICE_QUERY_STATUS);
  if (!service) {
    int error = (int)GetLastError();
    CloseServiceHandle(scm);
    return error;
  }
  HANDLE ready = CreateFileA(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  if (ready != INVALID_HANDLE_VALUE)
    CloseHandle(ready);
  for (int i = 0; i < 3000 && GetFileAttributesA(argv[3]) == INVALID_FILE_ATTRIBUTES; ++i)
    Sleep(100);
  CloseServiceHandle(service);
  CloseServiceHandle(scm);
  return 0;
}
