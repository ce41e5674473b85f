// Placeholder until service creation is built: creation fails.
#include "service_create.h"

#include "../diag/debug_log.h"

int createServiceInScm(const char *, const char *, const char *) {
  debugError("createServiceInScm: not part of this build.");
  return 1;
}
