// Test knobs of the stand-in SCM calls (standin_scm.cpp), beyond what a test
// can set directly in a service record (standin_scm_store.h: configUnreadable,
// stopAnswer, status).
#pragma once

#include "win32_api.h"

// Queues a Win32 own-process service (stopped, demand start, display name =
// name) to be created right after the next EnumServicesStatusA call of any
// process, so that the following call sees one more service than the one
// before it. Kept in <root>/scm/enum_additions, one "<name>\t<command line>"
// a line; a test in another process may write that file itself.
void standinScmAddAfterNextEnum(const char *name, const char *binaryPath);

// Creates a service record as CreateServiceA would, without going through the
// API (no handle stays open). Returns false when the name is taken.
bool standinScmAddService(const char *name, const char *binaryPath,
                          DWORD type = SERVICE_WIN32_OWN_PROCESS);
