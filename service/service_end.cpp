// The service's end.
//
// State, all under endLock, which is never held across a call into the SCM,
// the event log, a wait or a child process:
//   stopRunning   a stop sequence has an owner (at most one at a time);
//   systemEnding  a shutdown or preshutdown asked for the end: a stop that
//                 fails afterwards ends the service instead of leaving it
//                 running;
//   ending        the end is decided: SERVICE_STOPPED is being sent or was;
//                 nothing may begin after it;
//   outcome       what the SCM was told;
//   runningOwed   a failed stop's running report was refused;
//   work          serviceMain and the stop sequences that may still use the
//                 event source and the instance paths.
// Three manual-reset events carry the state to those who wait on it:
// terminationEvent (set once the end is reported), stopDone (set while no
// stop sequence runs) and workDone (set while `work` is 0). stopDone and
// workDone are made, set and reset under endLock (none of these calls
// blocks), so each always matches its variable. They are made by
// createServiceEvents and never closed: a stop thread may set one while the
// process ends.
#include "service_end.h"

#include "service_status.h"

#include "../diag/debug_log.h"
#include "../diag/event_log.h"
#include "../instance/instance_paths.h"

namespace {
// After the dispatcher returns, the threads have at most their last event
// and their last lines to write.
constexpr DWORD kWorkTailMs = 10000;
// How often that work is looked at when its event could not be made.
constexpr DWORD kWorkPollMs = 10;
constexpr size_t kEventTextSize = 400;

SRWLOCK endLock = SRWLOCK_INIT;
bool stopRunning = false;
bool systemEnding = false;
bool ending = false;
int outcome = kEndOpen;
bool runningOwed = false;
int work = 0;
HANDLE stopDone = nullptr;
HANDLE workDone = nullptr;

bool endsTheService(int kind) { return kind != kStopRequested; }

HANDLE manualEvent(bool set) { return CreateEventA(nullptr, TRUE, set ? TRUE : FALSE, nullptr); }

void setIf(HANDLE event) {
  if (event)
    SetEvent(event);
}

// Decides the end unless it is decided already; true for the one caller that
// decides it, who then calls endService.
bool decideEnd() {
  AcquireSRWLockExclusive(&endLock);
  bool first = !ending;
  ending = true;
  ReleaseSRWLockExclusive(&endLock);
  return first;
}

// The one report of SERVICE_STOPPED, by the caller that decided the end: a
// refused report is made once more. Then serviceMain's wait ends and the
// events say why (none when the SCM was not told).
void endService(DWORD win32ExitCode, DWORD serviceExitCode, WORD eventType, DWORD eventId,
                DWORD stopFailedToo = 0) {
  SERVICE_STATUS_HANDLE *slot = serviceStatusSlot.load();
  int result = kReportRefused;
  if (slot) {
    result = updateServiceStatus(SERVICE_STOPPED, win32ExitCode, serviceExitCode, 0, 0, slot);
    if (result == kReportRefused) {
      debug("Reporting the end of the service once more.");
      result = repeatStoppedStatus(win32ExitCode, serviceExitCode, slot);
    }
  }
  AcquireSRWLockExclusive(&endLock);
  outcome = result == kReportTaken ? kEndReported : kEndUnreported;
  ReleaseSRWLockExclusive(&endLock);
  debug("Faking a service termination so serviceMain can return.");
  setIf(terminationEvent.load());
  if (eventId != 0 && (result == kReportTaken || !slot)) {
    reportServiceEvent(eventType, eventId);
    if (stopFailedToo)
      reportServiceEvent(EVENTLOG_ERROR_TYPE, stopFailedToo);
  }
}

void endOutsideScm() {
  debug("checking in serviceMain serviceHandler: service stopped with error.");
  endService(ERROR_SERVICE_SPECIFIC_ERROR, (DWORD)-1, EVENTLOG_ERROR_TYPE, MSG_STOPPED_OUTSIDE_SCM);
}

void releaseStop() {
  AcquireSRWLockExclusive(&endLock);
  stopRunning = false;
  setIf(stopDone);
  ReleaseSRWLockExclusive(&endLock);
  serviceWorkEnds();
}
} // namespace

bool createServiceEvents() {
  if (!createStatusEvent())
    return false;
  if (!terminationEvent.load())
    terminationEvent.store(manualEvent(false));
  if (!terminationEvent.load())
    return false;
  AcquireSRWLockExclusive(&endLock);
  if (!stopDone)
    stopDone = manualEvent(!stopRunning);
  if (!workDone)
    workDone = manualEvent(work == 0);
  bool made = stopDone && workDone;
  ReleaseSRWLockExclusive(&endLock);
  return made;
}

void resetServiceEnd() {
  AcquireSRWLockExclusive(&endLock);
  stopRunning = systemEnding = ending = runningOwed = false;
  outcome = kEndOpen;
  setIf(stopDone);
  ReleaseSRWLockExclusive(&endLock);
}

int beginStop(int kind) {
  AcquireSRWLockExclusive(&endLock);
  if (endsTheService(kind))
    systemEnding = true;
  int answer = ending ? kServiceEnded : stopRunning ? kStopRunning : kStopBegins;
  if (answer == kStopBegins) {
    stopRunning = true;
    if (work++ == 0 && workDone)
      ResetEvent(workDone);
    if (stopDone)
      ResetEvent(stopDone);
  }
  ReleaseSRWLockExclusive(&endLock);
  return answer;
}

