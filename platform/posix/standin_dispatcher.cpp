// The hosting side of the stand-in SCM: the service control dispatcher, the
// handler registration and status reports of a service process, and the
// start of a service's process.
//
// A process is a service host when the stand-in SCM started it: its
// environment names the service (VELKOR_STANDIN_SERVICE) and the service's
// record names the process as host. Anywhere else StartServiceCtrlDispatcherA
// answers ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, as on Windows.
//
// Controls travel through the database's control queue: the SCM side posts
// one and waits for its acknowledgement; the dispatcher's thread takes them in
// order and, one at a time, either calls the registered handler with it or,
// when the service's state refuses it (standinScmControlRefusal), answers the
// refusal; then it acks it with that answer.
//
// Wine's dispatcher (dlls/sechost/service.c, service_control_dispatcher) calls
// the handler inside its critical section service_cs, and SetServiceStatus,
// after its call to the SCM, enters the same section when the state is
// SERVICE_STOPPED. The stand-in does the same with dispatcherLock (recursive,
// as a critical section is), so a service that holds a lock of its own across
// SetServiceStatus(SERVICE_STOPPED) while its handler waits for that lock
// deadlocks here as it does under Wine.
//
// StartServiceCtrlDispatcher "does not return until all running services in
// the process have entered the SERVICE_STOPPED state" (its documentation):
// a serviceMain that returns without that report leaves the dispatcher
// waiting, as on Windows. A report made after SERVICE_STOPPED is recorded
// (standinScmNoteLateStatus) for the tests to see.
#include "standin_dispatcher.h"

#include "standin.h"
#include "standin_process.h"
#include "standin_scm_store.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {
// What this process knows as a service host. The handler is published by
// RegisterServiceCtrlHandlerA (service thread) and read by the dispatcher's
// thread; the flags are set by SetServiceStatus and the service thread.
struct HostState {
  std::atomic<LPHANDLER_FUNCTION> handler{nullptr};
  std::atomic<LPHANDLER_FUNCTION_EX> handlerEx{nullptr};
  std::atomic<LPVOID> context{nullptr};
  std::atomic<bool> dispatching{false};
  std::atomic<bool> stoppedReported{false};
  std::recursive_mutex dispatcherLock; // Wine's service_cs

  bool registered() const { return handler.load() || handlerEx.load(); }
  void call(DWORD control) {
    LPHANDLER_FUNCTION_EX ex = handlerEx.load();
    if (ex)
      ex(control, 0, nullptr, context.load());
    else
      handler.load()(control);
  }
};

HostState &host() {
  static HostState *state = new HostState; // used until the very end of the process
  return *state;
}

constexpr DWORD kPollMs = 10;

std::mutex stoppedHookMutex;
std::function<void()> stoppedHook;

// Enters the dispatcher's lock. Taken by polling, so that a thread waiting
// for it is a waiting thread to the stand-in's clock. Where Wine would hang
// for good, the stand-in ends the test with the reason after a minute.
void enterDispatcherLock() {
  auto started = std::chrono::steady_clock::now();
  while (!host().dispatcherLock.try_lock()) {
    if (std::chrono::steady_clock::now() - started > std::chrono::minutes(1)) {
      fprintf(stderr, "stand-in: SetServiceStatus(SERVICE_STOPPED) has waited a minute for the "
                      "dispatcher's lock, which the control handler holds: a deadlock.\n");
      abort();
    }
    standinPollSleep(1);
  }
}
constexpr int kHostWaitPolls = 500; // 5 s for the starter to record our pid

void destroyName(void *object) { delete static_cast<std::string *>(object); }

// True when the service's record names this process as its host. A process
// started a moment ago may look before its starter has recorded its pid
// (hostPid -1 while that is pending), so that case is waited for.
bool hostedHere(const char *name, std::string *serviceName) {
  for (int poll = 0; poll < kHostWaitPolls; ++poll) {
    StandinService service;
    {
      StandinScmLock lock;
      if (!standinScmLoad(name, &service))
        return false;
    }
    if (service.hostPid == (int)getpid()) {
      *serviceName = service.name;
      return true;
    }
    if (service.hostPid != -1)
      return false;
    standinPollSleep(kPollMs);
  }
  return false;
}

