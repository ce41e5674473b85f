// Service identity and lookup. A service is never remembered by name: the
// service of an instance is the Win32 service whose configured command line
// equals cmdToRun. Every lookup lists all Win32 services anew, with one open,
// one configuration query and one close per service; nothing is cached.
//
// Runs on the caller's thread only (main thread for the subcommands, the
// service thread at start); the only process-wide value read is instanceDir,
// which is set before and not changed during these calls.
#include "service_lookup.h"

#include "../diag/debug_log.h"
#include "../instance/instance_paths.h"

namespace {
constexpr DWORD kConfigBufferSize = 4096;

// Reads one service's configured command line into out (kCmdToRunSize) on the
// listing's SCM handle: 0, or 1 when it cannot be opened or queried or is too
// long. The configuration buffer starts at 4096 bytes and grows by what the
// SCM reports as needed.
int getBinaryPathName(SC_HANDLE scm, const char *serviceName, char *out) {
  DWORD size = kConfigBufferSize;
  char *buffer = static_cast<char *>(malloc(size));
  if (!buffer) {
    debugError("getBinaryPathName: could not allocate the configuration buffer.");
    return 1;
  }
  SC_HANDLE service = OpenServiceA(scm, serviceName, SERVICE_QUERY_CONFIG);
  if (!service) {
    debugError("getBinaryPathName: Failed to open the service '%s'.", serviceName);
    free(buffer);
    return 1;
  }
  int result = 1;
  bool queried = false;
  for (;;) {
    DWORD needed = 0;
    if (QueryServiceConfigA(service, reinterpret_cast<LPQUERY_SERVICE_CONFIGA>(buffer), size,
                            &needed)) {
      queried = true;
      break;
    }
    DWORD error = GetLastError();
    // A report of nothing needed, or a size that would wrap, cannot make the
    // next query succeed: treat it like any other failure.
    if (error != ERROR_INSUFFICIENT_BUFFER || needed == 0 || size > 0xFFFFFFFFu - needed) {
      debug("getBinaryPathName: error calling QueryServiceConfig. Code [%d]", (int)error);
      break;
    }
    char *larger = static_cast<char *>(realloc(buffer, size + needed));
    if (!larger) {
      debugError("getBinaryPathName: could not enlarge the configuration buffer.");
      break;
    }
    buffer = larger;
    size += needed;
  }
  if (queried) {
    const char *binaryPath = reinterpret_cast<LPQUERY_SERVICE_CONFIGA>(buffer)->lpBinaryPathName;
    if (!binaryPath)
      binaryPath = "";
    size_t length = strlen(binaryPath);
    if (length >= kCmdToRunSize) {
      debug("getBinaryPathName: the length of the binary path name is too big. "
            "serviceName='%s', binaryPath='%s'",
            serviceName, binaryPath);
    } else {
      memcpy(out, binaryPath, length + 1);
      result = 0;
    }
  }
  if (!CloseServiceHandle(service))
    debug("getBinaryPathName: error closing handle of service. Code [%d]", (int)GetLastError());
  free(buffer);
  return result;
}

// Equal when every character is equal, the ASCII letters A-Z matching their
// lower case; no locale, no path normalisation, no trimming. Read by
// character: a double-byte character's trail byte (0x40-0xFC in code page
// 932, letters among them) is compared as it is.
bool sameCommandLine(const char *a, const char *b) {
  for (;;) {
    size_t character = characterLength(a);
    if (character == 2 || characterLength(b) == 2) {
      if (a[0] != b[0] || a[1] != b[1])
        return false;
      a += 2;
      b += 2;
      continue;
    }
    unsigned char x = (unsigned char)*a++;
    unsigned char y = (unsigned char)*b++;
    if (x >= 'A' && x <= 'Z')
      x = (unsigned char)(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z')
      y = (unsigned char)(y - 'A' + 'a');
    if (x != y)
      return false;
    if (x == 0)
      return true;
  }
}

// Whether `line` equals `prefix` followed by `text` between plain double
// quotes, ASCII letter case aside (as sameCommandLine), `drop` characters of
// text's end left out and `extra` appended.
bool isQuotedForm(const char *line, const char *prefix, size_t prefixLength, const char *text,
                  size_t textLength, const char *extra) {
  char form[kCmdToRunSize];
  if (prefixLength + textLength + strlen(extra) + 2 >= sizeof form)
    return false;
  boundedFormat(form, sizeof form, "%.*s\"%.*s%s\"", (int)prefixLength, prefix, (int)textLength,
                text, extra);
  return sameCommandLine(line, form);
}

// Appends count copies of c to out at *at, keeping room for the terminator.
bool putChars(char *out, size_t size, size_t *at, char c, size_t count) {
  if (count >= size || *at + count >= size)
    return false;
  memset(out + *at, c, count);
  *at += count;
  return true;
}

// Writes text between double quotes into out so that Windows' argument rules
// (learn.microsoft.com/cpp/c-language/parsing-c-command-line-arguments: 2n
// backslashes before a quote give n and end the argument, 2n+1 give n and a
// literal quote) hand it back unchanged: a run of backslashes that meets a
// quote (the closing one, or a quote in the text) is doubled, and a quote in
// the text is escaped. The text is read by character (characterLength). Other backslashes stay single: D:\srv is written "D:\srv", the
// root D:\ is written "D:\\". The length written, or -1 when it does not fit
// in size (out is then not terminated).
int quoteArgument(const char *text, char *out, size_t size) {
  size_t at = 0;
  if (!putChars(out, size, &at, '"', 1))
    return -1;
  for (const char *p = text;; ++p) {
    size_t backslashes = 0;
    while (p[backslashes] == '\\')
      ++backslashes;
    p += backslashes;
    if (*p == 0 || *p == '"') {
      // Doubled, they stay backslashes; one more escapes a quote of the text.
      if (!putChars(out, size, &at, '\\', backslashes * 2 + (*p == '"' ? 1 : 0)))
        return -1;
      if (*p == 0)
        break;
    } else if (!putChars(out, size, &at, '\\', backslashes)) {
      return -1;
    }
    // A whole character: the trail byte of a double-byte one is never a
    // backslash, whatever its value.
    size_t character = characterLength(p);
    if (!putChars(out, size, &at, p[0], 1) || (character == 2 && !putChars(out, size, &at, p[1], 1)))
      return -1;
    p += character - 1;
  }
  if (!putChars(out, size, &at, '"', 1))
    return -1;
  out[at] = 0;
  return (int)at;
}
} // namespace

int matchServiceLine(const char *line, const char *cmdToRun, const char *dir) {
  if (sameCommandLine(line, cmdToRun))
    return kCurrentLine;
  // The earlier lines differ from cmdToRun only in the quoting of the
  // directory, its last argument: the program's part is the same.
  char quotedDir[kCmdToRunSize];
  int quotedLength = quoteArgument(dir, quotedDir, sizeof quotedDir);
  size_t lineLength = strlen(cmdToRun);
  if (quotedLength < 0 || (size_t)quotedLength + 1 > lineLength ||
      strcmp(cmdToRun + lineLength - quotedLength, quotedDir) != 0 ||
      cmdToRun[lineLength - quotedLength - 1] != ' ')
    return kOtherLine;
  size_t prefixLength = lineLength - (size_t)quotedLength;
  size_t dirLength = strlen(dir);
  size_t root = rootLength(dir);
  bool isRoot = root == dirLength;
  bool isShareRoot = isRoot && dir[0] == '\\' && dir[1] == '\\' && dir[2] != '?' && dir[2] != '.';
  // The directory between plain quotes, as GetFullPathNameA gave it: every
  // directory as it settles ("C:\Inst", "D:\", "\\server\share\"), one that is
  // no root also with one closing separator ("C:\Inst\"; runs of separators
  // fold into one), a share root also without its closing one
  // ("\\server\share").
  if (isQuotedForm(line, cmdToRun, prefixLength, dir, dirLength, ""))
    return kEarlierLine;
  if (!isRoot && isQuotedForm(line, cmdToRun, prefixLength, dir, dirLength, "\\"))
    return kEarlierLine;
  if (isShareRoot && isQuotedForm(line, cmdToRun, prefixLength, dir, dirLength - 1, ""))
    return kEarlierLine;
  return kOtherLine;
}

int createServiceBinPath(char *out) {
  char path[MAX_PATH];
  DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (length == 0) {
    debug("Could not get the path of the executable file.");
    return 1;
  }
  path[MAX_PATH - 1] = 0; // older systems leave a path that fills the buffer unterminated
  debug("When determining the service bin path, the module file name is '%s'.", path);
  if (length == MAX_PATH) {
    debug("The name of the module file is too long.");
    return 1;
  }
  if (!instanceDir) {
    debugError("createServiceBinPath: the instance dir is not set.");
    return 1;
  }
  // The command line is checked before it is built and never cut. A root
  // ("D:\") ends in a backslash that its quoting doubles.
  char quotedPath[kCmdToRunSize];
  char quotedDir[kCmdToRunSize];
  int pathLength = quoteArgument(path, quotedPath, sizeof quotedPath);
  int dirLength = quoteArgument(instanceDir, quotedDir, sizeof quotedDir);
  if (pathLength >= 0 && dirLength >= 0 &&
      (size_t)pathLength + (size_t)dirLength + 7 < kCmdToRunSize) {
    boundedFormat(out, kCmdToRunSize, "%s start %s", quotedPath, quotedDir);
    return 0;
  }
  debug("The name of the resulting windows service command is too long.\n");
  printf("The name of the resulting windows service command is too long.\n");
  return 1;
}

int getServiceList(ServiceRecord **list, int *count) {
  SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE);
  if (!scm) {
    debugError("Failed to open the Service Control Manager.  Last error = %d", (int)GetLastError());
    debug("getServiceList: error opening scm.");
    return 1;
  }
  debug("Successfully opened the Service Control Manager.");

