// Placeholder until service removal is built: removal fails.
#include "service_remove.h"

#include "../diag/debug_log.h"

int removeServiceWithName(const char *) {
  debugError("removeServiceWithName: not part of this build.");
  return 3;
}

int removeServiceFromScm(const char *) {
  debugError("removeServiceFromScm: not part of this build.");
  return 1;
}
