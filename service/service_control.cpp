// The control handler, the stop sequence and the service's end.
//
// Threads: serviceHandler runs on the dispatcher's thread, one control at a
// time. A stop runs doStopApplication on a stop thread of its own (nobody
// waits for it); a shutdown runs it on the dispatcher's thread. stopInProgress
// is the ownership of the service's end: taken by compare-and-swap (a stop,
// a shutdown, or supervision that found the server gone), given back by
// exchange as the owner's very last step. Only the owner reports
// SERVICE_STOPPED, and stopCheckPoint has a single writer while it runs.
// updateServiceStatus sends nothing once the SCM has taken SERVICE_STOPPED,
// so whatever comes late is traced and not sent. The `start` subcommand
// waits for stopInProgress to drop before it deregisters the event source
// and releases the instance paths the sequence uses.
//
// Every status report tests serviceStatusSlot first: a control that arrives
// between the handler's registration and the slot's publication reports
// nothing.
#include "service_control.h"

#include "service_status.h"

#include "../diag/debug_log.h"
#include "../diag/event_log.h"
#include "../instance/instance_paths.h"
#include "../instance/lock_probe.h"
#include "../launcher/child_process.h"

std::atomic<int32_t> stopInProgress{0};
std::atomic<int32_t> endRequested{0};

namespace {
constexpr size_t kCommandSize = 2048;
constexpr DWORD kFirstProbeDelayMs = 1000;
constexpr int kStopProbes = 30;
constexpr DWORD kStopProbeDelayMs = 2000;
constexpr size_t kEventTextSize = 400;

// Reports through the slot when it is set; kReportRefused when it is not.
int report(DWORD state, DWORD win32ExitCode, DWORD serviceExitCode, DWORD checkPoint,
           DWORD waitHint) {
  SERVICE_STATUS_HANDLE *slot = serviceStatusSlot.load();
  if (!slot)
    return kReportRefused;
  return updateServiceStatus(state, win32ExitCode, serviceExitCode, checkPoint, waitHint, slot);
}

void reportEvent(WORD type, DWORD eventId) {
  char text[kEventTextSize];
  LPCSTR strings[1] = {instanceDir};
  if (eventId == MSG_GENERIC) {
    boundedFormat(text, sizeof text,
                  "Velkor in %s could not be supervised; the service stopped it.", instanceDir);
    strings[0] = text;
  }
  ReportEventA(eventSource, type, EVENT_CATEGORY, eventId, nullptr, 1, 0, strings, nullptr);
}

// Lets serviceMain end: it waits on this event.
void fakeTermination() {
  debug("Faking a service termination so serviceMain can return.");
  HANDLE event = terminationEvent.load();
  if (event)
    SetEvent(event);
}

bool endsTheService(int kind) { return kind != kStopRequested; }

void interrogate() {
  debug("serviceHandler: interrogate.");
  SERVICE_STATUS_HANDLE *slot = serviceStatusSlot.load();
  if (slot)
    repeatServiceStatus(slot);
}
} // namespace

bool claimTheEnd() {
  int32_t idle = 0;
  return stopInProgress.compare_exchange_strong(idle, 1);
}

void releaseTheEnd() { stopInProgress.exchange(0); }

bool endService(DWORD win32ExitCode, DWORD serviceExitCode, WORD eventType, DWORD eventId) {
  int result = report(SERVICE_STOPPED, win32ExitCode, serviceExitCode, 0, 0);
  if (result == kReportRefused && serviceStatusSlot.load()) {
    debug("Reporting the end of the service once more.");
    result = report(SERVICE_STOPPED, win32ExitCode, serviceExitCode, 0, 0);
  }
  if (result == kReportAfterStopped)
    return false;
  // Also after a refused report: serviceMain ends the process then.
  fakeTermination();
  if (eventId != 0 && (result == kReportTaken || !serviceStatusSlot.load()))
    reportEvent(eventType, eventId);
  return result == kReportTaken;
}

bool reportStoppedOutsideScm() {
  if (!claimTheEnd())
    return false;
  bool told = false;
  if (!stoppedReportTaken.load()) {
    debug("checking in serviceMain serviceHandler: service stopped with error.");
    told = endService(ERROR_SERVICE_SPECIFIC_ERROR, (DWORD)-1, EVENTLOG_ERROR_TYPE,
                      MSG_STOPPED_OUTSIDE_SCM);
  }
  releaseTheEnd();
  return told;
}

void WINAPI serviceHandler(DWORD controlCode) {
  debug("serviceHandler called with controlCode=%d.", (int)controlCode);
  switch (controlCode) {
  case SERVICE_CONTROL_STOP:
    serviceStop(kStopRequested);
    break;
  case SERVICE_CONTROL_PAUSE:
    debug("serviceHandler: pause.");
    break;
  case SERVICE_CONTROL_CONTINUE:
    debug("serviceHandler: continue.");
    break;
  case SERVICE_CONTROL_INTERROGATE:
    interrogate();
    break;
  case SERVICE_CONTROL_SHUTDOWN:
    debug("serviceHandler: shutdown");
    serviceStop(kStopForShutdown);
    break;
  case SERVICE_CONTROL_PRESHUTDOWN:
    debug("serviceHandler: preshutdown");
    serviceStop(kStopForPreshutdown);
    break;
  default:
    break;
  }
  debug("serviceHandler returning.");
}

