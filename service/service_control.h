// The control handler and the stop sequence.
#pragma once

#include "../platform/win32.h"

#include <atomic>

// 1 while a stop or shutdown sequence runs.
extern std::atomic<int32_t> stopInProgress;

void WINAPI serviceHandler(DWORD controlCode);
void serviceStop(int shutdown);
DWORD WINAPI stopThread(LPVOID parameter);
void doStopApplication(int shutdown);
