// The control handler, the stop sequence and the service's end.
#pragma once

#include "../platform/win32.h"

#include <atomic>

// 1 while someone owns the service's end: a stop or shutdown sequence, or
// supervision reporting a server that stopped on its own. Only the owner
// runs the stop launcher or reports SERVICE_STOPPED.
extern std::atomic<int32_t> stopInProgress;
// 1 once a shutdown or preshutdown has asked for the end: a stop that fails
// afterwards ends the service instead of leaving it running.
extern std::atomic<int32_t> endRequested;

void WINAPI serviceHandler(DWORD controlCode);
// Forwards every control to serviceHandler; the extended handler is the kind
// the SCM gives SERVICE_CONTROL_PRESHUTDOWN to.
DWORD WINAPI serviceHandlerEx(DWORD controlCode, DWORD eventType, LPVOID eventData,
                              LPVOID context);

// Takes the ownership of the end; false when another holds it.
bool claimTheEnd();
void releaseTheEnd();
// By the end's owner: reports SERVICE_STOPPED with the exit codes (a refused
// report is tried once more), then ends serviceMain's wait and writes the
// event (none when eventId is 0). True when the SCM took this report.
bool endService(DWORD win32ExitCode, DWORD serviceExitCode, WORD eventType, DWORD eventId);
// Tells the SCM that the server stopped without being asked to:
// SERVICE_STOPPED with ERROR_SERVICE_SPECIFIC_ERROR and -1, then the
// MSG_STOPPED_OUTSIDE_SCM event. False, telling nothing, when the service has
// already stopped or another owns its end.
bool reportStoppedOutsideScm();

// What started a stop sequence: the SCM's stop request (on the stop thread;
// a sequence that fails leaves the service running unless a shutdown came
// meanwhile), a shutdown (on the calling thread), a preshutdown (on the stop
// thread), or supervision that cannot go on (on its own thread). All but
// the first end the service whatever the outcome.
constexpr int kStopRequested = 0;
constexpr int kStopForShutdown = 1;
constexpr int kStopForPreshutdown = 2;
constexpr int kStopUnsupervised = 3;
void serviceStop(int kind);
// The stop thread; its parameter is the kind of stop.
DWORD WINAPI stopThread(LPVOID kind);
// The stop sequence proper, run by the end's owner; releases the ownership
// as its very last step.
void doStopApplication(int kind);
