// Stops and deletes a service and removes its event-log source.
#pragma once

#include "../platform/win32.h"

// 0 removed, 1 does not exist, 2 marked for deletion, 3 error.
int removeServiceWithName(const char *serviceName);
// 0 deleted, 1 failure, 6 marked for deletion.
int removeServiceFromScm(const char *serviceName);
