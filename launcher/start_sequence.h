// Starts the server through its start script and confirms it by its lock.
#pragma once

#include "../platform/win32.h"

// An environment value read as strtol does in base 10 (leading blanks and a
// sign accepted, digits up to the first other character, none giving 0),
// saturated to 32 bits also where long is wider. Shared with serviceMain.
int32_t parseInt32(const char *text);

// Results of doStartApplication.
constexpr int kStartRunning = 0;   // the server holds its lock
constexpr int kStartFailed = 1;    // nothing was left running: no script, or it failed
constexpr int kStartUnconfirmed = 2; // the script ended well or outlived its wait, yet the
                                     // server never held its lock: it may still come up

int doStartApplication(SERVICE_STATUS_HANDLE *slot, DWORD *checkPoint);
// The number of lock probes a start makes (VELKOR_WINDOWS_SERVICE_START_NTRIES,
// 100 when unset or below 1); `verbose` traces where it came from.
int32_t readStartTries(bool verbose);
