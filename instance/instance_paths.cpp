// The installation directory and the instance root.
//
// instanceDir is set once, before any other thread exists, and is read-only
// afterwards. instanceRoot is shared by every thread of the service: it is
// read with acquire ordering, a resolved copy is published only by a
// sequentially consistent compare-and-swap from null, and the fallback to
// instanceDir is a plain atomic store (an exchange, so that a copy it
// replaces can be kept). No lock is held anywhere in this file.
#include "instance_paths.h"

#include "../diag/debug_log.h"
#include "../diag/event_log.h"

char *instanceDir = nullptr;
std::atomic<char *> instanceRoot{nullptr};
std::atomic<int32_t> instanceRootWarned{0};

namespace {
// Buffer sizes, terminator included.
constexpr size_t kPathSize = 260;      // a resolved path, the instance.loc path, its first line
constexpr size_t kCandidateSize = 520; // the candidate root and the warning text
// "\instance.loc" plus the terminator must fit a path buffer.
constexpr size_t kLongestDirForLocation = kPathSize - 1 - 13 - 1;
static_assert(kLongestDirForLocation == 245, "instanceDir may have up to 245 characters");

// A root copy that a fallback store replaced after it had been published and
// possibly handed out. Kept until freeInstancePaths so no caller ever holds a
// freed string. One slot is enough: once instanceRoot is non-null only the
// fallback store changes it, and it only ever stores instanceDir, so at most
// one copy per settling can be replaced, and one thread receives it.
std::atomic<char *> replacedInstanceRoot{nullptr};

// The fallback: the installation directory is the root.
char *settleOnInstanceDir() {
  char *dir = instanceDir;
  char *previous = instanceRoot.exchange(dir);
  if (previous && previous != dir) {
    char *expected = nullptr;
    if (!replacedInstanceRoot.compare_exchange_strong(expected, previous)) {
      // Cannot happen (see above); leaking beats freeing a live string.
      debugError("getInstanceRoot: a replaced root copy could not be kept.");
    }
  }
  return dir;
}

char *copyString(const char *text) {
  size_t size = strlen(text) + 1;
  char *copy = static_cast<char *>(malloc(size));
  if (copy)
    memcpy(copy, text, size);
  return copy;
}

// Once per process (until a report fails), tells the event log that the
// root named by instance.loc cannot be resolved and that the installation
// directory is probed meanwhile.
void warnUnresolvedRoot(const char *locationPath, const char *dir) {
  int32_t expected = 0;
  if (!instanceRootWarned.compare_exchange_strong(expected, 1))
    return;
  char text[kCandidateSize];
  // A text that does not fit is cut to 519 characters and sent as it is.
  boundedFormat(text, sizeof text,
                "Could not resolve the Velkor instance root from '%s'; probing the install root "
                "'%s' until the instance root becomes available.",
                locationPath, dir);
  LPCSTR strings[1] = {text};
  if (!ReportEventA(eventSource, EVENTLOG_WARNING_TYPE, EVENT_CATEGORY, MSG_GENERIC, nullptr, 1,
                    0, strings, nullptr))
    instanceRootWarned.exchange(0); // a later call tries again
}

} // namespace

size_t rootLength(const char *path) {
  if (path[0] && path[1] == ':')
    return 3;
  if (path[0] != '\\' || path[1] != '\\')
    return 0;
  size_t at = 2;
  int names = 2; // server and share
  if ((path[2] == '?' || path[2] == '.') && path[3] == '\\') {
    at = 4;
    bool unc = (path[4] == 'U' || path[4] == 'u') && (path[5] == 'N' || path[5] == 'n') &&
               (path[6] == 'C' || path[6] == 'c') && path[7] == '\\';
    if (unc)
      at = 8;
    else
      names = 1; // a volume
  }
  for (; names > 0; --names) {
    while (path[at] && path[at] != '\\')
      at += characterLength(path + at);
    if (!path[at])
      return at + 1; // the root's separator is still to come
    ++at;
  }
  return at;
}

bool settleDirectoryEnd(char *path, size_t size) {
  size_t root = rootLength(path);
  size_t length = strlen(path);
  // The end of the last character that is not a separator.
  size_t kept = 0;
  for (size_t at = 0; path[at];) {
    size_t character = characterLength(path + at);
    if (character == 2 || path[at] != '\\')
      kept = at + character;
    at += character;
  }
  if (kept < root)
    kept = root < length ? root : length;
  path[kept] = 0;
  length = kept;
  if (root == length + 1) {
    if (length + 2 > size)
      return false;
    path[length] = '\\';
    path[length + 1] = 0;
  }
  return true;
}

bool endsInSeparator(const char *path) {
  bool separator = false;
  for (size_t at = 0; path[at];) {
    size_t character = characterLength(path + at);
    separator = character == 1 && path[at] == '\\';
    at += character;
  }
  return separator;
}

