// The stand-in's clock: Sleep, GetTickCount and every wait of the stand-in.
//
// Scaled real time by default: a sleep or a wait lasts the program's
// milliseconds times the time scale (standinScaledMs), and the tick count
// advances by real time divided by the scale.
//
// Virtual time with VELKOR_STANDIN_CLOCK=virtual: one clock per simulated
// machine, in <root>/clock, shared by every stand-in process of it. It is a
// conservative discrete-event clock. Its participants are the processes of
// the machine, each with the number of its threads that are running (not in
// a stand-in sleep or wait); a process a stand-in process creates counts as
// running from its creation until it is reaped, whatever program it runs.
// The clock moves only when no participant runs: to the earliest deadline of
// the threads that wait, and it then wakes that one thread only (ties go to
// the earlier wait). Whatever ends a wait early (an event set, a thread or a
// process that ends) makes the waiter running under the clock's lock, so the
// clock cannot move past it. A sleep thus lasts exactly the time asked, and
// how often a loop runs depends on nothing but the program and its faults.
// Time passes only while the test lets it: while a process of the test's
// own steps runs (VELKOR_STANDIN_DRIVER=1 in its environment; the processes
// the machine starts do not inherit it), or once <root>/clock.free exists
// (the test has stopped acting). Between two steps it stands still.
//
// GetTickCount is, like the Windows tick count, a 32-bit millisecond counter
// that wraps ("The elapsed time is stored as a DWORD value. Therefore, the
// time will wrap around to zero if the system is run continuously for 49.7
// days", GetTickCount documentation), so callers measure with unsigned
// differences.
#include "standin.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr int kProcesses = 64, kWaits = 256;
constexpr unsigned long long kNever = ~0ull;
enum { kFree, kBlocked, kWoken, kTimedOut };

struct Shared {
  pthread_mutex_t mutex; // robust: a process killed while holding it does not stop the machine
  pthread_cond_t changed;
  unsigned long long now, sequence;
  struct Process {
    int pid, running, reaper, driver; // reaper: the stand-in parent that reaps it, or 0
  } processes[kProcesses];
  struct Wait {
    int pid, state;
    const void *token;
    unsigned long long deadline, sequence;
  } waits[kWaits];
};

Shared *shared = nullptr;
bool isVirtual = false;

// Scaled real time: one lock and one condition for every wait of the process.
// Never destroyed: the reaper thread of a child may still signal its end
// while the process runs its static destructors.
std::mutex &localMutex = *new std::mutex;
std::condition_variable &localChanged = *new std::condition_variable;

Shared *mapShared() {
  char path[4200], own[4300];
  snprintf(path, sizeof path, "%s/clock", standinRoot());
  int fd = open(path, O_RDWR);
  if (fd < 0) {
    // Made complete under a name of its own, then linked into place: every
    // process sees either no clock or a ready one.
    snprintf(own, sizeof own, "%s.%d", path, (int)getpid());
    int made = open(own, O_RDWR | O_CREAT | O_TRUNC, 0666);
    if (made < 0 || ftruncate(made, sizeof(Shared)) != 0)
      abort();
    Shared *fresh = static_cast<Shared *>(
        mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED, made, 0));
    pthread_mutexattr_t mutexAttributes;
    pthread_mutexattr_init(&mutexAttributes);
    pthread_mutexattr_setpshared(&mutexAttributes, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&mutexAttributes, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(&fresh->mutex, &mutexAttributes);
    pthread_condattr_t conditionAttributes;
    pthread_condattr_init(&conditionAttributes);
    pthread_condattr_setpshared(&conditionAttributes, PTHREAD_PROCESS_SHARED);
    pthread_cond_init(&fresh->changed, &conditionAttributes);
    munmap(fresh, sizeof(Shared));
    int linked = link(own, path);
    unlink(own);
    close(made);
    if (linked != 0 && errno != EEXIST)
      abort();
    fd = open(path, O_RDWR);
  }
  void *mapped = fd < 0 ? MAP_FAILED
                        : mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (mapped == MAP_FAILED)
    abort();
  close(fd);
  return static_cast<Shared *>(mapped);
}

