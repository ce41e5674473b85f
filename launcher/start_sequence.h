// Starts the server through its start script and confirms it by its lock.
#pragma once

#include "../platform/win32.h"

// An environment value read as strtol does in base 10 (leading blanks and a
// sign accepted, digits up to the first other character, none giving 0),
// saturated to 32 bits also where long is wider. Shared with serviceMain.
int32_t parseInt32(const char *text);

// 0 when the server was seen running, 1 otherwise.
int doStartApplication(SERVICE_STATUS_HANDLE *slot, DWORD *checkPoint);
