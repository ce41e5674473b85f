// Status reports to the SCM and the runtime variables the service's threads
// share.
//
// Ownership: serviceStatusHandle is written once by serviceMain before the
// slot is published (the slot's store and loads are sequentially consistent,
// so whoever sees the slot sees the handle). currentServiceState and
// stopCheckPoint are written by serviceMain, the control handler and the stop
// sequence; the last writer wins (relaxed atomics give exactly that without a
// data race). terminationEvent is created by serviceMain and set by the stop
// sequence.
#include "service_status.h"

#include "../diag/debug_log.h"

SERVICE_STATUS_HANDLE serviceStatusHandle = nullptr;
std::atomic<SERVICE_STATUS_HANDLE *> serviceStatusSlot{nullptr};
std::atomic<DWORD> currentServiceState{0};
std::atomic<DWORD> stopCheckPoint{1};
std::atomic<HANDLE> terminationEvent{nullptr};
std::atomic<int32_t> stoppedReportTaken{0};
std::atomic<int32_t> stoppedReportRefused{0};

DWORD acceptedControls(DWORD state) {
  if (state == SERVICE_START_PENDING)
    return 0;
  return SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PRESHUTDOWN;
}

int updateServiceStatus(DWORD state, DWORD win32ExitCode, DWORD serviceExitCode,
                        DWORD checkPoint, DWORD waitHint, SERVICE_STATUS_HANDLE *slot) {
  debug("Updating the service status.  statusToSet=%d win32ExitCode=%d serviceExitCode=%d "
        "checkPoint=%d waitHint=%d",
        (int)state, (int)win32ExitCode, (int)serviceExitCode, (int)checkPoint, (int)waitHint);
  DWORD controlsAccepted = acceptedControls(state);
  if (state == SERVICE_START_PENDING)
    debug("Service start pending: no controls accepted.");
  SERVICE_STATUS status;
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = controlsAccepted;
  status.dwWin32ExitCode = win32ExitCode;
  status.dwServiceSpecificExitCode = serviceExitCode;
  status.dwCheckPoint = checkPoint;
  status.dwWaitHint = waitHint;
  if (SetServiceStatus(*slot, &status)) {
    if (state == SERVICE_STOPPED)
      stoppedReportTaken.store(1);
    return 0;
  }
  debugError("Failed to set the service status.  Last error = %d.", (int)GetLastError());
  if (state == SERVICE_STOPPED)
    stoppedReportRefused.store(1);
  return 1;
}
