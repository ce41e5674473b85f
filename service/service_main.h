// The service entry point: start, supervision, end.
#pragma once

#include "../platform/win32.h"

#include <atomic>

void WINAPI serviceMain(DWORD argc, LPSTR *argv);

// 1 from serviceMain's first step to its last (it may still report its last
// event after the SCM has been told that the service stopped).
extern std::atomic<int32_t> serviceMainRunning;

// Called by `start` once the dispatcher has returned: waits until serviceMain
// and any stop sequence are done with the event source and the instance
// paths, at most as long as the longest stop sequence takes. True when they
// are done, false when one still runs.
bool waitForServiceThreads();
