// Status reporting to the SCM and the runtime variables the service's threads
// share. Every report goes through updateServiceStatus. The first
// SERVICE_STOPPED report is the service's end: it waits for the reports
// already on their way, and nothing is sent after it. No lock of this module
// is held while a report is being sent.
#pragma once

#include "../platform/win32.h"

#include <atomic>

// Returned by RegisterServiceCtrlHandlerA; written once by serviceMain.
extern SERVICE_STATUS_HANDLE serviceStatusHandle;
// Points at serviceStatusHandle once the handler is registered, else null.
extern std::atomic<SERVICE_STATUS_HANDLE *> serviceStatusSlot;
// Check point of the stop sequence's next report (initially 1).
extern std::atomic<DWORD> stopCheckPoint;
// Manual-reset event, set once the service's end has been reported (or could
// not be); serviceMain's supervision waits on it. Null until serviceMain
// creates it.
extern std::atomic<HANDLE> terminationEvent;

// The controls the service accepts in `state`: none while it starts, else
// stop, shutdown and preshutdown.
DWORD acceptedControls(DWORD state);

// Results of updateServiceStatus.
constexpr int kReportTaken = 0;
constexpr int kReportRefused = 1;       // SetServiceStatus failed
constexpr int kReportAfterStopped = 2;  // not sent: the service's end is being reported

// Sends one SERVICE_STATUS through the handle in *slot. A SERVICE_STOPPED
// report is made once: a second one, and any report after it, is traced and
// not sent. repeatStoppedStatus sends the stopped report once more after the
// SCM refused it (only the end's one reporter calls it).
int updateServiceStatus(DWORD state, DWORD win32ExitCode, DWORD serviceExitCode,
                        DWORD checkPoint, DWORD waitHint, SERVICE_STATUS_HANDLE *slot);
int repeatStoppedStatus(DWORD win32ExitCode, DWORD serviceExitCode, SERVICE_STATUS_HANDLE *slot);
// Forgets the reports of an earlier run of the service (serviceMain's start).
void resetServiceStatus();
// Makes the event by which the stopped report waits for the reports in
// flight, unless it exists; false when it could not be made.
bool createStatusEvent();
