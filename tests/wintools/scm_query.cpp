// Prints what the SCM holds for one service, one "key=value" a line:
//   scm_query <service name>
// type, start, error, binary, account, display (QueryServiceConfigA),
// description and preshutdown (the preshutdown timeout in ms) (QueryServiceConfig2A). Exit code 0; when a call fails, it
// prints "error=<Win32 error>" (the service does not exist: 1060) and exits 1.
#include <windows.h>

#include <cstdio>
#include <vector>

int main(int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: scm_query <service name>\n");
    return 87;
  }
  SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!scm) {
    printf("error=%lu\n", (unsigned long)GetLastError());
    return 1;
  }
  SC_HANDLE service = OpenServiceA(scm, argv[1], SERVICE_QUERY_CONFIG);
  if (!service) {
    printf("error=%lu\n", (unsigned long)GetLastError());
    CloseServiceHandle(scm);
    return 1;
  }
  int result = 0;
  DWORD needed = 0;
  QueryServiceConfigA(service, nullptr, 0, &needed);
  std::vector<char> config(needed ? needed : 1);
  DWORD needed2 = 0;
  QueryServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, nullptr, 0, &needed2);
  std::vector<char> description(needed2 > sizeof(SERVICE_DESCRIPTIONA) ? needed2 : sizeof(SERVICE_DESCRIPTIONA) + 1);
  auto *c = reinterpret_cast<QUERY_SERVICE_CONFIGA *>(config.data());
  auto *d = reinterpret_cast<SERVICE_DESCRIPTIONA *>(description.data());
  SERVICE_PRESHUTDOWN_INFO preshutdown = {};
  DWORD needed3 = 0;
  if (!QueryServiceConfigA(service, c, (DWORD)config.size(), &needed) ||
      !QueryServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, reinterpret_cast<BYTE *>(d),
                            (DWORD)description.size(), &needed2) ||
      !QueryServiceConfig2A(service, SERVICE_CONFIG_PRESHUTDOWN_INFO,
                            reinterpret_cast<BYTE *>(&preshutdown), sizeof preshutdown,
                            &needed3)) {
    printf("error=%lu\n", (unsigned long)GetLastError());
    result = 1;
  } else {
    printf("type=0x%lx\n", (unsigned long)c->dwServiceType);
    printf("start=%lu\n", (unsigned long)c->dwStartType);
    printf("error=%lu\n", (unsigned long)c->dwErrorControl);
    printf("binary=%s\n", c->lpBinaryPathName ? c->lpBinaryPathName : "");
    printf("account=%s\n", c->lpServiceStartName ? c->lpServiceStartName : "");
    printf("display=%s\n", c->lpDisplayName ? c->lpDisplayName : "");
    printf("description=%s\n", d->lpDescription ? d->lpDescription : "");
    printf("preshutdown=%lu\n", (unsigned long)preshutdown.dwPreshutdownTimeout);
  }
  CloseServiceHandle(service);
  CloseServiceHandle(scm);
  return result;
}
