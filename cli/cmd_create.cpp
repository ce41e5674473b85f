// `create <instance dir> <service name> <description>`: registers the
// instance's service (unless it exists) and its event-log source.
#include "commands.h"

#include "../diag/debug_log.h"
#include "../diag/event_log.h"
#include "../instance/instance_paths.h"
#include "../scm/service_create.h"
#include "../scm/service_lookup.h"

namespace {
bool isSeparatorChar(char c) { return c == '\\' || c == '/'; }

// A directory given so that the service could never start from it: the
// message on standard output, true. The SCM runs a verbatim or device path
// ("\\?\", "\\.\") registered as such, but the service cannot start
// (measured under Wine); a drive-relative one ("D:sub") names a place under a
// current directory of this process only.
bool refuseSpelling(const char *argument) {
  if (isSeparatorChar(argument[0]) && isSeparatorChar(argument[1]) &&
      (argument[2] == '?' || argument[2] == '.') && isSeparatorChar(argument[3])) {
    printf("The directory '%s' has a '\\\\?\\' or '\\\\.\\' prefix, with which the service "
           "cannot start: give it without the prefix.\n",
           argument);
    return true;
  }
  if (isDriveRelative(argument)) {
    printf("The directory '%s' is drive-relative: it would depend on the current directory of "
           "drive %c:. Give the full path.\n",
           argument, argument[0]);
    return true;
  }
  return false;
}

// The SCM keeps the command line as REG_EXPAND_SZ and expands every
// %NAME% in it before it runs the service, which would then look for a
// command line that no service has. True (message printed) when the
// resolved directory has such a pair.
bool refuseExpansion(const char *dir) {
  const char *open = nullptr;
  for (const char *p = dir; *p; p += characterLength(p)) {
    if (*p != '%')
      continue;
    if (open && p > open + 1) {
      printf("The directory '%s' contains '%.*s', which the Service Control Manager would "
             "expand as an environment variable in the service's command line: the service "
             "could never find itself. Choose a directory without a %%NAME%% pair.\n",
             dir, (int)(p - open + 1), open);
      return true;
    }
    open = p;
  }
  return false;
}

// One warning line when the directory's drive is a network drive or a subst
// drive: those belong to a logon session, and a service running as
// LocalSystem does not see them ("Services and Redirected Drives").
void warnSessionDrive(const char *dir) {
  if (!dir[0] || dir[1] != ':')
    return;
  char root[4] = {dir[0], ':', '\\', 0};
  char device[3] = {dir[0], ':', 0};
  UINT type = GetDriveTypeA(root);
  debug("createService: drive %s has type %d.", root, (int)type);
  if (type == DRIVE_REMOTE) {
    printf("Warning: '%s' is on the network drive %s, which a service running as LocalSystem "
           "does not see; register the installation by its UNC path (\\\\server\\share\\...).\n",
           dir, device);
    return;
  }
  char target[MAX_PATH];
  if (!QueryDosDeviceA(device, target, sizeof target)) {
    debug("createService: QueryDosDevice(%s) failed. Last error = %d", device, (int)GetLastError());
    return;
  }
  debug("createService: drive %s is '%s'.", device, target);
  if (strncmp(target, "\\??\\", 4) == 0)
    printf("Warning: '%s' is on the subst drive %s (%s), which a service running as LocalSystem "
           "may not see; register the installation by the directory's own path.\n",
           dir, device, target + 4);
}
} // namespace

int runCreate(char *argv[]) {
  if (refuseSpelling(argv[2]))
    return -1;
  if (!initInstanceDir(argv[2]))
    return -1;
  if (refuseExpansion(instanceDir)) {
    freeInstancePaths();
    return -1;
  }
  warnSessionDrive(instanceDir);
  const char *displayName = argv[3];
  const char *description = argv[4];
  debug("Creating service displayName='%s' description='%s'.", displayName, description);

  char cmdToRun[kCmdToRunSize] = "";
  char serviceName[kServiceNameSize] = "";
  int result;
  int form = kOtherLine;
  const char *message = nullptr;
  int exitCode = 3;
  if (createServiceBinPath(cmdToRun) != 0) {
    debug("createService could not create bin path.");
    result = 3;
  } else if (getServiceName(cmdToRun, serviceName, &form) == 0) {
    debug("Service '%s' already exists.", displayName);
    // A registration an earlier release made gets today's command line (an
    // escaped closing quote then starts) and, like any, today's settings.
    updateServiceRegistration(serviceName, cmdToRun, form == kEarlierLine);
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
