// Service identity: a service belongs to an instance when its configured
// command line equals cmdToRun, "\"<program>\" start \"<instance dir>\"", each
// path quoted so that the started program receives it unchanged (a root's
// closing backslash is doubled: start "D:\\").
#pragma once

#include "../platform/win32.h"

constexpr size_t kCmdToRunSize = 2048;
constexpr size_t kServiceNameSize = 256;

// One Win32 service: heap copies of its names and its command line
// (binaryPath null when unreadable).
struct ServiceRecord {
  char *serviceName;
  char *displayName;
  char *binaryPath;
};

// Writes cmdToRun for the current instanceDir into out (kCmdToRunSize): 0, or 1.
// Registration, the subcommands' lookups and the service's own lookup all
// build it here, so one directory always gives one command line.
int createServiceBinPath(char *out);
// Lists every Win32 service with its command line: 0 (count set, list set when
// count > 0), or 1 (nothing written).
int getServiceList(ServiceRecord **list, int *count);
// Releases a list from getServiceList.
void freeServiceList(ServiceRecord *list, int count);
// Finds the service whose command line is cmdToRun; out (kServiceNameSize)
// receives its name. 0 found, 1 none, 7 no service list, 8 none but some unreadable.
int getServiceName(const char *cmdToRun, char *out);
// 1 listing failed, 2 a service has exactly this name, 3 free.
int isServiceNameInUse(const char *name);
