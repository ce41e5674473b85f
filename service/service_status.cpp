// Status reports to the SCM and the runtime variables the service's threads
// share.
//
// Ownership: serviceStatusHandle is written once by serviceMain before the
// slot is published (the slot's store and loads are sequentially consistent,
// so whoever sees the slot sees the handle). Reports are made by serviceMain,
// the control handler and the stop sequence; statusLock orders them, so the
// SCM sees them in the order they were decided, and makes "has the SCM taken
// SERVICE_STOPPED" and the sending of the next report one step: no report
// can follow the stopped one. currentServiceState, lastTaken and
// stoppedReportTaken change only under the lock (the atomics let other
// threads read them without it). stopCheckPoint has one writer at a time,
// the stop sequence that runs. terminationEvent is created by serviceMain and
// set by whoever ends the service.
#include "service_status.h"

#include "../diag/debug_log.h"

SERVICE_STATUS_HANDLE serviceStatusHandle = nullptr;
std::atomic<SERVICE_STATUS_HANDLE *> serviceStatusSlot{nullptr};
std::atomic<DWORD> currentServiceState{0};
std::atomic<DWORD> stopCheckPoint{1};
std::atomic<HANDLE> terminationEvent{nullptr};
std::atomic<int32_t> stoppedReportTaken{0};
std::atomic<int32_t> stoppedReportRefused{0};

namespace {
SRWLOCK statusLock = SRWLOCK_INIT;
SERVICE_STATUS lastTaken;
bool anyTaken = false;

// With statusLock held.
int send(const SERVICE_STATUS &status, SERVICE_STATUS_HANDLE *slot) {
  if (stoppedReportTaken.load()) {
    debug("Not reporting the service status %d: the service has already stopped.",
          (int)status.dwCurrentState);
    return kReportAfterStopped;
  }
  debug("Updating the service status.  statusToSet=%d win32ExitCode=%d serviceExitCode=%d "
        "checkPoint=%d waitHint=%d",
        (int)status.dwCurrentState, (int)status.dwWin32ExitCode,
        (int)status.dwServiceSpecificExitCode, (int)status.dwCheckPoint, (int)status.dwWaitHint);
  if (status.dwCurrentState == SERVICE_START_PENDING)
    debug("Service start pending: no controls accepted.");
  SERVICE_STATUS sent = status; // SetServiceStatus takes a non-const record
  if (!SetServiceStatus(*slot, &sent)) {
    debugError("Failed to set the service status.  Last error = %d.", (int)GetLastError());
    if (status.dwCurrentState == SERVICE_STOPPED)
      stoppedReportRefused.store(1);
    return kReportRefused;
  }
  lastTaken = status;
  anyTaken = true;
  currentServiceState.store(status.dwCurrentState);
  if (status.dwCurrentState == SERVICE_STOPPED)
    stoppedReportTaken.store(1);
  return kReportTaken;
}
} // namespace

DWORD acceptedControls(DWORD state) {
  if (state == SERVICE_START_PENDING)
    return 0;
  return SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PRESHUTDOWN;
}

int updateServiceStatus(DWORD state, DWORD win32ExitCode, DWORD serviceExitCode,
                        DWORD checkPoint, DWORD waitHint, SERVICE_STATUS_HANDLE *slot) {
  SERVICE_STATUS status;
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = acceptedControls(state);
  status.dwWin32ExitCode = win32ExitCode;
  status.dwServiceSpecificExitCode = serviceExitCode;
  status.dwCheckPoint = checkPoint;
  status.dwWaitHint = waitHint;
  AcquireSRWLockExclusive(&statusLock);
  int result = send(status, slot);
  ReleaseSRWLockExclusive(&statusLock);
  return result;
}

int repeatServiceStatus(SERVICE_STATUS_HANDLE *slot) {
  AcquireSRWLockExclusive(&statusLock);
  int result = kReportRefused;
  if (anyTaken)
    result = send(lastTaken, slot);
  else
    debug("No service status to repeat: none has been reported yet.");
  ReleaseSRWLockExclusive(&statusLock);
  return result;
}

void resetServiceStatus() {
  AcquireSRWLockExclusive(&statusLock);
  anyTaken = false;
  stoppedReportTaken.store(0);
  stoppedReportRefused.store(0);
  ReleaseSRWLockExclusive(&statusLock);
}
