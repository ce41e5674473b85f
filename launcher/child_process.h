// Child processes, started with null standard handles.
#pragma once

#include "../platform/win32.h"

// Runs a full command line; the child's process id, or -1.
int createChildProcess(const char *command, int background);
// Runs a batch command through the command interpreter; non-zero when created.
int createBatchFileChildProcess(const char *command, int background,
                                PROCESS_INFORMATION *processInformation);
// Waits up to waitMs for the child: 1 ended (exitCode its exit code), 0 not.
int waitForProcess(PROCESS_INFORMATION *processInformation, DWORD waitMs, DWORD *exitCode);
