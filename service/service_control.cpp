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

void interrogate() {
  debug("serviceHandler: interrogate.");
  int32_t running = 0;
  if (isServerRunning(&running, 1) != 0) {
    debug("serviceHandler: error interrogating.");
  } else if (running) {
    currentServiceState.store(SERVICE_RUNNING, std::memory_order_relaxed);
    debug("serviceHandler: service running.");
  } else {
    currentServiceState.store(SERVICE_STOPPED, std::memory_order_relaxed);
    debug("serviceHandler: service stopped.");
  }
  report(currentServiceState.load(std::memory_order_relaxed), 0, 0);
}

// Lets serviceMain end: it waits on this event.
void fakeTermination() {
  debug("Faking a service termination so serviceMain can return.");
  SetEvent(terminationEvent.load());
}
} // namespace

void WINAPI serviceHandler(DWORD controlCode) {
  debug("serviceHandler called with controlCode=%d.", (int)controlCode);
  switch (controlCode) {
  case SERVICE_CONTROL_STOP:
    serviceStop(0);
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
    serviceStop(1);
    break;
  default:
    break;
  }
  debug("serviceHandler returning.");
}

void serviceStop(int shutdown) {
  int32_t idle = 0;
  if (!stopInProgress.compare_exchange_strong(idle, 1)) {
    debug("serviceHandler: a stop is already in progress.");
    return;
  }
  debug("serviceHandler: stop");
  currentServiceState.store(SERVICE_STOP_PENDING, std::memory_order_relaxed);
  stopCheckPoint.store(2, std::memory_order_relaxed);
  report(SERVICE_STOP_PENDING, 1, 30000);
  if (shutdown) {
    doStopApplication(1);
    return;
  }
  HANDLE thread = CreateThread(nullptr, 0, stopThread, nullptr, 0, nullptr);
  if (thread) {
    CloseHandle(thread);
    return;
  }
  debugError("Failed to create the stop thread.  Last error = %d.  Stopping synchronously.",
             (int)GetLastError());
  doStopApplication(0);
}

DWORD WINAPI stopThread(LPVOID) {
  doStopApplication(0);
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