// The sequence number of the newest control queued so far (0 when none).
long newestControl(const char *name) {
  long seq = 0, next = 0;
  DWORD control = 0;
  while (standinScmTakeControl(name, seq, &next, &control))
    seq = next;
  return seq;
}

void markStopped(const char *name, DWORD win32ExitCode, int onlyForPid) {
  StandinScmLock lock;
  StandinService service;
  if (!standinScmLoad(name, &service))
    return;
  if (onlyForPid && service.hostPid != onlyForPid)
    return;
  service.status = {SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, win32ExitCode, 0, 0, 0};
  service.hostPid = 0;
  standinScmSave(service);
  standinScmEraseIfDeleted(service);
}
} // namespace

BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA *serviceTable) {
  if (standinFailNow("StartServiceCtrlDispatcherA"))
    return FALSE;
  if (!serviceTable || !serviceTable[0].lpServiceName || !serviceTable[0].lpServiceProc) {
    SetLastError(ERROR_INVALID_DATA);
    return FALSE;
  }
  const char *hostedName = getenv("VELKOR_STANDIN_SERVICE");
  std::string name;
  if (!hostedName || !*hostedName || !hostedHere(hostedName, &name)) {
    SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return FALSE;
  }
  HostState &state = host();
  if (state.dispatching.exchange(true)) {
    SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
    return FALSE;
  }
  state.stoppedReported = false;
  {
    StandinScmLock lock; // connected: the starter's StartServiceA may return
    StandinService service;
    if (standinScmLoad(name.c_str(), &service)) {
      service.connected = true;
      standinScmSave(service);
    }
  }

  // An own-process service: the table's first entry is the service.
  LPSERVICE_MAIN_FUNCTIONA serviceMainProc = serviceTable[0].lpServiceProc;
  standinClockThreadStarts();
  try {
    std::thread([serviceMainProc, name] {
      std::string argument = name;
      LPSTR argv[2] = {&argument[0], nullptr};
      serviceMainProc(1, argv);
      standinClockThreadEnds(nullptr, [] {});
    }).detach();
  } catch (...) {
    standinClockThreadEnds(nullptr, [] {});
    state.dispatching = false;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }

  // Controls queued before this start were meant for an earlier run.
  long handled = newestControl(name.c_str());
  if (handled > standinScmLastAck(name.c_str()))
    standinScmAckControl(name.c_str(), handled);
  // The queue only grows, so it is read again only when its size changed.
  std::string queuePath = standinScmFile(name.c_str(), "ctl");
  off_t queueSize = -1;
  for (;;) {
    long seq = 0;
    DWORD control = 0;
    bool registered = state.registered();
    struct stat queue;
    off_t size = stat(queuePath.c_str(), &queue) == 0 ? queue.st_size : 0;
    // Held until a handler is registered; then one at a time, in order.
    while (registered && !state.stoppedReported && size != queueSize &&
           standinScmTakeControl(name.c_str(), handled, &seq, &control)) {
      StandinService record;
      DWORD refusal = ERROR_SERVICE_DOES_NOT_EXIST;
      {
        StandinScmLock lock;
        if (standinScmLoad(name.c_str(), &record))
          refusal = standinScmControlRefusal(record.status, control);
      }
      if (!refusal) {
        enterDispatcherLock();
        state.call(control);
        state.dispatcherLock.unlock();
      }
      standinScmAckControl(name.c_str(), seq, refusal);
      handled = seq;
    }
    if (registered)
      queueSize = size;
    if (state.stoppedReported)
      break;
    standinPollSleep(kPollMs);
  }
  // Nobody is left to handle what is still queued: release its senders.
  handled = newestControl(name.c_str());
  if (handled > standinScmLastAck(name.c_str()))
    standinScmAckControl(name.c_str(), handled, ERROR_SERVICE_NOT_ACTIVE);
  state.dispatching = false;
  return TRUE;
}