void finishStop(int kind, int result) {
  if (result == kServerGoneBefore) {
    if (decideEnd())
      endOutsideScm();
    releaseStop();
    return;
  }
  AcquireSRWLockExclusive(&endLock);
  bool endNow = result == kServerStopped || endsTheService(kind) || systemEnding;
  ending = ending || endNow;
  ReleaseSRWLockExclusive(&endLock);

  if (result == kServerNotStopped)
    debug("serviceHandler: The server could not be stopped.");
  if (kind == kStopFailedStart) {
    endService(ERROR_SERVICE_SPECIFIC_ERROR, (DWORD)-1, EVENTLOG_ERROR_TYPE, MSG_START_FAILED,
               result == kServerNotStopped ? MSG_STOP_FAILED : 0);
  } else if (result == kServerStopped && kind == kStopUnsupervised) {
    endService(ERROR_SERVICE_SPECIFIC_ERROR, (DWORD)-1, EVENTLOG_ERROR_TYPE, MSG_GENERIC);
  } else if (result == kServerStopped) {
    endService(NO_ERROR, 0, EVENTLOG_SUCCESS, MSG_SERVER_SHUTDOWN);
  } else if (endNow) {
    endService(ERROR_SERVICE_SPECIFIC_ERROR, (DWORD)-1, EVENTLOG_ERROR_TYPE, MSG_STOP_FAILED);
  } else {
    // The service runs on. The sequence still owns the stop while it says
    // so, so a shutdown that comes meanwhile is owed its end below.
    SERVICE_STATUS_HANDLE *slot = serviceStatusSlot.load();
    if (slot && updateServiceStatus(SERVICE_RUNNING, NO_ERROR, 0, 0, 0, slot) == kReportRefused) {
      debug("doStopApplication: the running report was refused; it is made again on the next "
            "pass.");
      AcquireSRWLockExclusive(&endLock);
      runningOwed = true;
      ReleaseSRWLockExclusive(&endLock);
    }
    reportServiceEvent(EVENTLOG_ERROR_TYPE, MSG_STOP_FAILED);
    AcquireSRWLockExclusive(&endLock);
    bool owedEnd = systemEnding && !ending;
    ending = ending || owedEnd;
    ReleaseSRWLockExclusive(&endLock);
    if (owedEnd)
      endService(ERROR_SERVICE_SPECIFIC_ERROR, (DWORD)-1, EVENTLOG_ERROR_TYPE, MSG_STOP_FAILED);
  }
  releaseStop();
}

int serverGone() {
  AcquireSRWLockExclusive(&endLock);
  int answer = ending ? kServiceEnded : stopRunning ? kStopRunning : kStopBegins;
  if (answer == kStopBegins)
    ending = true;
  ReleaseSRWLockExclusive(&endLock);
  if (answer != kStopBegins)
    return answer;
  endOutsideScm();
  return kServiceEnded;
}

void endFailedStart() {
  if (decideEnd())
    endService(ERROR_SERVICE_SPECIFIC_ERROR, (DWORD)-1, EVENTLOG_ERROR_TYPE, MSG_START_FAILED);
}

void endUndecided() {
  if (decideEnd())
    endService(NO_ERROR, 0, 0, 0);
}

bool serviceEnding() {
  AcquireSRWLockExclusive(&endLock);
  bool decided = ending;
  ReleaseSRWLockExclusive(&endLock);
  return decided;
}

bool stopUnderWay() {
  AcquireSRWLockExclusive(&endLock);
  bool running = stopRunning;
  ReleaseSRWLockExclusive(&endLock);
  return running;
}

int endOutcome() {
  AcquireSRWLockExclusive(&endLock);
  int told = outcome;
  ReleaseSRWLockExclusive(&endLock);
  return told;
}

void waitForStopToFinish() {
  if (stopDone)
    WaitForSingleObject(stopDone, INFINITE);
}

bool runningReportOwed() {
  AcquireSRWLockExclusive(&endLock);
  bool owed = runningOwed && !ending;
  ReleaseSRWLockExclusive(&endLock);
  return owed;
}

void runningReportMade() {
  AcquireSRWLockExclusive(&endLock);
  runningOwed = false;
  ReleaseSRWLockExclusive(&endLock);
}

void serviceWorkBegins() {
  AcquireSRWLockExclusive(&endLock);
  if (work++ == 0 && workDone)
    ResetEvent(workDone);
  ReleaseSRWLockExclusive(&endLock);
}

void serviceWorkEnds() {
  AcquireSRWLockExclusive(&endLock);
  if (--work == 0)
    setIf(workDone);
  ReleaseSRWLockExclusive(&endLock);
}

bool waitForServiceThreads() {
  AcquireSRWLockExclusive(&endLock);
  HANDLE done = workDone;
  ReleaseSRWLockExclusive(&endLock);
  if (done)
    return WaitForSingleObject(done, kWorkTailMs) == WAIT_OBJECT_0;
  // The event could not be made (the start failed for it): the work's end
  // is looked for instead, within the same bound, so that its last event is
  // not cut off by the end of the process.
  for (DWORD waited = 0;; waited += kWorkPollMs) {
    AcquireSRWLockExclusive(&endLock);
    bool idle = work == 0;
    ReleaseSRWLockExclusive(&endLock);
    if (idle)
      return true;
    if (waited >= kWorkTailMs)
      return false;
    Sleep(kWorkPollMs);
  }
}

void reportServiceEvent(WORD type, DWORD eventId, const char *text) {
  char generic[kEventTextSize];
  LPCSTR strings[1] = {text ? text : instanceDir};
  if (eventId == MSG_GENERIC && !text) {
    boundedFormat(generic, sizeof generic,
                  "Velkor in %s could not be supervised; the service stopped it.", instanceDir);
    strings[0] = generic;
  }
  ReportEventA(eventSource, type, EVENT_CATEGORY, eventId, nullptr, 1, 0, strings, nullptr);
}
