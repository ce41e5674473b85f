// Starts the server through its start script and confirms it by its lock.
#pragma once

#include "../platform/win32.h"

// 0 when the server was seen running, 1 otherwise.
int doStartApplication(SERVICE_STATUS_HANDLE *slot, DWORD *checkPoint);
