// `remove <instance dir>` and `cleanup <service name>`: stop and delete a
// service, found by the instance's command line or by name.
#include "commands.h"

#include "../diag/debug_log.h"
#include "../instance/instance_paths.h"
#include "../scm/service_lookup.h"
#include "../scm/service_remove.h"

int runRemove(char *argv[]) {
  if (!initInstanceDir(argv[2]))
    return -1;
  debug("removeService");
  char cmdToRun[kCmdToRunSize] = "";
  char serviceName[kServiceNameSize] = "";
  int result;
  if (createServiceBinPath(cmdToRun) != 0) {
    result = 3;
  } else {
    switch (getServiceName(cmdToRun, serviceName)) {
    case 0:
      result = removeServiceWithName(serviceName);
      break;
    case 1:
      result = 1;
      break;
    default: // 7 and 8: the lookup could not tell
      result = 3;
    }
  }
  debug("removeService returning %d.", result);
  freeInstancePaths();
  return result;
}

int runCleanup(char *argv[]) { return removeServiceWithName(argv[2]); }
