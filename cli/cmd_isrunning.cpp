// `isrunning <instance dir>`: answers from the server's lock file.
#include "commands.h"

#include "../instance/instance_paths.h"
#include "../instance/lock_probe.h"

int runIsRunning(char *argv[]) {
  if (!initInstanceDir(argv[2]))
    return -1;
  int32_t running = 0;
  int exitCode;
  if (isServerRunning(&running, 1) != 0) {
    fputs("Could not determine if the server is running.\n", stdout);
    exitCode = 2;
  } else if (running) {
    fputs("true\n", stdout);
    exitCode = 0;
  } else {
    fputs("false\n", stdout);
    exitCode = 1;
  }
  freeInstancePaths();
  return exitCode;
}
