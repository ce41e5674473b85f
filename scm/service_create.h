// Registers the instance's service under the first free name.
#pragma once

#include "../platform/win32.h"

// 0 created, 1 failure, 4 ERROR_DUPLICATE_SERVICE_NAME, 5 ERROR_SERVICE_EXISTS.
int createServiceInScm(const char *displayName, const char *description, const char *cmdToRun);
