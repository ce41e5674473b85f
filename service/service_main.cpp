// The service entry point: registration, the start, the supervision of the
// server's lock, and the final report.
//
// serviceMain runs on the thread the dispatcher made for it. Everything local
// here (cmdToRun, the service name, startCheckPoint, the refresh period) is
// seen by no other thread. It shares only the runtime variables of
// service_status.h; terminationEvent is the one signal it receives from the
// stop sequence.
#include "service_main.h"

#include "service_control.h"
#include "service_status.h"

#include "../diag/debug_log.h"
#include "../diag/event_log.h"
#include "../instance/instance_paths.h"
#include "../instance/lock_probe.h"
#include "../launcher/start_sequence.h"
#include "../scm/service_lookup.h"

#include <climits>

std::atomic<int32_t> serviceMainRunning{0};

namespace {
constexpr int32_t kDefaultRefreshPeriod = 10;
// The largest refresh period whose millisecond count fits in 32 bits and is
// still a finite wait (0xFFFFFFFF would mean INFINITE).
constexpr DWORD kLongestWaitMs = INFINITE - 1;
constexpr DWORD kRunningPassMs = 5000;
constexpr int kReprobes = 3;
constexpr DWORD kReprobeDelayMs = 2000;
// The longest stop sequence: 1 s before the first probe, 30 passes 2 s apart,
// plus room for the probes and reports themselves.
constexpr DWORD kLongestStopMs = 1000 + 30 * 2000 + 2000;
constexpr DWORD kThreadPollMs = 10;
// The exit code of a service process that could not report its end.
constexpr DWORD kExitCodeUnreported = 1;

int report(DWORD state, DWORD win32ExitCode, DWORD serviceExitCode, DWORD checkPoint,
           DWORD waitHint) {
  return updateServiceStatus(state, win32ExitCode, serviceExitCode, checkPoint, waitHint,
                             serviceStatusSlot.load());
}

void setState(DWORD state) { currentServiceState.store(state, std::memory_order_relaxed); }
DWORD getState() { return currentServiceState.load(std::memory_order_relaxed); }

void reportEvent(WORD type, DWORD eventId) {
  LPCSTR strings[1] = {instanceDir};
  ReportEventA(eventSource, type, EVENT_CATEGORY, eventId, nullptr, 1, 0, strings, nullptr);
}


int32_t readRefreshPeriod() {
  const char *text = getenv("VELKOR_WINDOWS_SERVICE_REFRESH_PERIOD");
  int32_t period = text ? parseInt32(text) : kDefaultRefreshPeriod;
  if (period < 0)
    period = kDefaultRefreshPeriod;
  debug("Refresh period in seconds is %d.", period);
  return period;
}

// True when the SCM itself is stopping the service (it shows it stopped or
// stop-pending); every failure to find out counts as false.
bool scmIsStopping(const char *serviceName) {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (!manager) {
    debugError("Failed to open the Service Control Manager.  Last error = %d",
               (int)GetLastError());
    debugError("getServiceStatus: openScm did not work. Last error = %d", (int)GetLastError());
    return false;
  }
  debug("Successfully opened the Service Control Manager.");
  SC_HANDLE service = OpenServiceA(manager, serviceName, SERVICE_QUERY_STATUS);
  if (!service) {
    debugError("getServiceStatus: openService did not work. Last error = %d",
               (int)GetLastError());
    CloseServiceHandle(manager);
    return false;
  }
  SERVICE_STATUS status;
  memset(&status, 0, sizeof status);
  BOOL queried = QueryServiceStatus(service, &status);
  if (!queried)
    debugError("getServiceStatus: Failed to query the service status. Last error = %d",
               (int)GetLastError());
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return queried && (status.dwCurrentState == SERVICE_STOPPED ||
                     status.dwCurrentState == SERVICE_STOP_PENDING);
}

// The supervision loop; returns when serviceMain is to end.
void supervise(const char *serviceName, DWORD *startCheckPoint) {
  int32_t refreshPeriod = readRefreshPeriod();
  DWORD timeout = refreshPeriod > (int32_t)(kLongestWaitMs / 1000) ? kLongestWaitMs
                                                                   : (DWORD)refreshPeriod * 1000u;
  bool runningReported = false;
  for (;;) {
    HANDLE event = terminationEvent.load();
    DWORD waited;
    if (!runningReported) {
      waited = WaitForSingleObject(event, timeout);
    } else if (refreshPeriod != 0) {
      waited = WaitForSingleObject(event, kRunningPassMs);
    } else {
      WaitForSingleObject(event, INFINITE);
      return;
    }
    if (waited == WAIT_OBJECT_0) {
      debug("The application has exited.");
      return;
    }

    int32_t running = 0;
    if (isServerRunning(&running, 0) != 0) {
      debug("checking in serviceMain: error interrogating status.");
      continue;
    }
    if (running) {
      setState(SERVICE_RUNNING);
      if (!runningReported) {
        report(SERVICE_RUNNING, NO_ERROR, 0, *startCheckPoint, 0);
        ++*startCheckPoint;
        reportEvent(EVENTLOG_SUCCESS, MSG_SERVER_STARTED);
        runningReported = true;
      }
      continue;
    }

    bool back = false;
    for (int i = 0; i < kReprobes && !back; ++i) {
      Sleep(kReprobeDelayMs);
      back = isServerRunning(&running, 1) == 0 && running;
    }
    if (back)
      continue;

    if (scmIsStopping(serviceName))
      return;
    // An interrogate or a stop may have got there first; either ends the
    // service its own way.
    reportStoppedOutsideScm();
    return;
  }
}

// Whether serviceMain and the stop sequence are done, waiting at most
// `limitMs` of elapsed time (measured with the tick count, so the bound holds
// whatever each Sleep really lasts).
bool waitForThreads(bool includingServiceMain, DWORD limitMs) {
  DWORD started = GetTickCount();
  for (;;) {
    if ((!includingServiceMain || serviceMainRunning.load() == 0) && stopInProgress.load() == 0)
      return true;
    if (GetTickCount() - started >= limitMs)
      return false;
    Sleep(kThreadPollMs);
  }
}

// Nothing can tell the SCM that the service ended: the dispatcher would
// wait for ever, so the process ends, and the SCM records that the service
// ended unexpectedly.
[[noreturn]] void endUnreported(const char *why) {
  debugError("serviceMain: %s  Ending the process.", why);
  ExitProcess(kExitCodeUnreported);
}
} // namespace

