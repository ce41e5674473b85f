// Fuzz target: resolveDirectory (and the stand-in's GetFullPathNameA behind
// it) on arbitrary path text. Whatever it accepts must be a canonical
// absolute path of fewer than 260 characters: on drive Z: (the only drive
// here), backslashes only, no empty, "." or ".." component, and no separator
// at the end except the root's own ("Z:\").
#include "instance/instance_paths.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {
void check(bool condition) {
  if (!condition)
    abort();
}

void checkCanonical(const char *path) {
  size_t length = strlen(path);
  check(length < 260);
  check(length >= 3 && (path[0] == 'Z' || path[0] == 'z') && path[1] == ':' && path[2] == '\\');
  check(!strchr(path, '/'));
  check(length == 3 || path[length - 1] != '\\');
  std::string rest(path + 3);
  size_t start = 0;
  while (start < rest.size()) {
    size_t end = rest.find('\\', start);
    if (end == std::string::npos)
      end = rest.size();
    std::string name = rest.substr(start, end - start);
    check(!name.empty());
    check(name != "." && name != "..");
    start = end + 1;
  }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 2048)
    return 0;
  std::string path(reinterpret_cast<const char *>(data), size);
  path = path.c_str(); // up to the first NUL, as a C string
  char *resolved = resolveDirectory(path.c_str());
  if (resolved) {
    checkCanonical(resolved);
    free(resolved);
  }
  check(isSafePath(path.c_str()) == (path.find("..") == std::string::npos));
  return 0;
}
