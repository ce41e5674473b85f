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

// The SCM keeps the command line as REG_EXPAND_SZ and expands it before
// it runs the service: a %NAME% of a defined variable is replaced (an
// undefined one and "%%" stay as they are), and the service would then look
// for a command line that no service has. True (message printed) when a
// pair of '%' in cmdToRun encloses the name of a variable defined here.
// Every '%' is tried as the opening one, so the check does not depend on
// how the expansion pairs them.
bool refuseExpansion(const char *dir, const char *cmdToRun) {
  const char *open = nullptr;
  for (const char *p = cmdToRun; *p; p += characterLength(p)) {
    if (*p != '%')
      continue;
    char name[kCmdToRunSize];
    if (open && p > open + 1 &&
        boundedFormat(name, sizeof name, "%.*s", (int)(p - open - 1), open + 1) >= 0 &&
        getenv(name)) {
      printf("The directory '%s' contains '%%%s%%', which the Service Control Manager would "
             "expand as an environment variable in the service's command line: the service "
             "could never find itself. Choose a directory without a %%NAME%% of a defined "
             "variable.\n",
             dir, name);
      return true;
    }
    open = p;
  }
  return false;
}

// Brings every registration of the installation up to date (an earlier
// line to cmdToRun, the preshutdown timeout, the event-log source) and names
// the extra ones on one line. 1, or 3 when a line that needed rewriting was
// not rewritten: that service cannot start.
int updateRegistrations(const char *cmdToRun, const ServiceMatch *matches, int count) {
  int exitCode = 1;
  int listed = count < kMaxServiceMatches ? count : kMaxServiceMatches;
  for (int i = 0; i < listed; ++i) {
    bool rewrite = matches[i].form == kEarlierLine;
    if (updateServiceRegistration(matches[i].name, cmdToRun, rewrite) != 0 && rewrite) {
      printf("The command line of the service '%s' could not be brought up to date, so it "
             "cannot start: run create again as an administrator.\n",
             matches[i].name);
      exitCode = 3;
    }
    createEventLogKey(matches[i].name);
  }
  if (count > 1) {
    // With every line alike, state and the service name the first listed.
    char line[4096];
    char names[2048] = "";
    char cleanups[2048] = "";
    for (int i = 1; i < listed; ++i) {
      size_t at = strlen(names), to = strlen(cleanups);
      boundedFormat(names + at, sizeof names - at, ", '%s'", matches[i].name);
      boundedFormat(cleanups + to, sizeof cleanups - to, "%scleanup \"%s\"", i > 1 ? "; " : "",
                    matches[i].name);
    }
    boundedFormat(line, sizeof line,
                  "The installation '%s' is registered as %d services, each now up to date: "
                  "'%s' (the one state names)%s%s. Remove each extra one with: %s",
                  instanceDir, count, matches[0].name, names, count > listed ? ", ..." : "",
                  cleanups);
    printf("%s\n", line);
    debug("%s", line);
  }
  return exitCode;
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
  warnSessionDrive(instanceDir);
  const char *displayName = argv[3];
  const char *description = argv[4];
  debug("Creating service displayName='%s' description='%s'.", displayName, description);

  char cmdToRun[kCmdToRunSize] = "";
  char serviceName[kServiceNameSize] = "";
  ServiceMatch matches[kMaxServiceMatches];
  int matchCount = 0;
  int result;
  const char *message = nullptr;
  int exitCode = 3;
  if (createServiceBinPath(cmdToRun) != 0) {
    debug("createService could not create bin path.");
    result = 3;
  } else if (getServiceName(cmdToRun, serviceName, matches, &matchCount) == 0) {
    // Looked up before anything is refused: an installation an earlier
    // release registered is brought up to date whatever its directory.
    debug("Service '%s' already exists.", displayName);
    exitCode = updateRegistrations(cmdToRun, matches, matchCount);
    message = exitCode == 1 ? "Service already exists."
                            : "Service already exists, but could not be brought up to date.";
    result = 5;
  } else if (refuseExpansion(instanceDir, cmdToRun)) {
    message = "Refused the directory.";
    exitCode = -1;
    result = -1;
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