void WINAPI serviceMain(DWORD argc, LPSTR *argv) {
  serviceMainRunning.store(1);
  stoppedReportTaken.store(0);
  stoppedReportRefused.store(0);
  debug("serviceMain");
  DWORD startCheckPoint = 1;
  bool startFailed = false;
  char cmdToRun[kCmdToRunSize] = "";
  char serviceName[kServiceNameSize] = "";

  if (createServiceBinPath(cmdToRun) != 0) {
    debug("serviceMain: failed to create service bin path.");
    startFailed = true;
  } else if (getServiceName(cmdToRun, serviceName) != 0) {
    debug("serviceMain: could not get service name.");
    startFailed = true;
  }
  if (startFailed) {
    // The SCM names the service it starts: with that name the failed start
    // can still be reported.
    if (argc < 1 || !argv || !argv[0] || !argv[0][0])
      endUnreported("the SCM passed no service name.");
    boundedFormat(serviceName, sizeof serviceName, "%s", argv[0]);
  }

  debug("Registering the service handler for '%s'", serviceName);
  // The extended handler is the one that is given the preshutdown control.
  serviceStatusHandle = RegisterServiceCtrlHandlerExA(serviceName, serviceHandlerEx, nullptr);
  if (!serviceStatusHandle) {
    char why[96];
    boundedFormat(why, sizeof why, "could not register the service handler.  Last error = %d.",
                  (int)GetLastError());
    endUnreported(why);
  }
  debug("registerServiceHandler returning '%d'", 0);
  serviceStatusSlot.store(&serviceStatusHandle);
  setState(SERVICE_START_PENDING);
  int refused = report(SERVICE_START_PENDING, NO_ERROR, 0, startCheckPoint, 5000);
  startCheckPoint = 2;
  if (refused) {
    startFailed = true;
  } else if (!startFailed) {
    // Without the event neither the stop sequence nor the supervision's
    // waits would work: the start counts as failed.
    terminationEvent.store(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!terminationEvent.load()) {
      debugError("serviceMain: could not create the termination event.  Last error = %d.",
                 (int)GetLastError());
      startFailed = true;
    }
  }

  int32_t running = 0;
  int probed = isServerRunning(&running, 1);
  bool alreadyRunning = probed == 0 && running;
  if (startFailed || alreadyRunning)
    report(getState(), ERROR_SERVICE_SPECIFIC_ERROR, 0, 0, 0);
  if (startFailed) {
    setState(SERVICE_STOPPED);
    report(SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR, (DWORD)-1, 0, 0);
    reportEvent(EVENTLOG_ERROR_TYPE, MSG_START_FAILED);
  } else if (!alreadyRunning &&
             doStartApplication(serviceStatusSlot.load(), &startCheckPoint) != 0) {
    debugError("serviceMain: doStartApplication() failed");
    setState(SERVICE_STOPPED);
    report(SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR, (DWORD)-1, 0, 0);
    reportEvent(EVENTLOG_ERROR_TYPE, MSG_START_FAILED);
  } else {
    supervise(serviceName, &startCheckPoint);
  }

  // A stopped report the SCM has already taken is never made again: a
  // supervision probe that saw the lock held just before the stop sequence's
  // report may have written RUNNING over its STOPPED.
  if (getState() != SERVICE_STOPPED && !stoppedReportTaken.load()) {
    setState(SERVICE_STOPPED);
    report(SERVICE_STOPPED, NO_ERROR, 0, 0, 0);
  }
  // The stopped report may come from another thread: the stop sequence and
  // an interrogate each make it before they set the event, and supervision
  // may have lost the report to an interrogate still making it. Unless the
  // SCM has already refused one, that report is waited for (bounded).
  if (!stoppedReportTaken.load() && !stoppedReportRefused.load()) {
    HANDLE event = terminationEvent.load();
    if (event)
      WaitForSingleObject(event, kLongestStopMs);
    waitForThreads(false, kLongestStopMs);
  }
  if (!stoppedReportTaken.load())
    endUnreported("the SCM did not take the report that the service stopped.");
  debug("serviceMain returning.");
  serviceMainRunning.store(0);
}

bool waitForServiceThreads() { return waitForThreads(true, kLongestStopMs); }
