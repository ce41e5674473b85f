// `start <instance dir>`: the service process. Not built yet: it refuses.
#include "commands.h"

#include "../diag/debug_log.h"

int runStart(char *[]) {
  debugError("startService: the service runtime is not part of this build.");
  return 1;
}