  // First pass: room for one record and none of its strings, to learn the
  // size needed. Second pass: that size plus one record's worth of slack for
  // services added in between. There is no third pass.
  ENUM_SERVICE_STATUSA first;
  memset(&first, 0, sizeof first);
  ENUM_SERVICE_STATUSA *records = &first;
  char *buffer = nullptr;
  DWORD bytesNeeded = 0;
  DWORD returned = 0;
  DWORD resumeHandle = 0;
  if (!EnumServicesStatusA(scm, SERVICE_WIN32, SERVICE_STATE_ALL, &first, sizeof first,
                           &bytesNeeded, &returned, &resumeHandle)) {
    DWORD error = GetLastError();
    if (error != ERROR_MORE_DATA) {
      debug("getServiceList: generic error. Code [%d]", (int)error);
      CloseServiceHandle(scm);
      return 1;
    }
    DWORD size = bytesNeeded + (DWORD)sizeof(ENUM_SERVICE_STATUSA);
    buffer = static_cast<char *>(calloc(1, size));
    if (!buffer) {
      debugError("getServiceList: could not allocate %d bytes for the service list.", (int)size);
      CloseServiceHandle(scm);
      return 1;
    }
    if (!EnumServicesStatusA(scm, SERVICE_WIN32, SERVICE_STATE_ALL,
                             reinterpret_cast<LPENUM_SERVICE_STATUSA>(buffer), size, &bytesNeeded,
                             &returned, &resumeHandle)) {
      error = GetLastError();
      if (error == ERROR_MORE_DATA)
        debug("getServiceList: buffer error");
      else
        debug("getServiceList: second try generic error. Code [%d]", (int)error);
      CloseServiceHandle(scm);
      free(buffer);
      return 1;
    }
    records = reinterpret_cast<ENUM_SERVICE_STATUSA *>(buffer);
  }

