// Registers the instance's service under the first free name.
#pragma once

#include "../platform/win32.h"

// 0 created, 1 failure, 4 ERROR_DUPLICATE_SERVICE_NAME, 5 ERROR_SERVICE_EXISTS.
int createServiceInScm(const char *displayName, const char *description, const char *cmdToRun);
// Brings the registration of an existing service up to date: its command
// line to cmdToRun when rewriteLine (ChangeServiceConfigA, nothing else
// changed), and its preshutdown timeout to the one new services get.
// 0, or 1 when the SCM, the service or the new command line was refused.
int updateServiceRegistration(const char *serviceName, const char *cmdToRun, bool rewriteLine);
