// Status reports to the SCM and the runtime variables the service's threads
// share.
//
// Ownership: serviceStatusHandle is written once by serviceMain before the
// slot is published (the slot's store and loads are sequentially consistent,
// so whoever sees the slot sees the handle). Reports are made by serviceMain,
// the stop sequence and the end of the service (service_end.cpp); which of
// them may report at a time is decided there, so reports are not ordered
// here. What is decided here, under statusLock, is the one rule that needs
// no owner: nothing follows SERVICE_STOPPED. A report counts itself in
// flight before it is sent; the stopped report closes the gate and waits
// (outside the lock, bounded) until the reports in flight are done, so it is
// the last the SCM receives.
//
// statusLock is never held across SetServiceStatus, a wait or the debug log:
// the control handler runs under the dispatcher's own lock, which Wine's
// SetServiceStatus(SERVICE_STOPPED) enters after its call to the SCM
// (dlls/sechost/service.c), so a lock of ours held there and taken by the
// handler would deadlock the two.
#include "service_status.h"

#include "../diag/debug_log.h"

SERVICE_STATUS_HANDLE serviceStatusHandle = nullptr;
std::atomic<SERVICE_STATUS_HANDLE *> serviceStatusSlot{nullptr};
std::atomic<DWORD> stopCheckPoint{1};
std::atomic<HANDLE> terminationEvent{nullptr};

namespace {
// The longest a stopped report waits for the reports already in flight: each
// is one call to the SCM, which answers within its own time-out.
constexpr DWORD kInFlightWaitMs = 30000;

SRWLOCK statusLock = SRWLOCK_INIT;
// Under statusLock.
bool stoppedClaimed = false;
int inFlight = 0;
// Set while no report is in flight; made, set and reset under statusLock
// (none of these calls blocks); never closed (the process ends with it).
HANDLE noneInFlight = nullptr;

void trace(const SERVICE_STATUS &status) {
  debug("Updating the service status.  statusToSet=%d win32ExitCode=%d serviceExitCode=%d "
        "checkPoint=%d waitHint=%d",
        (int)status.dwCurrentState, (int)status.dwWin32ExitCode,
        (int)status.dwServiceSpecificExitCode, (int)status.dwCheckPoint, (int)status.dwWaitHint);
  if (status.dwCurrentState == SERVICE_START_PENDING)
    debug("Service start pending: no controls accepted.");
}

int send(SERVICE_STATUS status, SERVICE_STATUS_HANDLE *slot) {
  trace(status);
  if (!SetServiceStatus(*slot, &status)) {
    debugError("Failed to set the service status.  Last error = %d.", (int)GetLastError());
    return kReportRefused;
  }
  return kReportTaken;
}

SERVICE_STATUS record(DWORD state, DWORD win32ExitCode, DWORD serviceExitCode, DWORD checkPoint,
                      DWORD waitHint) {
  SERVICE_STATUS status;
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = acceptedControls(state);
  status.dwWin32ExitCode = win32ExitCode;
  status.dwServiceSpecificExitCode = serviceExitCode;
  status.dwCheckPoint = checkPoint;
  status.dwWaitHint = waitHint;
  return status;
}

void notSent(DWORD state) {
  debug("Not reporting the service status %d: the service has already stopped.", (int)state);
}

// The stopped report: closes the gate (false when it was closed already),
// then waits for the reports in flight.
bool claimStopped() {
  AcquireSRWLockExclusive(&statusLock);
  bool first = !stoppedClaimed;
  stoppedClaimed = true;
  HANDLE wait = inFlight > 0 ? noneInFlight : nullptr;
  ReleaseSRWLockExclusive(&statusLock);
  if (first && wait && WaitForSingleObject(wait, kInFlightWaitMs) != WAIT_OBJECT_0)
    debugError("A status report is still being sent; the service reports its end all the same.");
  return first;
}
} // namespace

DWORD acceptedControls(DWORD state) {
  if (state == SERVICE_START_PENDING)
    return 0;
  return SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PRESHUTDOWN;
}

int updateServiceStatus(DWORD state, DWORD win32ExitCode, DWORD serviceExitCode,
                        DWORD checkPoint, DWORD waitHint, SERVICE_STATUS_HANDLE *slot) {
  SERVICE_STATUS status = record(state, win32ExitCode, serviceExitCode, checkPoint, waitHint);
  if (state == SERVICE_STOPPED) {
    if (!claimStopped()) {
      notSent(state);
      return kReportAfterStopped;
    }
    return send(status, slot);
  }
  AcquireSRWLockExclusive(&statusLock);
  bool open = !stoppedClaimed;
  if (open && inFlight++ == 0 && noneInFlight)
    ResetEvent(noneInFlight);
  ReleaseSRWLockExclusive(&statusLock);
  if (!open) {
    notSent(state);
    return kReportAfterStopped;
  }
  int result = send(status, slot);
  AcquireSRWLockExclusive(&statusLock);
  if (--inFlight == 0 && noneInFlight)
    SetEvent(noneInFlight);
  ReleaseSRWLockExclusive(&statusLock);
  return result;
}

int repeatStoppedStatus(DWORD win32ExitCode, DWORD serviceExitCode, SERVICE_STATUS_HANDLE *slot) {
  return send(record(SERVICE_STOPPED, win32ExitCode, serviceExitCode, 0, 0), slot);
}

void resetServiceStatus() {
  AcquireSRWLockExclusive(&statusLock);
  stoppedClaimed = false;
  inFlight = 0;
  if (noneInFlight)
    SetEvent(noneInFlight);
  ReleaseSRWLockExclusive(&statusLock);
}

bool createStatusEvent() {
  AcquireSRWLockExclusive(&statusLock);
  if (!noneInFlight)
    noneInFlight = CreateEventA(nullptr, TRUE, inFlight == 0 ? TRUE : FALSE, nullptr);
  bool made = noneInFlight != nullptr;
  ReleaseSRWLockExclusive(&statusLock);
  return made;
}