namespace {
SERVICE_STATUS_HANDLE registerHandler(const char *call, LPCSTR serviceName,
                                      LPHANDLER_FUNCTION handler, LPHANDLER_FUNCTION_EX handlerEx,
                                      LPVOID context, const void *site) {
  if (standinFailNow(call, site))
    return nullptr;
  if (!serviceName || (!handler && !handlerEx)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  StandinService service;
  {
    StandinScmLock lock;
    if (!standinScmLoad(serviceName, &service) || service.hostPid != (int)getpid()) {
      SetLastError(ERROR_SERVICE_DOES_NOT_EXIST); // not a service of this process
      return nullptr;
    }
  }
  HostState &state = host();
  state.context = context;
  state.handlerEx = handlerEx;
  state.handler = handler;
  state.stoppedReported = false; // a new run of the service
  return static_cast<SERVICE_STATUS_HANDLE>(
      standinNewHandle(kStandinStatus, new std::string(service.name), destroyName));
}
} // namespace

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(LPCSTR serviceName,
                                                  LPHANDLER_FUNCTION handler) {
  return registerHandler("RegisterServiceCtrlHandlerA", serviceName, handler, nullptr, nullptr,
                         __builtin_return_address(0));
}

// The extended handler also receives the controls the plain one never gets
// (SERVICE_CONTROL_PRESHUTDOWN among them: HandlerEx documentation).
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExA(LPCSTR serviceName,
                                                    LPHANDLER_FUNCTION_EX handler,
                                                    LPVOID context) {
  return registerHandler("RegisterServiceCtrlHandlerExA", serviceName, nullptr, handler, context,
                         __builtin_return_address(0));
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE statusHandle, LPSERVICE_STATUS status) {
  if (standinFailNow("SetServiceStatus"))
    return FALSE;
  const std::string *name =
      static_cast<const std::string *>(standinHandleObject(statusHandle, kStandinStatus));
  if (!name)
    return FALSE;
  if (!status || status->dwCurrentState < SERVICE_STOPPED ||
      status->dwCurrentState > SERVICE_PAUSED) {
    SetLastError(ERROR_INVALID_DATA);
    return FALSE;
  }
  if (status->dwCurrentState == SERVICE_STOPPED) {
    std::function<void()> hook;
    {
      std::lock_guard<std::mutex> guard(stoppedHookMutex);
      hook = stoppedHook;
    }
    if (hook)
      hook();
  }
  {
    StandinScmLock lock;
    StandinService service;
    if (!standinScmLoad(name->c_str(), &service)) {
      SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
      return FALSE;
    }
    if (host().stoppedReported) {
      // The SCM is done with the service; the report changes nothing there.
      standinScmNoteLateStatus(name->c_str(), *status);
      return TRUE;
    }
    service.status = *status;
    standinScmAppendStatus(name->c_str(), *status);
    if (status->dwCurrentState == SERVICE_STOPPED)
      service.hostPid = 0;
    standinScmSave(service);
    if (status->dwCurrentState == SERVICE_STOPPED)
      standinScmEraseIfDeleted(service);
  }
  if (status->dwCurrentState == SERVICE_STOPPED) {
    // After the SCM has the report, as Wine's SetServiceStatus does: the
    // dispatcher is told under its lock.
    enterDispatcherLock();
    host().stoppedReported = true;
    host().dispatcherLock.unlock();
  }
  return TRUE;
}

void standinBeforeStoppedReport(const std::function<void()> &hook) {
  std::lock_guard<std::mutex> guard(stoppedHookMutex);
  stoppedHook = hook;
}

// How a service process that cannot report its end leaves: at once, with the
// code given ("Ends the calling process and all its threads", ExitProcess
// documentation). No atexit handler or static destructor runs: they would
// tear the stand-in down under threads that are still running.
void ExitProcess(DWORD exitCode) {
  standinFailNow("ExitProcess"); // counted and traced; it cannot fail
  fflush(nullptr);
  // A POSIX exit status keeps 8 bits; a non-zero code stays non-zero.
  int status = (int)(exitCode & 0xFF);
  _exit(status == 0 && exitCode != 0 ? 1 : status);
}

// Returns once the new process has connected to the dispatcher. One that
// ends first, or has not connected within standinScmReplyBoundMs, fails the
// start with ERROR_SERVICE_REQUEST_TIMEOUT and is ended: the service is then
// stopped (Wine's programs/services/services.c: service_wait_for_startup
// waits for the connection or the process's end, and service_start
// terminates the process of a start that failed).
DWORD standinStartService(const char *name) {
  std::string binaryPath, serviceName;
  {
    StandinScmLock lock;
    standinScmSweepDeleted();
    StandinService service;
    if (!standinScmLoad(name, &service))
      return ERROR_SERVICE_DOES_NOT_EXIST;
    if (service.markedForDelete)
      return ERROR_SERVICE_MARKED_FOR_DELETE;
    if (service.status.dwCurrentState != SERVICE_STOPPED)
      return ERROR_SERVICE_ALREADY_RUNNING;
    service.status = {SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, 0, 0, 0, 0};
    service.hostPid = -1; // the process is on its way
    service.connected = false;
    standinScmSave(service);
    binaryPath = service.binaryPath;
    serviceName = service.name;
  }
  PROCESS_INFORMATION info = {};
  if (!standinSpawn(nullptr, binaryPath.c_str(), {"VELKOR_STANDIN_SERVICE=" + serviceName}, false,
                    &info)) {
    DWORD error = GetLastError();
    markStopped(serviceName.c_str(), error, -1);
    return error;
  }
  int pid = (int)info.dwProcessId;
  {
    StandinScmLock lock;
    StandinService service;
    if (standinScmLoad(serviceName.c_str(), &service) && service.hostPid == -1) {
      service.hostPid = service.processPid = pid;
      standinScmSave(service);
    }
  }
  // The start succeeds once the process has connected, even when it has
  // ended since (StartService: the SCM waits for the service process to call
  // StartServiceCtrlDispatcher, and answers ERROR_SERVICE_REQUEST_TIMEOUT only
  // when it never does); the connection is looked at before the process's
  // end, so a process that connects and dies between two looks still started.
  DWORD error = ERROR_SERVICE_REQUEST_TIMEOUT;
  unsigned long long bound = standinScmReplyBoundMs(), started = standinNowMs();
  for (;;) {
    StandinService service;
    {
      StandinScmLock lock;
      if (!standinScmLoad(serviceName.c_str(), &service))
        break;
    }
    if (service.connected) {
      error = 0;
      break;
    }
    if (standinProcessEnded(info.hProcess, false) || standinNowMs() - started >= bound)
      break;
    standinPollSleep(kPollMs);
  }
  if (error) {
    // A process that died is recorded as the SCM records any death of one.
    bool died = standinProcessEnded(info.hProcess, false);
    kill(pid, SIGKILL);
    standinProcessEnded(info.hProcess, true);
    markStopped(serviceName.c_str(), died ? kStandinProcessAborted : error, pid);
  }
  // The stand-in's reaper keeps watching the child; the handles are not needed.
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return error;
}

bool standinScmNoteDeadHost(const char *name) {
  StandinService service;
  {
    StandinScmLock lock;
    standinScmSweepDeleted();
    if (!standinScmLoad(name, &service))
      return false;
  }
  if (service.hostPid <= 0 || service.status.dwCurrentState == SERVICE_STOPPED)
    return false;
  if (standinScmProcessAlive(service.hostPid))
    return false;
  markStopped(name, kStandinProcessAborted, service.hostPid);
  return true;
}

// The service's own arguments are not passed on: an own-process service's
// main gets its name only, as the SCM's automatic start gives it.
BOOL StartServiceA(SC_HANDLE service, DWORD, LPCSTR *) {
  if (standinFailNow("StartServiceA"))
    return FALSE;
  std::string name;
  if (!standinScmServiceOfHandle(service, SERVICE_START, &name))
    return FALSE;
  DWORD error = standinStartService(name.c_str());
  if (error) {
    SetLastError(error);
    return FALSE;
  }
  return TRUE;
}