const char *separatorAfter(const char *dir) { return endsInSeparator(dir) ? "" : "\\"; }

bool isSafePath(const char *path) { return path && !strstr(path, ".."); }

bool isDriveRelative(const char *path) {
  return path[0] && path[1] == ':' && path[2] != '\\' && path[2] != '/';
}

char *resolveDirectory(const char *path) {
  if (!path)
    return nullptr;
  // A bare "D:" would mean that drive's current directory, the process's
  // own; "D:sub" goes on to GetFullPathNameA as the user meant it.
  if (path[0] && path[1] == ':' && !path[2]) {
    debugError("The path '%s' is drive-relative.", path);
    return nullptr;
  }
  char resolved[kPathSize];
  DWORD length = GetFullPathNameA(path, (DWORD)sizeof resolved, resolved, nullptr);
  if (length == 0) {
    int error = (int)GetLastError();
    debugError("Could not resolve the path '%s'.  Last error = %d.", path, error);
    return nullptr;
  }
  // A root that ends without its separator needs one more character.
  if (length >= kPathSize || !settleDirectoryEnd(resolved, sizeof resolved)) {
    debugError("The resolved form of the path '%s' is too long (%d chars).", path,
               (int)(length >= kPathSize ? length : length + 2));
    return nullptr;
  }
  DWORD attributes = GetFileAttributesA(resolved);
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    debugError("The path '%s' is not an existing directory.", resolved);
    return nullptr;
  }
  return copyString(resolved);
}

int initInstanceDir(const char *path) {
  instanceDir = resolveDirectory(path);
  if (!instanceDir) {
    printf("The instance dir '%s' is not valid.\n", path);
    return 0;
  }
  getInstanceRoot(); // settles the root for the threads to come
  return 1;
}

size_t trimRootLine(char *line) {
  size_t length = strlen(line);
  while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r' ||
                        line[length - 1] == ' ' || line[length - 1] == '\t'))
    line[--length] = 0;
  return length;
}

bool isAbsoluteRootLine(const char *line) {
  return (line[0] && line[1] == ':') || (line[0] == '\\' && line[1] == '\\');
}

void buildCandidateRoot(const char *dir, const char *line, char *candidate, size_t size) {
  if (isAbsoluteRootLine(line))
    boundedFormat(candidate, size, "%s", line);
  else
    boundedFormat(candidate, size, "%s%s%s", dir, separatorAfter(dir), line);
}

char *getInstanceRoot() {
  char *root = instanceRoot.load(std::memory_order_acquire);
  if (root)
    return root;
  char *dir = instanceDir;
  if (!isSafePath(dir) || strlen(dir) > kLongestDirForLocation)
    return settleOnInstanceDir();

  char locationPath[kPathSize];
  boundedFormat(locationPath, sizeof locationPath, "%s%sinstance.loc", dir, separatorAfter(dir));
  // Not inherited: no child created meanwhile keeps it open.
  int fd = _sopen(locationPath, _O_RDONLY | _O_TEXT | _O_NOINHERIT, _SH_DENYNO);
  if (fd < 0)
    return settleOnInstanceDir();
  FILE *file = _fdopen(fd, "r");
  if (!file) {
    _close(fd);
    return settleOnInstanceDir();
  }
  char line[kPathSize];
  if (!fgets(line, sizeof line, file) || trimRootLine(line) == 0) {
    fclose(file);
    return settleOnInstanceDir();
  }

  char candidate[kCandidateSize];
  // "D:inst" is taken from the root of its drive, D:\inst, in every
  // process: a service process has no current directory on D:, so that is
  // what it always got, and a command must probe the same root.
  bool driveRelative = isDriveRelative(line);
  if (driveRelative)
    boundedFormat(candidate, sizeof candidate, "%.2s\\%s", line, line + 2);
  else
    buildCandidateRoot(dir, line, candidate, sizeof candidate);
  char *resolved = resolveDirectory(candidate);
  if (!resolved) {
    debugError("Could not resolve the instance root '%s' read from '%s'.", candidate,
               locationPath);
    fclose(file);
    warnUnresolvedRoot(locationPath, dir);
    return dir; // not cached: the next call reads instance.loc again
  }
  if (driveRelative)
    debug("Warning: the instance root '%s' read from '%s' is drive-relative; it is taken from "
          "the root of its drive: '%s'.",
          line, locationPath, resolved);
  debug("Instance root resolved from '%s': '%s'.", locationPath, resolved);
  fclose(file);
  char *expected = nullptr;
  if (instanceRoot.compare_exchange_strong(expected, resolved, std::memory_order_seq_cst))
    return resolved;
  free(resolved); // another thread settled first: everyone shares its value
  return expected;
}

void freeInstancePaths() {
  char *root = instanceRoot.exchange(nullptr);
  if (root && root != instanceDir)
    free(root);
  free(replacedInstanceRoot.exchange(nullptr));
  free(instanceDir);
  instanceDir = nullptr;
}