DWORD WINAPI serviceHandlerEx(DWORD controlCode, DWORD, LPVOID, LPVOID) {
  serviceHandler(controlCode);
  switch (controlCode) {
  case SERVICE_CONTROL_STOP:
  case SERVICE_CONTROL_PAUSE:
  case SERVICE_CONTROL_CONTINUE:
  case SERVICE_CONTROL_INTERROGATE:
  case SERVICE_CONTROL_SHUTDOWN:
  case SERVICE_CONTROL_PRESHUTDOWN:
    return NO_ERROR;
  default:
    return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void serviceStop(int kind) {
  // A stop already running ends the service when it fails, once the system
  // has asked for the end.
  if (endsTheService(kind))
    endRequested.store(1);
  if (!claimTheEnd()) {
    debug("serviceHandler: a stop is already in progress.");
    return;
  }
  if (stoppedReportTaken.load()) {
    debug("serviceHandler: the service has already stopped.");
    releaseTheEnd();
    return;
  }
  debug("serviceHandler: stop");
  // The server went away before the stop came (supervision may be re-probing
  // it right now): that is an unexpected stop, told as supervision would.
  int32_t running = 1;
  if (kind != kStopUnsupervised && isServerRunning(&running, 1) == 0 && !running) {
    debug("serviceHandler: the server had already stopped.");
    debug("checking in serviceMain serviceHandler: service stopped with error.");
    endService(ERROR_SERVICE_SPECIFIC_ERROR, (DWORD)-1, EVENTLOG_ERROR_TYPE,
               MSG_STOPPED_OUTSIDE_SCM);
    releaseTheEnd();
    return;
  }
  stopCheckPoint.store(2, std::memory_order_relaxed);
  report(SERVICE_STOP_PENDING, NO_ERROR, 0, 1, 30000);
  // A shutdown gives no time beyond the handler's own; a preshutdown is
  // waited for through the stop-pending reports, so it runs on its thread
  // like a stop and ends like a shutdown. Supervision that cannot go on
  // stops the server on its own thread.
  if (kind == kStopForShutdown || kind == kStopUnsupervised) {
    doStopApplication(kind);
    return;
  }
  HANDLE thread = CreateThread(nullptr, 0, stopThread,
                               reinterpret_cast<LPVOID>(static_cast<intptr_t>(kind)), 0, nullptr);
  if (thread) {
    CloseHandle(thread);
    return;
  }
  debugError("Failed to create the stop thread.  Last error = %d.  Stopping synchronously.",
             (int)GetLastError());
  doStopApplication(kind);
}

DWORD WINAPI stopThread(LPVOID kind) {
  doStopApplication((int)reinterpret_cast<intptr_t>(kind));
  return 0;
}

void doStopApplication(int kind) {
  bool haveSlot = serviceStatusSlot.load() != nullptr;
  const char *root = getInstanceRoot();
  debug("doStopApplication");

  bool stopped = false;
  if (strlen(instanceDir) + strlen(root) + 33 >= kCommandSize) {
    debug("doStopApplication: the command path name is too long.");
  } else {
    char command[kCommandSize];
    // A root (D:\) brings its own separator.
    boundedFormat(command, sizeof command, "\"%s%slib\\winlauncher.exe\" stop \"%s%s.\"",
                  instanceDir, separatorAfter(instanceDir), root, separatorAfter(root));
    debug("doStopApplication: launching '%s'.", command);
    if (createChildProcess(command, 0) == -1) {
      debug("doStopApplication: spawn failed.  Sent command: %s", command);
    } else {
      debug("doStopApplication: the spawn of the process worked.");
      Sleep(kFirstProbeDelayMs);
      int32_t running = 1;
      int passesLeft = kStopProbes;
      do {
        --passesLeft;
        if (haveSlot) {
          DWORD checkPoint = stopCheckPoint.load(std::memory_order_relaxed);
          report(SERVICE_STOP_PENDING, NO_ERROR, 0, checkPoint, 10000);
          stopCheckPoint.store(checkPoint + 1, std::memory_order_relaxed);
        }
        if (isServerRunning(&running, 1) != 0) {
          running = 0; // the lock file is gone or unreadable: the server has stopped
          break;
        }
        if (running)
          Sleep(kStopProbeDelayMs);
      } while (running && passesLeft > 0);
      if (running) {
        debug("doStopApplication: server NOT stopped.");
      } else {
        debug("doStopApplication: server stopped.");
        stopped = true;
      }
    }
  }

  if (stopped && kind == kStopUnsupervised) {
    endService(ERROR_SERVICE_SPECIFIC_ERROR, (DWORD)-1, EVENTLOG_ERROR_TYPE, MSG_GENERIC);
  } else if (stopped) {
    endService(NO_ERROR, 0, EVENTLOG_SUCCESS, MSG_SERVER_SHUTDOWN);
  } else {
    debug("serviceHandler: The server could not be stopped.");
    if (endsTheService(kind) || endRequested.load()) {
      endService(ERROR_SERVICE_SPECIFIC_ERROR, (DWORD)-1, EVENTLOG_ERROR_TYPE, MSG_STOP_FAILED);
    } else {
      report(SERVICE_RUNNING, NO_ERROR, 0, 0, 0);
      reportEvent(EVENTLOG_ERROR_TYPE, MSG_STOP_FAILED);
      releaseTheEnd();
      // A shutdown that came after the check above found the stop still
      // running: its end is owed all the same.
      if (endRequested.load() && claimTheEnd()) {
        if (!stoppedReportTaken.load())
          endService(ERROR_SERVICE_SPECIFIC_ERROR, (DWORD)-1, EVENTLOG_ERROR_TYPE, MSG_STOP_FAILED);
        releaseTheEnd();
      }
      return;
    }
  }
  releaseTheEnd();
}
