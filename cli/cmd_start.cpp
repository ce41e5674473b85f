// `start <instance dir>`: the service process. The main thread is handed to
// the SCM's service control dispatcher, which runs serviceMain on a thread of
// its own and delivers controls to serviceHandler on this one. It returns
// once the service has reported that it stopped.
#include "commands.h"

#include "../diag/debug_log.h"
#include "../diag/event_log.h"
#include "../instance/instance_paths.h"
#include "../scm/service_lookup.h"
#include "../service/service_end.h"
#include "../service/service_main.h"

namespace {
const char *dispatcherMessage(DWORD error) {
  switch (error) {
  case ERROR_FAILED_SERVICE_CONTROLLER_CONNECT:
    return "startService: StartServiceCtrlDispatcher did not work: "
           "ERROR_FAILED_SERVICE_CONTROLLER_CONNECT.";
  case ERROR_INVALID_DATA:
    return "startService: StartServiceCtrlDispatcher did not work: ERROR_INVALID_DATA.";
  case ERROR_SERVICE_ALREADY_RUNNING:
    return "startService: StartServiceCtrlDispatcher did not work: "
           "ERROR_SERVICE_ALREADY_RUNNING.";
  default:
    return "startService: StartServiceCtrlDispatcher did not work.";
  }
}
} // namespace

int runStart(char *argv[]) {
  if (!initInstanceDir(argv[2]))
    return -1;
  debug("startService");

  char cmdToRun[kCmdToRunSize] = "";
  char serviceName[kServiceNameSize] = "";
  if (createServiceBinPath(cmdToRun) != 0 || getServiceName(cmdToRun, serviceName) != 0) {
    debug("startService: Could not get service name.");
    freeInstancePaths();
    return 1;
  }

  SERVICE_TABLE_ENTRYA serviceTable[2];
  serviceTable[0].lpServiceName = serviceName;
  serviceTable[0].lpServiceProc = serviceMain;
  serviceTable[1].lpServiceName = nullptr;
  serviceTable[1].lpServiceProc = nullptr;

  debug("Registering the Event Log for service '%s'.", serviceName);
  char sourceName[kServiceNameSize];
  copyServiceName(sourceName, serviceName); // 255 bytes at most, never through a character
  eventSource = RegisterEventSourceA(nullptr, sourceName);

  int exitCode = 0;
  bool threadsDone = true;
  if (StartServiceCtrlDispatcherA(serviceTable)) {
    // The SCM has been told that the service stopped; serviceMain or a stop
    // sequence may still be reporting their last event with eventSource and
    // instanceDir, so those stay until they are done.
    threadsDone = waitForServiceThreads();
    if (!threadsDone)
      debugError("startService: the service's threads are still running; the event log "
                 "and the instance paths are left to the end of the process.");
  } else {
    const char *message = dispatcherMessage(GetLastError());
    LPCSTR strings[2] = {instanceDir, message};
    ReportEventA(eventSource, EVENTLOG_ERROR_TYPE, EVENT_CATEGORY, MSG_START_FAILED, nullptr, 2,
                 0, strings, nullptr);
    debugError("startService: For instance dir '%s', %s", instanceDir, message);
    exitCode = 1;
  }

  if (!threadsDone)
    return exitCode;
  if (eventSource) {
    debug("Deregistering the Event Log.");
    DeregisterEventSource(eventSource);
  }
  freeInstancePaths();
  return exitCode;
}
