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

// The wait hint of the start-pending reports made while supervision waits
// for the server's first check, and the longest wait each one covers: the
// next report always comes before the hint runs out.
constexpr DWORD kPendingHintMs = 10000;
constexpr DWORD kFirstHintMs = 5000;
constexpr DWORD kPendingSliceMs = 5000;
// The preshutdown timeout a stop needs at a system shutdown.
constexpr DWORD kStopBudgetMs = kLongestStopMs;

int report(DWORD state, DWORD win32ExitCode, DWORD serviceExitCode, DWORD checkPoint,
           DWORD waitHint) {
  SERVICE_STATUS_HANDLE *slot = serviceStatusSlot.load();
  if (!slot)
    return kReportRefused;
  return updateServiceStatus(state, win32ExitCode, serviceExitCode, checkPoint, waitHint, slot);
}

void reportEvent(WORD type, DWORD eventId) {
  LPCSTR strings[1] = {instanceDir};
  ReportEventA(eventSource, type, EVENT_CATEGORY, eventId, nullptr, 1, 0, strings, nullptr);
}

// Reports start-pending with the next check point.
void reportStartPending(DWORD *startCheckPoint) {
  report(SERVICE_START_PENDING, NO_ERROR, 0, *startCheckPoint, kPendingHintMs);
  ++*startCheckPoint;
}

// Waits `ms` on the event while the service is start-pending, in slices
// each announced by a start-pending report, but for a first slice that the
// last report's wait hint still covers (`coveredMs`) with as much time again
// to spare for the probe that follows. The wait's result: WAIT_TIMEOUT when
// the whole time passed.
DWORD waitStartPending(HANDLE event, DWORD ms, DWORD *startCheckPoint, DWORD coveredMs) {
  if (ms == 0)
    return WaitForSingleObject(event, 0);
  for (;;) {
    DWORD slice = ms < kPendingSliceMs ? ms : kPendingSliceMs;
    if (slice > coveredMs)
      reportStartPending(startCheckPoint);
    coveredMs = 0;
    DWORD waited = WaitForSingleObject(event, slice);
    ms -= slice;
    if (waited != WAIT_TIMEOUT || ms == 0)
      return waited;
  }
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
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
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

// Whether the stop sequence (or whoever owns the service's end) is done,
// waiting at most one stop's budget; true when the SCM has taken the end.
bool waitForTheEnd();

// Whether the service's end is another's: a stop that runs is waited for,
// not probed against. True when the service has ended (or cannot be told
// so); false when there is no stop, or it failed and left the service
// running.
bool endingElsewhere() {
  if (!stopInProgress.load() && !stoppedReportTaken.load())
    return false;
  return waitForTheEnd() || stoppedReportRefused.load();
}

// Supervision cannot go on (its wait failed): the server would run on
// unwatched, so the service stops it and ends, on this thread.
void endUnsupervised() {
  debugError("serviceMain: the wait of the supervision failed.  Last error = %d.  The server "
             "cannot be supervised; stopping it.",
             (int)GetLastError());
  serviceStop(kStopUnsupervised);
  waitForTheEnd(); // a stop that was already running ends the service instead
}

// The supervision loop; returns when serviceMain is to end. `lastHintMs` is
// the wait hint of the start-pending report made last.
void supervise(const char *serviceName, DWORD *startCheckPoint, DWORD lastHintMs) {
  int32_t refreshPeriod = readRefreshPeriod();
  DWORD timeout = refreshPeriod > (int32_t)(kLongestWaitMs / 1000) ? kLongestWaitMs
                                                                   : (DWORD)refreshPeriod * 1000u;
  bool runningReported = false;
  bool retry = false; // the running report was refused: it is made again on the next pass
  for (;;) {
    if (stoppedReportTaken.load())
      return;
    HANDLE event = terminationEvent.load();
    DWORD waited;
    if (!runningReported) {
      waited = waitStartPending(event, retry ? kRunningPassMs : timeout, startCheckPoint,
                                lastHintMs / 2);
      lastHintMs = 0;
    } else if (refreshPeriod != 0) {
      waited = WaitForSingleObject(event, kRunningPassMs);
    } else {
      waited = WaitForSingleObject(event, INFINITE);
    }
    if (waited == WAIT_OBJECT_0) {
      if (refreshPeriod != 0 || !runningReported)
        debug("The application has exited.");
      return;
    }
    if (waited != WAIT_TIMEOUT) {
      endUnsupervised();
      return;
    }
    if (endingElsewhere())
      return;

    int32_t running = 0;
    if (isServerRunning(&running, 0) != 0) {
      debug("checking in serviceMain: error interrogating status.");
      continue;
    }
    if (running) {
      if (!runningReported) {
        int taken = report(SERVICE_RUNNING, NO_ERROR, 0, *startCheckPoint, 0);
        if (taken == kReportAfterStopped)
          return;
        retry = taken != kReportTaken;
        if (retry) {
          debug("serviceMain: the running report was refused; it is made again on the next "
                "pass.");
          continue;
        }
        ++*startCheckPoint;
        reportEvent(EVENTLOG_SUCCESS, MSG_SERVER_STARTED);
        runningReported = true;
      }
      continue;
    }

    bool back = false;
    for (int i = 0; i < kReprobes && !back; ++i) {
      if (!runningReported)
        reportStartPending(startCheckPoint);
      if (endingElsewhere())
        return;
      Sleep(kReprobeDelayMs);
      if (endingElsewhere())
        return;
      back = isServerRunning(&running, 1) == 0 && running;
    }
    if (back)
      continue;

    // A stop that runs now ends the service its own way. One the SCM shows
    // without a sequence of this process behind it is ended here, without an
    // event: the server's end was asked for.
    if (stopInProgress.load() == 0 && scmIsStopping(serviceName)) {
      debug("serviceMain: the SCM is stopping the service.");
      if (!waitForTheEnd() && claimTheEnd()) {
        if (!stoppedReportTaken.load())
          endService(NO_ERROR, 0, 0, 0);
        releaseTheEnd();
      }
      return;
    }
    if (reportStoppedOutsideScm() || waitForTheEnd() || stoppedReportRefused.load())
      return;
    // The stop failed and left the service running: supervision goes on.
  }
}

// Polls `done` until it holds, at most `limitMs` of elapsed time (measured
// with the tick count, so the bound holds whatever each Sleep really lasts).
bool waitUntil(bool (*done)(), DWORD limitMs) {
  DWORD started = GetTickCount();
  for (;;) {
    if (done())
      return true;
    if (GetTickCount() - started >= limitMs)
      return false;
    Sleep(kThreadPollMs);
  }
}

bool endTaken() { return stoppedReportTaken.load() != 0; }
bool stopDone() { return stoppedReportTaken.load() != 0 || stopInProgress.load() == 0; }
bool threadsDone() { return serviceMainRunning.load() == 0 && stopInProgress.load() == 0; }

bool waitForTheEnd() {
  waitUntil(stopDone, kLongestStopMs);
  return endTaken();
}

// Nothing can tell the SCM that the service ended: the dispatcher would
// wait for ever, so the process ends, and the SCM records that the service
// ended unexpectedly.
[[noreturn]] void endUnreported(const char *why) {
  debugError("serviceMain: %s  Ending the process.", why);
  ExitProcess(kExitCodeUnreported);
}

// Warns when the SCM would give a stop at a system shutdown less time than
// it may take: a service registered by an earlier release keeps Windows'
// default preshutdown timeout until `create` is run again.
void checkPreshutdownTimeout(const char *serviceName) {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) {
    debugError("checkPreshutdownTimeout: openScm did not work.  Last error = %d",
               (int)GetLastError());
    return;
  }
  SC_HANDLE service = OpenServiceA(manager, serviceName, SERVICE_QUERY_CONFIG);
  if (!service) {
    debugError("checkPreshutdownTimeout: openService did not work.  Last error = %d",
               (int)GetLastError());
    CloseServiceHandle(manager);
    return;
  }
  SERVICE_PRESHUTDOWN_INFO info;
  info.dwPreshutdownTimeout = 0;
  DWORD needed = 0;
  if (!QueryServiceConfig2A(service, SERVICE_CONFIG_PRESHUTDOWN_INFO,
                            reinterpret_cast<LPBYTE>(&info), sizeof info, &needed)) {
    debugError("checkPreshutdownTimeout: Failed to query the preshutdown timeout.  Last error = %d",
               (int)GetLastError());
  } else if (info.dwPreshutdownTimeout < kStopBudgetMs) {
    debug("Warning: the preshutdown timeout of the service '%s' is %d ms, shorter than the %d ms "
          "a stop may take; run create again to bring it up to date.",
          serviceName, (int)info.dwPreshutdownTimeout, (int)kStopBudgetMs);
  } else {
    debug("The preshutdown timeout of the service '%s' is %d ms.", serviceName,
          (int)info.dwPreshutdownTimeout);
  }
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
}

