// Placeholder until directory resolution is built: every directory is refused.
#include "instance_paths.h"

#include "../diag/debug_log.h"

char *instanceDir = nullptr;
std::atomic<char *> instanceRoot{nullptr};
std::atomic<int32_t> instanceRootWarned{0};

char *resolveDirectory(const char *path) {
  debugError("resolveDirectory('%s'): not part of this build.", path ? path : "");
  return nullptr;
}

bool isSafePath(const char *path) { return path && !strstr(path, ".."); }

int initInstanceDir(const char *path) {
  instanceDir = resolveDirectory(path);
  if (!instanceDir) {
    printf("The instance dir '%s' is not valid.\n", path);
    return 0;
  }
  return 1;
}

char *getInstanceRoot() { return instanceDir; }

void freeInstancePaths() {
  free(instanceDir);
  instanceDir = nullptr;
}
