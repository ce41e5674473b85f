// The hosting side of the stand-in SCM: starting a service's process, and
// what the tests and the SCM driver fixture use to watch it.
#pragma once

#include "win32_api.h"

#include <functional>
#include <string>

// Starts the registered service `name` as the stand-in SCM would: its command
// line runs as a child process with VELKOR_STANDIN_SERVICE=<name> in its
// environment, and the record shows SERVICE_START_PENDING with that process as
// host. 0, or the Windows error (ERROR_SERVICE_DOES_NOT_EXIST,
// ERROR_SERVICE_ALREADY_RUNNING, ERROR_SERVICE_MARKED_FOR_DELETE, or why the
// process could not be created).
DWORD standinStartService(const char *name);

// When the process hosting `name` has ended without reporting SERVICE_STOPPED,
// records the service as stopped with ERROR_PROCESS_ABORTED, as the SCM does
// for a service process that dies; first drops the deleted services whose
// process has ended (standinScmSweepDeleted). True when it recorded a death.
bool standinScmNoteDeadHost(const char *name);

// The exit code the SCM records for a service whose process died.
constexpr DWORD kStandinProcessAborted = 1067; // ERROR_PROCESS_ABORTED

// The service a handle of the stand-in SCM was opened on, checked for the
// access `right` (standin_scm.cpp). False with the last error set otherwise.
bool standinScmServiceOfHandle(SC_HANDLE handle, DWORD right, std::string *name);

// Test hook: runs `hook` at the start of SetServiceStatus(SERVICE_STOPPED),
// before the SCM has the report (null: none).
void standinBeforeStoppedReport(const std::function<void()> &hook);
