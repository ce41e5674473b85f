// Fuzz target: the first line of instance.loc. Each input is written as the
// file of a scratch installation (which has a subdirectory "inst" and a
// sibling "sib" to resolve to), and the root is settled from it. The root
// must always be instanceDir itself or a canonical existing directory, stay
// the same on the next call, and be released cleanly. The trimming and the
// candidate built from the line are checked on their own as well.
#include "instance/instance_paths.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {
void check(bool condition) {
  if (!condition)
    abort();
}

std::string scratchRoot;   // POSIX
std::string installWin;    // Windows form of <scratch>/install

void setUp() {
  const char *tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/velkor-fuzz-XXXXXX";
  check(mkdtemp(&pattern[0]) != nullptr);
  scratchRoot = pattern;
  for (const char *sub : {"/install", "/install/inst", "/sib"})
    check(mkdir((scratchRoot + sub).c_str(), 0777) == 0);
  installWin = "Z:" + scratchRoot + "/install";
  for (char &c : installWin)
    if (c == '/')
      c = '\\';
}

void checkLineHandling(const uint8_t *data, size_t size) {
  char line[260];
  size_t length = 0;
  while (length < size && length < 259 && data[length] != '\n' && data[length] != 0) {
    line[length] = (char)data[length];
    ++length;
  }
  line[length] = 0;
  size_t kept = trimRootLine(line);
  check(kept == strlen(line) && kept <= length);
  if (kept > 0)
    check(!strchr("\n\r \t", line[kept - 1]));
  char candidate[520];
  buildCandidateRoot(installWin.c_str(), line, candidate, sizeof candidate);
  if (isAbsoluteRootLine(line))
    check(strcmp(candidate, line) == 0);
  else
    check(std::string(candidate) == installWin + "\\" + line);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 4096)
    return 0;
  if (scratchRoot.empty())
    setUp();
  checkLineHandling(data, size);

  FILE *file = fopen((scratchRoot + "/install/instance.loc").c_str(), "wb");
  check(file != nullptr);
  check(fwrite(data, 1, size, file) == size);
  fclose(file);

  check(initInstanceDir(installWin.c_str()) == 1);
  check(strcmp(instanceDir, installWin.c_str()) == 0);
  char *root = getInstanceRoot();
  check(root != nullptr);
  char *cached = instanceRoot.load();
  if (cached) {
    check(root == cached);
    check(getInstanceRoot() == root);
    if (root != instanceDir) {
      // The drive letter keeps the case it was written in ("z://" gives "z:\").
      check(strlen(root) < 260 && (root[0] == 'Z' || root[0] == 'z') &&
            strncmp(root + 1, ":\\", 2) == 0);
      struct stat info;
      std::string posix = root + 2;
      for (char &c : posix)
        if (c == '\\')
          c = '/';
      check(stat(posix.c_str(), &info) == 0 && S_ISDIR(info.st_mode));
    }
  } else {
    check(root == instanceDir); // probing: the named root does not exist
  }
  freeInstancePaths();
  check(instanceDir == nullptr && instanceRoot.load() == nullptr);
  return 0;
}
