// The control handler and the stop sequence.
#pragma once

#include "../platform/win32.h"

#include <atomic>

// 1 while a stop or shutdown sequence runs.
extern std::atomic<int32_t> stopInProgress;

void WINAPI serviceHandler(DWORD controlCode);
// Tells the SCM, once, that the server stopped without being asked to:
// SERVICE_STOPPED with ERROR_SERVICE_SPECIFIC_ERROR and -1, then the
// MSG_STOPPED_OUTSIDE_SCM event. False, telling nothing, when the service is
// already stopped or a stop sequence has begun.
bool reportStoppedOutsideScm();
// Forwards every control to serviceHandler; the extended handler is the kind
// the SCM gives SERVICE_CONTROL_PRESHUTDOWN to.
DWORD WINAPI serviceHandlerEx(DWORD controlCode, DWORD eventType, LPVOID eventData,
                              LPVOID context);

// What started a stop sequence: the SCM's stop request (on the stop thread;
// a sequence that fails leaves the service running), a shutdown (on the
// calling thread) or a preshutdown (on the stop thread); the last two end
// the service whatever the outcome.
constexpr int kStopRequested = 0;
constexpr int kStopForShutdown = 1;
constexpr int kStopForPreshutdown = 2;
void serviceStop(int kind);
// The stop thread; a non-null parameter makes the sequence end the service.
DWORD WINAPI stopThread(LPVOID endsTheService);
void doStopApplication(int shutdown);