  ServiceRecord *array = nullptr;
  if (returned > 0) {
    array = static_cast<ServiceRecord *>(calloc(returned, sizeof(ServiceRecord)));
    if (!array) {
      debugError("getServiceList: could not allocate the list of %d services.", (int)returned);
      CloseServiceHandle(scm);
      free(buffer);
      return 1;
    }
    char binaryPath[kCmdToRunSize];
    for (DWORD i = 0; i < returned; ++i) {
      const char *name = records[i].lpServiceName ? records[i].lpServiceName : "";
      array[i].serviceName = strdup(name);
      array[i].displayName = strdup(records[i].lpDisplayName ? records[i].lpDisplayName : "");
      if (getBinaryPathName(scm, name, binaryPath) == 0)
        array[i].binaryPath = strdup(binaryPath);
      else
        debug("Error getting binary path name of service: %s", name);
    }
  }
  *count = (int)returned;
  if (returned > 0)
    *list = array;
  CloseServiceHandle(scm);
  free(buffer);
  return 0;
}

void freeServiceList(ServiceRecord *list, int count) {
  if (!list)
    return;
  for (int i = 0; i < count; ++i) {
    free(list[i].serviceName);
    free(list[i].displayName);
    free(list[i].binaryPath);
  }
  free(list);
}

