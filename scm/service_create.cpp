// Service creation: registers the instance's service, auto-start and
// own-process, under the first service name not yet taken. Runs on the main
// thread; holds no state after it returns.
#include "service_create.h"

#include "../diag/debug_log.h"
#include "service_lookup.h"

namespace {
// Candidate `number` for `base`: the base itself for 1, "<base>-<n>" from 2
// on, cut to the whole characters that fit in 255 bytes.
void formatCandidate(const char *base, int number, char *out) {
  char whole[kServiceNameSize + 1]; // one byte more than a name: where the cut falls
  if (number == 1)
    boundedFormat(whole, sizeof whole, "%s", base);
  else
    boundedFormat(whole, sizeof whole, "%s-%d", base, number);
  copyServiceName(out, whole);
}

// True when the cut made candidate `number` equal to one tried before it.
// Only a long base gets here more than a few times: every earlier candidate
// was an existing service's name, so the walk is bounded by the service count.
bool repeatsEarlierCandidate(const char *base, int number, const char *candidate) {
  char earlier[kServiceNameSize];
  for (int m = 1; m < number; ++m) {
    formatCandidate(base, m, earlier);
    if (strcmp(earlier, candidate) == 0)
      return true;
  }
  return false;
}

// Chooses the service name: 0 with *serviceName the free candidate, or 1 when
// the search gave up (listing failed, or the cut repeated a candidate already
// found taken). *serviceName is a 256-character heap buffer the caller
// releases, possibly null when it could not be allocated.
int createServiceName(const char *base, char **serviceName) {
  *serviceName = static_cast<char *>(calloc(kServiceNameSize, 1));
  if (!*serviceName) {
    debugError("createServiceName: could not allocate the service name.");
    return 1;
  }
  char *candidate = *serviceName;
  int result = 1;
  for (int number = 1; number > 0; ++number) {
    formatCandidate(base, number, candidate);
    if (repeatsEarlierCandidate(base, number, candidate)) {
      // Every later candidate would be cut the same way: nothing new to try.
      debugError("createServiceName: the name '%s' was already tried; no free name was found.",
                 candidate);
      break;
    }
    int inUse = isServiceNameInUse(candidate);
    if (inUse == 3) {
      result = 0;
      break;
    }
    if (inUse != 2)
      break;
  }
  debug("createServiceName returning serviceName='%s' and returnValue=%d", candidate, result);
  return result;
}
// At a system shutdown the SCM waits this long for a service that takes the
// preshutdown notification: the whole stop sequence (about 61 s) with a
// margin. A failure leaves Windows' default and does not fail the creation.
constexpr DWORD kPreshutdownTimeoutMs = 90000;

void setPreshutdownTimeout(SC_HANDLE service, const char *serviceName) {
  SERVICE_PRESHUTDOWN_INFO info;
  info.dwPreshutdownTimeout = kPreshutdownTimeoutMs;
  if (ChangeServiceConfig2A(service, SERVICE_CONFIG_PRESHUTDOWN_INFO, &info))
    debug("Set the preshutdown timeout of the service '%s' to %d ms.", serviceName,
          (int)kPreshutdownTimeoutMs);
  else
    debugError("Failed to set the preshutdown timeout of the service '%s'.  Last error = %d.",
               serviceName, (int)GetLastError());
}
} // namespace

int updateServiceRegistration(const char *serviceName, const char *cmdToRun, bool rewriteLine) {
  SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!scm) {
    debugError("Failed to open the Service Control Manager.  Last error = %d", (int)GetLastError());
    debug("updateServiceRegistration: openScm did not work.");
    return 1;
  }
  int result = 1;
  SC_HANDLE service = OpenServiceA(scm, serviceName, SERVICE_CHANGE_CONFIG);
  if (!service) {
    debugError("updateServiceRegistration: Failed to open the service '%s'.  Last error = %d.",
               serviceName, (int)GetLastError());
  } else {
    result = 0;
    if (rewriteLine) {
      // Only the command line changes: type, start, error control, group,
      // dependencies, account and display name stay as they are.
      debug("Updating the command line of the service '%s' to '%s'.", serviceName, cmdToRun);
      if (ChangeServiceConfigA(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                               cmdToRun, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)) {
        debug("Updated the command line of the service '%s'.", serviceName);
      } else {
        debugError("Failed to update the command line of the service '%s'.  Last error = %d.",
                   serviceName, (int)GetLastError());
        result = 1;
      }
    }
    setPreshutdownTimeout(service, serviceName);
    CloseServiceHandle(service);
  }
  CloseServiceHandle(scm);
  debug("updateServiceRegistration returning %d.", result);
  return result;
}

int createServiceInScm(const char *displayName, const char *description, const char *cmdToRun) {
  char *serviceName = nullptr;
  SC_HANDLE scm = nullptr;
  int result = 1;
  if (createServiceName(displayName, &serviceName) != 0) {
    debug("createServiceInScm: createServiceName did not work.");
  } else if (!(scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS))) {
    debugError("Failed to open the Service Control Manager.  Last error = %d", (int)GetLastError());
    debug("createServiceInScm: openScm did not work.");
  } else {
    debug("Successfully opened the Service Control Manager.");
    debug("Creating the service '%s'.", serviceName);
    // The display name is the chosen name too; no account means LocalSystem.
    SC_HANDLE service =
        CreateServiceA(scm, serviceName, serviceName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                       SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, cmdToRun, nullptr, nullptr,
                       nullptr, nullptr, nullptr);
    if (!service) {
      DWORD error = GetLastError();
      debugError("Failed to create the service '%s'.  Last error = %d.", serviceName, (int)error);
      if (error == ERROR_DUPLICATE_SERVICE_NAME) {
        result = 4;
      } else if (error == ERROR_SERVICE_EXISTS) {
        result = 5;
      } else if (error == ERROR_INVALID_HANDLE) {
        debugError("The handle seems to be invalid.");
      }
    } else {
      SERVICE_DESCRIPTIONA info;
      info.lpDescription = const_cast<char *>(description);
      if (ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &info)) {
        result = 0;
      } else {
        // The service stays registered: nothing is undone.
        debugError("Failed to add a description to the service '%s'.  Last error = %d.",
                   serviceName, (int)GetLastError());
      }
      setPreshutdownTimeout(service, serviceName);
      CloseServiceHandle(service);
    }
  }
  if (scm)
    CloseServiceHandle(scm);
  free(serviceName);
  debug("createServiceInScm returning %d.", result);
  return result;
}
