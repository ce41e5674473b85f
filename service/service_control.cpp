// The control handler and the stop sequence.
//
// Threads: serviceHandler runs on the dispatcher's thread, one control at a
// time, and under the dispatcher's own lock on Wine (dlls/sechost/service.c
// calls the handler inside its critical section). So the handler takes no
// lock that another thread holds across a call into the SCM, and waits for
// nothing but a shutdown's own stop sequence. An interrogate reports nothing:
// the SCM answers it from the last status it was given (Win32 documentation
// of SERVICE_CONTROL_INTERROGATE: the handler "should simply return
// NO_ERROR").
//
// A stop runs doStopApplication on a stop thread of its own (nobody waits for
// it); a shutdown runs it on the dispatcher's thread. Who may run a stop
// sequence, and how it ends, is decided in service_end.cpp; stopCheckPoint
// has a single writer, the sequence that owns the stop.
//
// Every status report tests serviceStatusSlot first: a control that arrives
// between the handler's registration and the slot's publication reports
// nothing.
#include "service_control.h"

#include "service_status.h"

#include "../diag/debug_log.h"
#include "../instance/instance_paths.h"
#include "../instance/lock_probe.h"
#include "../launcher/child_process.h"

namespace {
constexpr size_t kCommandSize = 2048;
constexpr DWORD kFirstProbeDelayMs = 1000;
constexpr int kStopProbes = 30;
constexpr DWORD kStopProbeDelayMs = 2000;

void report(DWORD state, DWORD checkPoint, DWORD waitHint) {
  SERVICE_STATUS_HANDLE *slot = serviceStatusSlot.load();
  if (slot)
    updateServiceStatus(state, NO_ERROR, 0, checkPoint, waitHint, slot);
}

// Whether the sequence of `kind` runs on a thread of its own.
bool onItsOwnThread(int kind) {
  return kind == kStopRequested || kind == kStopForPreshutdown;
}
} // namespace

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
    debug("serviceHandler: interrogate.");
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
  switch (beginStop(kind)) {
  case kStopRunning:
    debug("serviceHandler: a stop is already in progress.");
    return;
  case kServiceEnded:
    debug("serviceHandler: the service has already stopped.");
    return;
  default:
    break;
  }
  debug("serviceHandler: stop");
  // The server went away before the stop came (supervision may be re-probing
  // it right now): that is an unexpected stop, told as supervision would. A
  // failed start's server may not hold its lock yet: it is always stopped.
  int32_t running = 1;
  if (kind != kStopUnsupervised && kind != kStopFailedStart && isServerRunning(&running, 1) == 0 &&
      !running) {
    debug("serviceHandler: the server had already stopped.");
    finishStop(kind, kServerGoneBefore);
    return;
  }
  stopCheckPoint.store(2, std::memory_order_relaxed);
  report(SERVICE_STOP_PENDING, 1, 30000);
  // A shutdown gives no time beyond the handler's own; a preshutdown is
  // waited for through the stop-pending reports, so it runs on its thread
  // like a stop and ends like a shutdown.
  if (!onItsOwnThread(kind)) {
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
  finishStop(kind, stopped ? kServerStopped : kServerNotStopped);
}
