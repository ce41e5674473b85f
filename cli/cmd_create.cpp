// `create <instance dir> <service name> <description>`: registers the
// instance's service (unless it exists) and its event-log source.
#include "commands.h"

#include "../diag/debug_log.h"
#include "../diag/event_log.h"
#include "../instance/instance_paths.h"
#include "../scm/service_create.h"
#include "../scm/service_lookup.h"

int runCreate(char *argv[]) {
  if (!initInstanceDir(argv[2]))
    return -1;
  const char *displayName = argv[3];
  const char *description = argv[4];
  debug("Creating service displayName='%s' description='%s'.", displayName, description);

  char cmdToRun[kCmdToRunSize] = "";
  char serviceName[kServiceNameSize] = "";
  int result;
  const char *message = nullptr;
  int exitCode = 3;
  if (createServiceBinPath(cmdToRun) != 0) {
    debug("createService could not create bin path.");
    result = 3;
  } else if (getServiceName(cmdToRun, serviceName) == 0) {
    debug("Service '%s' already exists.", displayName);
    createEventLogKey(serviceName);
    message = "Service already exists.";
    exitCode = 1;
    result = 5;
  } else {
    debug("Could not find service '%s', so creating it now.", displayName);
    result = createServiceInScm(displayName, description, cmdToRun);
    if (result == 0) {
      int lookup = getServiceName(cmdToRun, serviceName);
      if (lookup == 0) {
        createEventLogKey(serviceName);
      } else {
        debug("Could not get a service name for command to run.");
        result = lookup;
      }
    }
  }
  if (!message) {
    switch (result) {
    case 0:
      message = "Service successfully created.";
      exitCode = 0;
      break;
    case 4:
      message = "Duplicated service name.";
      exitCode = 2;
      break;
    case 5:
      message = "Service already exists.";
      exitCode = 1;
      break;
    default:
      message = "Unexpected error creating service.";
      exitCode = 3;
    }
  }
  debug("%s", message);
  freeInstancePaths();
  return exitCode;
}
