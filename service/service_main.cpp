// The service entry point: registration, the start, the supervision of the
// server's lock, and the final report.
//
// serviceMain runs on the thread the dispatcher made for it. Everything local
// here (cmdToRun, the service name, startCheckPoint, the refresh period) is
// seen by no other thread. It shares only the runtime variables of
// service_status.h; how and by whom the service ends is decided in
// service_end.cpp, and terminationEvent, set once the end is reported, is
// the one signal supervision waits on.
#include "service_main.h"

#include "service_control.h"
#include "service_end.h"
#include "service_status.h"

#include "../diag/debug_log.h"
#include "../diag/event_log.h"
#include "../instance/instance_paths.h"
#include "../instance/lock_probe.h"
#include "../launcher/start_sequence.h"
#include "../scm/service_lookup.h"

#include <climits>

namespace {
constexpr int32_t kDefaultRefreshPeriod = 10;
// The largest refresh period whose millisecond count fits in 32 bits and is
// still a finite wait (0xFFFFFFFF would mean INFINITE).
constexpr DWORD kLongestWaitMs = INFINITE - 1;
constexpr DWORD kRunningPassMs = 5000;
constexpr int kReprobes = 3;
constexpr DWORD kReprobeDelayMs = 2000;
// The exit code of a service process that could not report its end.
constexpr DWORD kExitCodeUnreported = 1;
constexpr size_t kWarningSize = 512;
// The longest serviceMain waits for another thread's report of the end: one
// call to the SCM, and the event that follows it.
constexpr DWORD kEndReportWaitMs = 30000;

// The wait hint of the start-pending reports made while supervision waits
// for the server's first check, and the longest wait each one covers: the
// next report always comes before the hint runs out.
constexpr DWORD kPendingHintMs = 10000;
constexpr DWORD kFirstHintMs = 5000;
constexpr DWORD kPendingSliceMs = 5000;
// The preshutdown timeout a stop needs at a system shutdown: 1 s before the
// first probe, 30 passes 2 s apart, and room for the probes themselves.
constexpr DWORD kStopBudgetMs = 1000 + 30 * 2000 + 2000;

int report(DWORD state, DWORD win32ExitCode, DWORD serviceExitCode, DWORD checkPoint,
           DWORD waitHint) {
  SERVICE_STATUS_HANDLE *slot = serviceStatusSlot.load();
  if (!slot)
    return kReportRefused;
  return updateServiceStatus(state, win32ExitCode, serviceExitCode, checkPoint, waitHint, slot);
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

// Runs a stop sequence of a kind that ends the service. A stop that was
// already running is waited for; asked for this way, it ends the service
// too, even when it fails.
void stopAndEnd(int kind) {
  while (!serviceEnding()) {
    serviceStop(kind);
    if (!serviceEnding())
      waitForStopToFinish();
  }
}

// Supervision cannot go on (its wait failed): the server would run on
// unwatched, so the service stops it and ends, on this thread.
void endUnsupervised() {
  debugError("serviceMain: the wait of the supervision failed.  Last error = %d.  The server "
             "cannot be supervised; stopping it.",
             (int)GetLastError());
  stopAndEnd(kStopUnsupervised);
}

// The start failed after its script ran, or supervision never saw the
// server: whatever the script left running is stopped, then the service
// ends with the failed start (and the failed stop, when the server keeps
// its lock). The script itself is never killed.
void endUnconfirmedStart() {
  debug("serviceMain: the start failed; stopping what it may have left running.");
  stopAndEnd(kStopFailedStart);
}

// Makes the running report; true when the SCM took it. A refused one is made
// again a pass later.
bool reportRunning(DWORD checkPoint, const char *who) {
  if (report(SERVICE_RUNNING, NO_ERROR, 0, checkPoint, 0) == kReportTaken)
    return true;
  debug("%s: the running report was refused; it is made again on the next pass.", who);
  return false;
}

// The supervision loop; returns when the service's end is decided.
// `lastHintMs` is the wait hint of the start-pending report made last.
//
// Before the running report, every pass is start-pending; a pass whose probe
// gave no answer is followed by a whole pass (5 s, reported), whatever the
// period, and after as many such passes as the start has tries the start
// has failed. After it, the server is probed every 5 s (with period 0 not at
// all: the passes then only make a running report that is owed).
void supervise(DWORD *startCheckPoint, DWORD lastHintMs) {
  int32_t refreshPeriod = readRefreshPeriod();
  DWORD timeout = refreshPeriod > (int32_t)(kLongestWaitMs / 1000) ? kLongestWaitMs
                                                                   : (DWORD)refreshPeriod * 1000u;
  int32_t unansweredLeft = readStartTries(false);
  bool runningReported = false;
  bool wholePass = false; // the last pass must be followed by a whole one
  for (;;) {
    if (serviceEnding())
      return;
    HANDLE event = terminationEvent.load();
    DWORD waited;
    if (!runningReported) {
      waited = waitStartPending(event, wholePass ? kRunningPassMs : timeout, startCheckPoint,
                                lastHintMs / 2);
      lastHintMs = 0;
    } else if (refreshPeriod != 0 || runningReportOwed()) {
      waited = WaitForSingleObject(event, kRunningPassMs);
    } else {
      waited = WaitForSingleObject(event, INFINITE);
    }
    wholePass = false;
    if (waited == WAIT_OBJECT_0) {
      if (refreshPeriod != 0 || !runningReported)
        debug("The application has exited.");
      return;
    }
    if (waited != WAIT_TIMEOUT) {
      endUnsupervised();
      return;
    }
    if (serviceEnding())
      return;
    // A stop sequence owns the server: its outcome decides.
    if (stopUnderWay()) {
      waitForStopToFinish();
      continue;
    }
    if (runningReportOwed() && reportRunning(0, "serviceMain"))
      runningReportMade();
    if (runningReported && refreshPeriod == 0)
      continue;

    int32_t running = 0;
    if (isServerRunning(&running, 0) != 0) {
      debug("checking in serviceMain: error interrogating status.");
      wholePass = true;
      if (!runningReported && --unansweredLeft <= 0) {
        debugError("serviceMain: the server was never seen running.");
        endUnconfirmedStart();
        return;
      }
      continue;
    }
    if (running) {
      if (!runningReported) {
        wholePass = !reportRunning(*startCheckPoint, "serviceMain");
        if (wholePass || serviceEnding())
          continue;
        ++*startCheckPoint;
        reportServiceEvent(EVENTLOG_SUCCESS, MSG_SERVER_STARTED);
        runningReported = true;
      }
      continue;
    }

    bool back = false;
    for (int i = 0; i < kReprobes && !back; ++i) {
      if (serviceEnding())
        return;
      if (!runningReported)
        reportStartPending(startCheckPoint);
      Sleep(kReprobeDelayMs);
      if (serviceEnding())
        return;
      back = isServerRunning(&running, 1) == 0 && running;
    }
    if (back)
      continue;
    if (serverGone() == kServiceEnded)
      return;
    // A stop sequence runs: it decides; if it fails, supervision goes on.
    waitForStopToFinish();
  }
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
    char warning[kWarningSize];
    boundedFormat(warning, sizeof warning,
                  "Warning: the preshutdown timeout of the service '%s' is %d ms, shorter than "
                  "the %d ms a stop may take; run create again to bring it up to date.",
                  serviceName, (int)info.dwPreshutdownTimeout, (int)kStopBudgetMs);
    debug("%s", warning);
    reportServiceEvent(EVENTLOG_WARNING_TYPE, MSG_GENERIC, warning);
  } else {
    debug("The preshutdown timeout of the service '%s' is %d ms.", serviceName,
          (int)info.dwPreshutdownTimeout);
  }
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
}

} // namespace

