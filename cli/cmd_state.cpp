// `state <instance dir>`: prints the name of the instance's service, if any.
#include "commands.h"

#include "../diag/debug_log.h"
#include "../instance/instance_paths.h"
#include "../scm/service_lookup.h"

int runState(char *argv[]) {
  if (!initInstanceDir(argv[2]))
    return -1;
  char serviceName[kServiceNameSize] = "";
  char cmdToRun[kCmdToRunSize] = "";
  debug("Getting service state.");
  int built = createServiceBinPath(cmdToRun);
  debug("Created the service bin path. code=%d.  cmdToRun='%s'.", built, cmdToRun);
  int exitCode;
  if (built != 0) {
    debug("An error occurred getting the service status.");
    exitCode = 2;
  } else {
    switch (getServiceName(cmdToRun, serviceName)) {
    case 0:
      printf("%s", serviceName);
      debug("Service '%s' is enabled.", serviceName);
      exitCode = 0;
      break;
    case 7:
      debug("Could not determine the state of the service: no service list.");
      exitCode = 2;
      break;
    default:
      debug("Service '%s' is disabled.", serviceName);
      exitCode = 1;
    }
  }
  freeInstancePaths();
  return exitCode;
}