struct Locked {
  Locked() {
    if (pthread_mutex_lock(&shared->mutex) == EOWNERDEAD)
      pthread_mutex_consistent(&shared->mutex);
  }
  ~Locked() { pthread_mutex_unlock(&shared->mutex); }
};

Shared::Process *processOf(int pid, bool create) {
  Shared::Process *space = nullptr;
  for (Shared::Process &process : shared->processes) {
    if (process.pid == pid)
      return &process;
    if (!process.pid && !space)
      space = &process;
  }
  if (!create || !space)
    return nullptr;
  *space = {pid, 1, 0, 0}; // its first thread runs
  return space;
}

// A zombie whose stand-in parent lives is over when that parent reaps it
// (the reaper then removes it itself).
bool ended(const Shared::Process &process) {
  if (!standinProcessEnded(process.pid))
    return false;
  return kill(process.pid, 0) != 0 || !process.reaper || standinProcessEnded(process.reaper);
}

void forget(int pid) {
  for (Shared::Wait &wait : shared->waits)
    if (wait.pid == pid)
      wait.state = kFree;
  if (Shared::Process *process = processOf(pid, false))
    *process = {0, 0, 0, 0};
}

void wake(const void *token) {
  int self = (int)getpid();
  for (Shared::Wait &wait : shared->waits) {
    if (wait.state == kBlocked && wait.pid == self && wait.token == token) {
      wait.state = kWoken;
      processOf(self, true)->running++;
    }
  }
  pthread_cond_broadcast(&shared->changed);
}

// Moves the clock when nothing runs and the test lets time pass. Caller
// holds the lock.
void advance() {
  bool driver = false;
  for (Shared::Process &process : shared->processes) {
    if (process.pid && process.running > 0 && ended(process))
      forget(process.pid); // a process cannot end while all its threads wait
    else if (process.pid && process.running > 0)
      return;
    driver = driver || (process.pid && process.driver);
  }
  if (!driver) {
    char path[4200];
    struct stat info;
    snprintf(path, sizeof path, "%s/clock.free", standinRoot());
    if (stat(path, &info) != 0)
      return;
  }
  Shared::Wait *next = nullptr;
  for (Shared::Wait &wait : shared->waits)
    if (wait.state == kBlocked && wait.deadline != kNever &&
        (!next || wait.deadline < next->deadline ||
         (wait.deadline == next->deadline && wait.sequence < next->sequence)))
      next = &wait;
  Shared::Process *owner = next ? processOf(next->pid, false) : nullptr;
  if (!owner)
    return;
  if (next->deadline > shared->now)
    shared->now = next->deadline;
  next->state = kTimedOut;
  owner->running++;
  pthread_cond_broadcast(&shared->changed);
}

// Joins this process to its machine's clock as the program starts.
const bool joined = [] {
  const char *mode = getenv("VELKOR_STANDIN_CLOCK");
  isVirtual = mode && strcmp(mode, "virtual") == 0;
  if (!isVirtual)
    return false;
  shared = mapShared();
  const char *driver = getenv("VELKOR_STANDIN_DRIVER");
  Locked lock;
  processOf((int)getpid(), true)->driver = driver && strcmp(driver, "1") == 0;
  return true;
}();

bool virtualWait(const void *token, DWORD ms, const std::function<bool()> &ready) {
  Locked lock;
  if (ready())
    return true;
  int self = (int)getpid();
  Shared::Wait *wait = nullptr;
  for (Shared::Wait &slot : shared->waits)
    if (slot.state == kFree && !wait)
      wait = &slot;
  if (!wait)
    abort(); // more waiting threads than any scenario has
  *wait = {self, kBlocked, token, ms == INFINITE ? kNever : shared->now + ms, ++shared->sequence};
  processOf(self, true)->running--;
  for (;;) {
    advance();
    if (wait->state == kTimedOut || wait->state == kFree) {
      wait->state = kFree;
      return false;
    }
    if (wait->state == kWoken) {
      if (ready()) {
        wait->state = kFree;
        return true;
      }
      wait->state = kBlocked; // another waiter took it first
      processOf(self, true)->running--;
      continue;
    }
    // Processes end without a word to the clock: look again now and then.
    struct timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_nsec += 5000000;
    if (until.tv_nsec >= 1000000000) {
      until.tv_sec++;
      until.tv_nsec -= 1000000000;
    }
    if (pthread_cond_timedwait(&shared->changed, &shared->mutex, &until) == EOWNERDEAD)
      pthread_mutex_consistent(&shared->mutex);
  }
}
} // namespace

