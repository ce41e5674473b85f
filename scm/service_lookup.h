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
// How a registered command line belongs to the installation in `dir` (a
// directory as resolveDirectory settles it) whose command line is cmdToRun
// (as createServiceBinPath builds it for dir):
//   kCurrentLine  it is cmdToRun, ASCII letter case aside;
//   kEarlierLine  it is the line an earlier release registered for a
//                 spelling that settles to dir: cmdToRun with dir between
//                 plain quotes and no escaping, as GetFullPathNameA gave it:
//                 dir itself ("D:\", "\\server\share\"), a directory that is no
//                 root with one closing separator ("C:\Inst\"), a share root
//                 without it ("\\server\share");
//   kOtherLine    anything else (another directory, another program, other
//                 arguments, a short or verbatim spelling).
enum { kOtherLine = 0, kCurrentLine = 1, kEarlierLine = 2 };
int matchServiceLine(const char *line, const char *cmdToRun, const char *dir);
// One registration of an installation: its service name and the form of
// its line (kCurrentLine or kEarlierLine).
struct ServiceMatch {
  char name[kServiceNameSize];
  int form;
};
constexpr int kMaxServiceMatches = 8;
// Finds the service of the installation whose command line is cmdToRun:
// its line is cmdToRun or, with instanceDir set, an earlier form of it
// (matchServiceLine); a line in today's form wins over an earlier one. out
// (kServiceNameSize) receives its name. With `all` (kMaxServiceMatches
// entries), every registration of the installation with a name that fits is
// listed there in enumeration order, the first kMaxServiceMatches of them,
// and *allCount counts them all.
// 0 found, 1 none, 7 no service list, 8 none but some unreadable.
int getServiceName(const char *cmdToRun, char *out, ServiceMatch *all = nullptr,
                   int *allCount = nullptr);
// Copies a service name into out (kServiceNameSize), cut to the whole
// characters that fit in 255 bytes: a double-byte character is never split,
// so the SCM keeps and lists back exactly this string.
void copyServiceName(char *out, const char *name);
// 1 listing failed, 2 a service has exactly this name, 3 free.
int isServiceNameInUse(const char *name);
