// Status reporting to the SCM and the runtime variables the service's threads
// share. Each is a single 32-bit or pointer value, accessed atomically
// (relaxed where the last writer simply wins); there are no locks.
#pragma once

#include "../platform/win32.h"

#include <atomic>

// Returned by RegisterServiceCtrlHandlerA; written once by serviceMain.
extern SERVICE_STATUS_HANDLE serviceStatusHandle;
// Points at serviceStatusHandle once the handler is registered, else null.
extern std::atomic<SERVICE_STATUS_HANDLE *> serviceStatusSlot;
// The state the runtime last decided on (initially 0).
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

// Sends one SERVICE_STATUS through the handle in *slot: 0 accepted, 1 refused.
int updateServiceStatus(DWORD state, DWORD win32ExitCode, DWORD serviceExitCode,
                        DWORD checkPoint, DWORD waitHint, SERVICE_STATUS_HANDLE *slot);