void copyServiceName(char *out, const char *name) {
  size_t at = 0;
  while (name[at] && at + characterLength(name + at) < kServiceNameSize)
    at += characterLength(name + at);
  memcpy(out, name, at);
  out[at] = 0;
}

int getServiceName(const char *cmdToRun, char *out, ServiceMatch *all, int *allCount) {
  out[0] = 0;
  if (allCount)
    *allCount = 0;
  debug("Attempting to get the service name assuming command to run is '%s'.", cmdToRun);
  ServiceRecord *list = nullptr;
  int count = -1;
  int result;
  if (getServiceList(&list, &count) != 0) {
    debug("getServiceName: could not get service list.");
    result = 7;
  } else {
    int unreadable = 0;
    int found = -1;
    int foundForm = kOtherLine;
    for (int i = 0; i < count; ++i) {
      if (!list[i].binaryPath) {
        ++unreadable;
        continue;
      }
      int lineForm = instanceDir ? matchServiceLine(list[i].binaryPath, cmdToRun, instanceDir)
                                 : (sameCommandLine(list[i].binaryPath, cmdToRun) ? kCurrentLine
                                                                                  : kOtherLine);
      if (lineForm == kOtherLine)
        continue;
      const char *name = list[i].serviceName;
      if (all && name && strlen(name) < kServiceNameSize) {
        if (*allCount < kMaxServiceMatches) {
          memcpy(all[*allCount].name, name, strlen(name) + 1);
          all[*allCount].form = lineForm;
        }
        ++*allCount;
      }
      // The first line in today's form wins; the first in an earlier form
      // is kept in case none comes. Without `all`, today's form ends the walk.
      if (found < 0 || (lineForm == kCurrentLine && foundForm != kCurrentLine)) {
        found = i;
        foundForm = lineForm;
      }
      if (lineForm == kCurrentLine && !all)
        break;
    }
    bool named = false;
    if (found >= 0) {
      const char *name = list[found].serviceName;
      if (foundForm == kEarlierLine)
        debug("getServiceName: the service '%s' has the command line of an earlier release: '%s'.",
              name ? name : "", list[found].binaryPath);
      if (!name) {
        debugError("getServiceName: the name of the matching service could not be copied.");
      } else if (strlen(name) < kServiceNameSize) {
        memcpy(out, name, strlen(name) + 1);
        named = true;
      } else {
        debug("The service name found is too long: '%s'", name);
      }
    }
    if (count > 0)
      freeServiceList(list, count);
    if (named) {
      result = 0;
    } else if (unreadable > 0) {
      debug("getServiceName: no match, but %d service(s) could not be read.", unreadable);
      result = 8;
    } else {
      result = 1;
    }
  }
  debug("The service name was found to be '%s'.", out);
  return result;
}

int isServiceNameInUse(const char *name) {
  debug("Determining if service name '%s' is in use.", name);
  ServiceRecord *list = nullptr;
  int count = -1;
  if (getServiceList(&list, &count) != 0) {
    debugError("Could not determine if the service name '%s' is in use because listing the "
               "services failed.",
               name);
    return 1;
  }
  if (count == 0)
    return 3;
  int result = 3;
  for (int i = 0; i < count; ++i) {
    if (!list[i].serviceName) {
      debug("The service name is NULL.\n");
      continue;
    }
    // Exact and case-sensitive, unlike the command-line comparison.
    if (strcmp(name, list[i].serviceName) == 0) {
      debug("The service name '%s' is in use.", name);
      result = 2;
      break;
    }
  }
  freeServiceList(list, count);
  return result;
}