// The start failed: the one stopped report, with its event.
void endFailedStart() {
  if (claimTheEnd()) {
    if (!stoppedReportTaken.load())
      endService(ERROR_SERVICE_SPECIFIC_ERROR, (DWORD)-1, EVENTLOG_ERROR_TYPE, MSG_START_FAILED);
    releaseTheEnd();
  }
}
} // namespace

void WINAPI serviceMain(DWORD argc, LPSTR *argv) {
  serviceMainRunning.store(1);
  resetServiceStatus();
  endRequested.store(0);
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
  int refused = report(SERVICE_START_PENDING, NO_ERROR, 0, startCheckPoint, kFirstHintMs);
  startCheckPoint = 2;
  if (refused) {
    startFailed = true;
  } else if (!startFailed) {
    checkPreshutdownTimeout(serviceName);
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
  if (startFailed) {
    report(SERVICE_START_PENDING, ERROR_SERVICE_SPECIFIC_ERROR, 0, 0, 0);
    endFailedStart();
  } else if (!alreadyRunning &&
             doStartApplication(serviceStatusSlot.load(), &startCheckPoint) != 0) {
    debugError("serviceMain: doStartApplication() failed");
    endFailedStart();
  } else {
    // The last start-pending report: serviceMain's first, or the start's probe.
    supervise(serviceName, &startCheckPoint, alreadyRunning ? kFirstHintMs : kPendingHintMs);
  }

  // The one stopped report is made by whoever owns the service's end; one
  // still running is waited for (bounded by its budget). After it nothing is
  // probed, waited for or reported here.
  if (!stoppedReportTaken.load() && !stoppedReportRefused.load()) {
    // Woken without an end reported and nobody owning it: the end is told
    // here, as a plain stop.
    if (!waitForTheEnd() && claimTheEnd()) {
      if (!stoppedReportTaken.load())
        endService(NO_ERROR, 0, 0, 0);
      releaseTheEnd();
    }
  }
  if (!stoppedReportTaken.load())
    endUnreported("the SCM did not take the report that the service stopped.");
  debug("serviceMain returning.");
  serviceMainRunning.store(0);
}

// The dispatcher returns once the SCM has the stopped report, while the
// thread that made it is still writing its last lines; the first look comes
// after one pause, by which time that thread has normally ended, so the wait
// takes the same number of polls however the threads were scheduled.
bool waitForServiceThreads() {
  Sleep(kThreadPollMs);
  return waitUntil(threadsDone, kLongestStopMs);
}