void WINAPI serviceMain(DWORD argc, LPSTR *argv) {
  serviceWorkBegins();
  resetServiceStatus();
  resetServiceEnd();
  debug("serviceMain");
  // Made before anything can fail: `start` waits on one of them for this
  // thread's last event once the dispatcher has returned.
  bool eventsMade = createServiceEvents();
  DWORD eventsError = eventsMade ? 0 : GetLastError();
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
    // Without the events neither the stop sequence nor the supervision's
    // waits would work: the start counts as failed.
    if (!eventsMade) {
      debugError("serviceMain: could not create the termination event.  Last error = %d.",
                 (int)eventsError);
      startFailed = true;
    }
  }

  int32_t running = 0;
  int probed = isServerRunning(&running, 1);
  bool alreadyRunning = probed == 0 && running;
  int started = kStartRunning;
  if (startFailed) {
    report(SERVICE_START_PENDING, ERROR_SERVICE_SPECIFIC_ERROR, 0, 0, 0);
    endFailedStart();
  } else if (!alreadyRunning && (started = doStartApplication(serviceStatusSlot.load(),
                                                              &startCheckPoint)) != kStartRunning) {
    debugError("serviceMain: doStartApplication() failed");
    if (started == kStartUnconfirmed)
      endUnconfirmedStart();
    else
      endFailedStart();
  } else {
    // The last start-pending report: serviceMain's first, or the start's probe.
    supervise(&startCheckPoint, alreadyRunning ? kFirstHintMs : kPendingHintMs);
    endUndecided();
  }

  // The end is decided; the thread that decided it may still be telling the
  // SCM. After that nothing is probed, waited for or reported here.
  HANDLE event = terminationEvent.load();
  if (endOutcome() == kEndOpen && event &&
      WaitForSingleObject(event, kEndReportWaitMs) != WAIT_OBJECT_0)
    debugError("serviceMain: the end of the service is still being reported.");
  if (endOutcome() != kEndReported)
    endUnreported("the SCM did not take the report that the service stopped.");
  debug("serviceMain returning.");
  serviceWorkEnds();
}