bool standinVirtualClock() { return isVirtual; }

// Ended means exited, reaped or not: a zombie is only an exit code waiting
// for its parent (here nothing reaps an orphan, so it stays one).
bool standinProcessEnded(int pid) {
  if (kill(pid, 0) != 0 && errno == ESRCH)
    return true;
  char path[64], text[256] = "";
  snprintf(path, sizeof path, "/proc/%d/stat", pid);
  FILE *file = fopen(path, "r");
  if (file) {
    size_t length = fread(text, 1, sizeof text - 1, file);
    text[length] = 0;
    fclose(file);
  }
  const char *state = strrchr(text, ')');
  return state && (state[2] == 'Z' || state[2] == 'X');
}

unsigned long long standinNowMs() {
  if (isVirtual) {
    Locked lock;
    return shared->now;
  }
  static const auto origin = std::chrono::steady_clock::now();
  return (unsigned long long)std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now() - origin)
      .count();
}

bool standinClockWait(const void *token, DWORD ms, const std::function<bool()> &ready) {
  if (isVirtual)
    return virtualWait(token, ms, ready);
  std::unique_lock<std::mutex> lock(localMutex);
  if (ms == INFINITE) {
    localChanged.wait(lock, ready);
    return true;
  }
  return localChanged.wait_for(lock, std::chrono::milliseconds(standinScaledMs(ms)), ready);
}

void standinClockChange(const void *token, const std::function<void()> &change) {
  if (!isVirtual) {
    std::lock_guard<std::mutex> guard(localMutex);
    change();
    localChanged.notify_all();
    return;
  }
  Locked lock;
  change();
  if (token)
    wake(token);
}

void standinPollSleep(DWORD ms) {
  if (isVirtual) {
    virtualWait(nullptr, ms, [] { return false; });
    return;
  }
  usleep((useconds_t)ms * 1000);
}

void standinClockThreadStarts() {
  if (!isVirtual)
    return;
  Locked lock;
  processOf((int)getpid(), true)->running++;
}

void standinClockThreadEnds(const void *token, const std::function<void()> &change) {
  if (!isVirtual) {
    standinClockChange(token, change);
    return;
  }
  Locked lock;
  change();
  wake(token);
  processOf((int)getpid(), true)->running--;
}

void standinClockChildStarts(int pid) {
  if (!isVirtual)
    return;
  Locked lock;
  Shared::Process *child = processOf(pid, true);
  if (child)
    child->reaper = (int)getpid();
}

void standinClockChildEnded(int pid, const void *token, const std::function<void()> &change) {
  if (!isVirtual) {
    standinClockChange(token, change);
    return;
  }
  Locked lock;
  forget(pid);
  change();
  wake(token);
}

void Sleep(DWORD milliseconds) {
  standinFailTimed("Sleep", milliseconds); // recorded and traced; a sleep cannot fail
  if (isVirtual) {
    virtualWait(nullptr, milliseconds, [] { return false; });
    return;
  }
  DWORD ms = standinScaledMs(milliseconds);
  struct timespec request = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
  while (nanosleep(&request, &request) != 0 && errno == EINTR) {
  }
}

DWORD GetTickCount(void) {
  standinFailNow("GetTickCount"); // counted and traced; it cannot fail
  if (isVirtual)
    return (DWORD)standinNowMs();
  static const auto origin = std::chrono::steady_clock::now();
  auto real = std::chrono::duration_cast<std::chrono::microseconds>(
                  std::chrono::steady_clock::now() - origin)
                  .count();
  // Real milliseconds per million program milliseconds; a scale of 0 makes
  // every sleep instant, and the clock then runs a thousand times fast.
  DWORD perMillion = standinScaledMs(1000000);
  return (DWORD)(perMillion ? (unsigned long long)real * 1000ull / perMillion
                            : (unsigned long long)real);
}
