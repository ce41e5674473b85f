// Status reporting to the SCM and the runtime variables the service's threads
// share. Every report goes through updateServiceStatus, which sends it under
// one lock that also records whether the SCM has taken SERVICE_STOPPED: the
// first SERVICE_STOPPED the SCM takes is the service's end, and nothing is
// sent after it.
#pragma once

#include "../platform/win32.h"

#include <atomic>

// Returned by RegisterServiceCtrlHandlerA; written once by serviceMain.
extern SERVICE_STATUS_HANDLE serviceStatusHandle;
// Points at serviceStatusHandle once the handler is registered, else null.
extern std::atomic<SERVICE_STATUS_HANDLE *> serviceStatusSlot;
// The state of the last report the SCM took (initially 0).
extern std::atomic<DWORD> currentServiceState;
// Check point of the stop sequence's next report (initially 1).
extern std::atomic<DWORD> stopCheckPoint;
// Manual-reset event by which the stop sequence ends serviceMain, or null.
extern std::atomic<HANDLE> terminationEvent;
// 1 once the SCM has taken a SERVICE_STOPPED report; stoppedReportRefused is
// 1 once it has refused one.
extern std::atomic<int32_t> stoppedReportTaken;
extern std::atomic<int32_t> stoppedReportRefused;

// The controls the service accepts in `state`: none while it starts, else
// stop, shutdown and preshutdown.
DWORD acceptedControls(DWORD state);

// Results of updateServiceStatus.
constexpr int kReportTaken = 0;
constexpr int kReportRefused = 1;       // SetServiceStatus failed
constexpr int kReportAfterStopped = 2;  // not sent: the service has already stopped

// Sends one SERVICE_STATUS through the handle in *slot, unless the SCM has
// already taken SERVICE_STOPPED (then it is traced and not sent).
int updateServiceStatus(DWORD state, DWORD win32ExitCode, DWORD serviceExitCode,
                        DWORD checkPoint, DWORD waitHint, SERVICE_STATUS_HANDLE *slot);
// Sends the last report the SCM took once more (the answer to an
// interrogate); kReportRefused when nothing has been taken yet.
int repeatServiceStatus(SERVICE_STATUS_HANDLE *slot);
// Forgets the reports of an earlier run of the service (serviceMain's start).
void resetServiceStatus();
