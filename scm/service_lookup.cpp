// Placeholder until the service lookup is built: listing always fails.
#include "service_lookup.h"

#include "../diag/debug_log.h"

int createServiceBinPath(char *) {
  debugError("createServiceBinPath: not part of this build.");
  return 1;
}

int getServiceList(ServiceRecord **, int *) {
  debugError("getServiceList: not part of this build.");
  return 1;
}

void freeServiceList(ServiceRecord *, int) {}

int getServiceName(const char *, char *out) {
  out[0] = 0;
  debugError("getServiceName: not part of this build.");
  return 7;
}

int isServiceNameInUse(const char *) {
  debugError("isServiceNameInUse: not part of this build.");
  return 1;
}
