// The server lock probe: the server runs while it holds a lock over byte 0 of
// <instance root>\locks\server.lock.
#pragma once

#include "../platform/win32.h"

// 0 when the lock test answered (running set to 1 or 0), 1 when it could not
// (running 0). verbose 0 writes only the error lines.
int isServerRunning(int32_t *running, int32_t verbose);
