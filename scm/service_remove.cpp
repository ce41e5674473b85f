// Service removal: stops a service that is not stopped, deletes it, and
// removes its event-log source. Runs on the main thread; the service being
// stopped runs in another process, and the wait only polls the SCM.
#include "service_remove.h"

#include "../diag/debug_log.h"
#include "../diag/event_log.h"
#include "service_lookup.h"

namespace {
constexpr int kStopPasses = 90;
constexpr DWORD kStopPollMs = 1000;
} // namespace

int removeServiceWithName(const char *serviceName) {
  int inUse = isServiceNameInUse(serviceName);
  debug("Removing service with name %s.", serviceName);
  if (inUse == 3) {
    debug("Service does not exist.");
    return 1;
  }
  if (inUse != 2) {
    debug("Could not determine whether the service exists.");
    return 3;
  }
  switch (removeServiceFromScm(serviceName)) {
  case 0:
    removeEventLogKey(serviceName);
    debug("Service successfully removed.");
    return 0;
  case 6:
    // An earlier removal left it marked: its source goes all the same.
    removeEventLogKey(serviceName);
    debug("Service marked for deletion.");
    return 2;
  default:
    debug("Unexpected error removing service.");
    return 3;
  }
}

int removeServiceFromScm(const char *serviceName) {
  debug("Removing service '%s' from the Service Control Manager.", serviceName);
  SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, GENERIC_WRITE);
  if (!scm) {
    debugError("Failed to open the Service Control Manager.  Last error = %d", (int)GetLastError());
    return 1;
  }
  debug("Successfully opened the Service Control Manager.");
  debug("About to open service '%s'.", serviceName);
  int result = 1;
  SC_HANDLE service = OpenServiceA(scm, serviceName, SERVICE_ALL_ACCESS);
  DWORD openError = GetLastError(); // before the trace's own file calls change it
  debug("After opening service myService=%p.", static_cast<void *>(service));
  SERVICE_STATUS status;
  memset(&status, 0, sizeof status);
  if (!service) {
    debugError("Failed to open the service '%s'. Last error = %d", serviceName, (int)openError);
    goto done;
  }
  debug("About to query the service '%s'.", serviceName);
  if (!QueryServiceStatus(service, &status)) {
    debugError("Failed to query the status for service '%s'. Last error = %d", serviceName,
               (int)GetLastError());
    goto done;
  }
  debug("Successfully queried the service '%s'.", serviceName);

  if (status.dwCurrentState != SERVICE_STOPPED) {
    debug("Attempting to stop the service '%s'.", serviceName);
    if (!ControlService(service, SERVICE_CONTROL_STOP, &status)) {
      DWORD error = GetLastError();
      debugError("Failed to stop the service '%s'.  Last error = %d.", serviceName, (int)error);
      result = error == ERROR_SERVICE_MARKED_FOR_DELETE ? 6 : 1;
      goto done;
    }
    // Up to 90 passes, each looking first at the state last received: a
    // failed query ends the wait with the state it had.
    DWORD state = status.dwCurrentState;
    for (int pass = 0; pass < kStopPasses; ++pass) {
      if (state == SERVICE_STOPPED || state == SERVICE_RUNNING)
        break;
      Sleep(kStopPollMs);
      if (!QueryServiceStatus(service, &status))
        break;
      state = status.dwCurrentState;
    }
    if (state == SERVICE_RUNNING) {
      // Its own stop sequence reports running again when stopping failed.
      debugError("The service '%s' is still running after the stop request: not deleting it.",
                 serviceName);
      goto done;
    }
    if (state != SERVICE_STOPPED)
      debugError("The service '%s' did not reach SERVICE_STOPPED (state=%d): DeleteService will "
                 "only mark it for deletion.",
                 serviceName, (int)state);
  }

  debug("Deleting the service '%s'.", serviceName);
  if (DeleteService(service)) {
    result = 0;
  } else {
    DWORD error = GetLastError();
    debugError("Failed to delete the service '%s'.  Last error = %d.", serviceName, (int)error);
    result = error == ERROR_SERVICE_MARKED_FOR_DELETE ? 6 : 1;
  }

done:
  if (service)
    CloseServiceHandle(service);
  CloseServiceHandle(scm);
  return result;
}
