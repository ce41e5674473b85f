// The control handler and the stop sequence.
#pragma once

#include "../platform/win32.h"

#include "service_end.h"

void WINAPI serviceHandler(DWORD controlCode);
// Forwards every control to serviceHandler; the extended handler is the kind
// the SCM gives SERVICE_CONTROL_PRESHUTDOWN to.
DWORD WINAPI serviceHandlerEx(DWORD controlCode, DWORD eventType, LPVOID eventData,
                              LPVOID context);

// Asks for a stop sequence of `kind` (service_end.h) and runs it when it is
// granted: a stop's and a preshutdown's on a stop thread of its own (the
// caller returns at once); a shutdown's, supervision's and a failed start's
// on the calling thread.
void serviceStop(int kind);
// The stop thread; its parameter is the kind of stop.
DWORD WINAPI stopThread(LPVOID kind);
// The stop sequence proper, run by its owner, who gives up the ownership as
// its very last step.
void doStopApplication(int kind);
