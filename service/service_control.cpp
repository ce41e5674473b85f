// The control handler and the stop sequence.
//
// Threads: serviceHandler runs on the dispatcher's thread, one control at a
// time. A stop runs doStopApplication on a stop thread of its own (nobody
// waits for it); a shutdown runs it on the dispatcher's thread. stopInProgress
// admits one stop sequence at a time: raised by compare-and-swap in
// serviceStop, lowered by exchange as the sequence's very last step, so
// stopCheckPoint has a single writer while a sequence runs. The `start`
// subcommand waits for stopInProgress to drop before it deregisters the event
// source and releases the instance paths the sequence uses.
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

namespace {
constexpr size_t kCommandSize = 2048;
constexpr DWORD kFirstProbeDelayMs = 1000;
constexpr int kStopProbes = 30;
constexpr DWORD kStopProbeDelayMs = 2000;

// Reports through the slot when it is set; 1 (refused) when it is not.
int report(DWORD state, DWORD checkPoint, DWORD waitHint) {
  SERVICE_STATUS_HANDLE *slot = serviceStatusSlot.load();
  if (!slot)
    return 1;
  return updateServiceStatus(state, NO_ERROR, 0, checkPoint, waitHint, slot);
}

void reportEvent(WORD type, DWORD eventId) {
  LPCSTR strings[1] = {instanceDir};
  ReportEventA(eventSource, type, EVENT_CATEGORY, eventId, nullptr, 1, 0, strings, nullptr);
}

// Lets serviceMain end: it waits on this event.
void fakeTermination() {
  debug("Faking a service termination so serviceMain can return.");
  SetEvent(terminationEvent.load());
}

void interrogate() {
  debug("serviceHandler: interrogate.");
  int32_t running = 0;
  if (isServerRunning(&running, 1) != 0) {
    debug("serviceHandler: error interrogating.");
  } else if (running) {
    currentServiceState.store(SERVICE_RUNNING, std::memory_order_relaxed);
    debug("serviceHandler: service running.");
  } else {
    debug("serviceHandler: service stopped.");
    // The server went away while the service runs and nobody is stopping it:
    // that is the stop supervision would find, told the same way.
    if (currentServiceState.load(std::memory_order_relaxed) == SERVICE_RUNNING &&
        stopInProgress.load() == 0 && reportStoppedOutsideScm()) {
      fakeTermination();
      return;
    }
    currentServiceState.store(SERVICE_STOPPED, std::memory_order_relaxed);
  }
  report(currentServiceState.load(std::memory_order_relaxed), 0, 0);
}
} // namespace

bool reportStoppedOutsideScm() {
  DWORD state = currentServiceState.load(std::memory_order_relaxed);
  do {
    if (state == SERVICE_STOPPED || state == SERVICE_STOP_PENDING)
      return false;
  } while (!currentServiceState.compare_exchange_weak(state, SERVICE_STOPPED));
  debug("checking in serviceMain serviceHandler: service stopped with error.");
  SERVICE_STATUS_HANDLE *slot = serviceStatusSlot.load();
  if (slot)
    updateServiceStatus(SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR, (DWORD)-1, 0, 0, slot);
  reportEvent(EVENTLOG_ERROR_TYPE, MSG_STOPPED_OUTSIDE_SCM);
  return true;
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
  int32_t idle = 0;
  if (!stopInProgress.compare_exchange_strong(idle, 1)) {
    debug("serviceHandler: a stop is already in progress.");
    return;
  }
  // Supervision or an interrogate may have just told the SCM that the server
  // stopped on its own: that ended the service, nothing is left to stop.
  DWORD state = currentServiceState.load(std::memory_order_relaxed);
  do {
    if (state == SERVICE_STOPPED) {
      debug("serviceHandler: the service has already stopped.");
      stopInProgress.exchange(0);
      return;
    }
  } while (!currentServiceState.compare_exchange_weak(state, SERVICE_STOP_PENDING));
  debug("serviceHandler: stop");
  stopCheckPoint.store(2, std::memory_order_relaxed);
  report(SERVICE_STOP_PENDING, 1, 30000);
  // A shutdown gives no time beyond the handler's own; a preshutdown is
  // waited for through the stop-pending reports, so it runs on its thread
  // like a stop and ends like a shutdown.
  if (kind == kStopForShutdown) {
    doStopApplication(1);
    return;
  }
  int endsTheService = kind == kStopForPreshutdown;
  LPVOID parameter = endsTheService ? reinterpret_cast<LPVOID>(static_cast<intptr_t>(1)) : nullptr;
  HANDLE thread = CreateThread(nullptr, 0, stopThread, parameter, 0, nullptr);
  if (thread) {
    CloseHandle(thread);
    return;
  }
  debugError("Failed to create the stop thread.  Last error = %d.  Stopping synchronously.",
             (int)GetLastError());
  doStopApplication(endsTheService);
}

DWORD WINAPI stopThread(LPVOID endsTheService) {
  doStopApplication(endsTheService ? 1 : 0);
  return 0;
}

void doStopApplication(int shutdown) {
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
          report(SERVICE_STOP_PENDING, checkPoint, 10000);
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

  if (stopped) {
    currentServiceState.store(SERVICE_STOPPED, std::memory_order_relaxed);
    report(SERVICE_STOPPED, 0, 0);
    fakeTermination();
    reportEvent(EVENTLOG_SUCCESS, MSG_SERVER_SHUTDOWN);
  } else {
    debug("serviceHandler: The server could not be stopped.");
    DWORD state = shutdown ? SERVICE_STOPPED : SERVICE_RUNNING;
    currentServiceState.store(state, std::memory_order_relaxed);
    report(state, 0, 0);
    if (shutdown)
      fakeTermination();
    reportEvent(EVENTLOG_ERROR_TYPE, MSG_STOP_FAILED);
  }
  stopInProgress.exchange(0);
}
