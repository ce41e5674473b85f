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
void serviceStop(int shutdown);
DWORD WINAPI stopThread(LPVOID parameter);
void doStopApplication(int shutdown);
