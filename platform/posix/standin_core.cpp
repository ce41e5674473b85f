// Stand-in core: the machine root, fault rules, the call timeline, errno
// mapping, the handle table, last-error, time, the process id and the C
// runtime's allocation and stream writes. It calls nothing of the other
// stand-in files; they build on it.
#include "standin.h"

#include <cerrno>
#include <dlfcn.h>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// ---- The simulated machine ------------------------------------------------

static void makeDirectories(const char *path) {
  char buffer[4096];
  snprintf(buffer, sizeof buffer, "%s", path);
  for (char *p = buffer + 1; *p; ++p) {
    if (*p == '/') {
      *p = 0;
      mkdir(buffer, 0777);
      *p = '/';
    }
  }
  mkdir(buffer, 0777);
}

const char *standinRoot() {
  static std::once_flag once;
  static char root[4096];
  std::call_once(once, [] {
    const char *configured = getenv("VELKOR_STANDIN_ROOT");
    if (configured && *configured) {
      snprintf(root, sizeof root, "%s", configured);
    } else {
      const char *tmp = getenv("TMPDIR");
      snprintf(root, sizeof root, "%s/velkor-standin", tmp && *tmp ? tmp : "/tmp");
    }
    makeDirectories(root);
  });
  return root;
}

void standinRootPath(const char *sub, char *out, size_t size) {
  snprintf(out, size, "%s/%s", standinRoot(), sub);
  makeDirectories(out);
}

// ---- Faults ---------------------------------------------------------------

namespace {
struct FaultRule {
  std::string call;
  DWORD error;
  int first;
  int count;
  std::string program; // empty: every process; else only processes of this program file name
  std::string site;    // empty: occurrences of the call anywhere; else only at this site
};

// The file name of the running program, for rules and traces that name one.
const std::string &programName() {
  static const std::string name = [] {
    char path[4096];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
      return std::string("?");
    path[length] = 0;
    const char *slash = strrchr(path, '/');
    return std::string(slash ? slash + 1 : path);
  }();
  return name;
}

// The program's name and its first argument, "velkor_service:start", so a rule
// or a trace can tell apart two processes of one program (a service and the
// command that removes it); the name alone when there is no argument.
const std::string &programRole() {
  static const std::string role = [] {
    std::string text = programName();
    FILE *file = fopen("/proc/self/cmdline", "rb");
    if (!file)
      return text;
    char buffer[4096];
    size_t length = fread(buffer, 1, sizeof buffer - 1, file);
    fclose(file);
    buffer[length] = 0;
    size_t first = strlen(buffer) + 1; // argv[1] follows argv[0]'s terminator
    if (first < length)
      text += std::string(":") + (buffer + first);
    return text;
  }();
  return role;
}

struct FaultState {
  std::mutex mutex;
  std::vector<FaultRule> inProcess;
  std::vector<FaultRule> fromFile;
  struct timespec fileStamp = {0, 0};
  off_t fileSize = -1;
  std::map<std::string, int> occurrences;
  std::map<std::string, int> siteOccurrences; // by "<call> <site>", counted while a rule names a site
  bool siteRules = false;
};

FaultState &faults() {
  static FaultState *state = new FaultState; // lives until process end, used by atexit work too
  return *state;
}

bool covers(const FaultRule &rule, const char *call, int occurrence) {
  if (rule.call != call || occurrence < rule.first)
    return false;
  if (!rule.site.empty())
    return false; // counted per site: siteCovers
  if (!rule.program.empty() && rule.program != programName() && rule.program != programRole())
    return false;
  return rule.count == 0 || occurrence < rule.first + rule.count;
}

// Re-reads <root>/faults when it has changed since the last look.
void refreshFileRules(FaultState &state) {
  char path[4200];
  snprintf(path, sizeof path, "%s/faults", standinRoot());
  struct stat info;
  if (stat(path, &info) != 0) {
    state.fromFile.clear();
    state.fileSize = -1;
    return;
  }
  if (info.st_size == state.fileSize && info.st_mtim.tv_sec == state.fileStamp.tv_sec &&
      info.st_mtim.tv_nsec == state.fileStamp.tv_nsec)
    return;
  state.fileSize = info.st_size;
  state.fileStamp = info.st_mtim;
  state.fromFile.clear();
  state.siteRules = false;
  FILE *file = fopen(path, "r");
  if (!file)
    return;
  char line[768];
  while (fgets(line, sizeof line, file)) {
    char name[128], program[256] = "", site[256] = "";
    unsigned long error = 0;
    int first = 1, count = 1;
    int fields = sscanf(line, "%127s %lu %d %d %255s %255s", name, &error, &first, &count, program,
                        site);
    if (fields < 2 || name[0] == '#')
      continue;
    if (strcmp(program, "*") == 0)
      program[0] = 0;
    state.fromFile.push_back({name, (DWORD)error, first, fields >= 4 ? count : 1, program, site});
    state.siteRules = state.siteRules || site[0];
  }
  fclose(file);
}

// "<module>+0x<offset>": a call site as traces and rules name it.
std::string siteName(const void *site) {
  Dl_info info;
  const char *module = "?";
  uintptr_t offset = (uintptr_t)site;
  if (site && dladdr(site, &info) && info.dli_fname) {
    const char *slash = strrchr(info.dli_fname, '/');
    module = slash ? slash + 1 : info.dli_fname;
    offset = (uintptr_t)site - (uintptr_t)info.dli_fbase;
  }
  char text[300];
  snprintf(text, sizeof text, "%s+0x%lx", module, (unsigned long)offset);
  return text;
}

// A rule that fired is appended to <root>/faults.fired, "<pid> <program> <call>
// <occurrence> <site>", so a test can tell a fault that never came from one
// the program took in its stride.
void recordFired(const char *call, int occurrence, const void *site) {
  char path[4200];
  snprintf(path, sizeof path, "%s/faults.fired", standinRoot());
  FILE *file = fopen(path, "a");
  if (!file)
    return;
  fprintf(file, "%d %s %s %d %s\n", (int)getpid(), programRole().c_str(), call, occurrence,
          siteName(site).c_str());
  fclose(file);
}

void traceCall(const char *call, int occurrence, const void *site, DWORD requestedMs) {
  const char *tracePath = getenv("VELKOR_STANDIN_CALLS");
  if (!tracePath || !*tracePath)
    return;
  FILE *file = fopen(tracePath, "a");
  if (!file)
    return;
  std::string where = siteName(site);
  if (requestedMs == kStandinNoLength)
    fprintf(file, "%d %s %s %d %s\n", (int)getpid(), programRole().c_str(), call, occurrence,
            where.c_str());
  else
    fprintf(file, "%d %s %s %d %s ms=%lu\n", (int)getpid(), programRole().c_str(), call,
            occurrence, where.c_str(), (unsigned long)requestedMs);
  fclose(file);
}

struct Timeline {
  std::mutex mutex;
  std::vector<StandinTimedCall> calls;
  bool overflowed = false;
  int threads = 0;
};

Timeline &timeline() {
  static Timeline *state = new Timeline; // lives until process end, like the fault state
  return *state;
}

void recordCall(const char *call, int occurrence, DWORD requestedMs) {
  static thread_local int thread = 0;
  Timeline &line = timeline();
  std::lock_guard<std::mutex> guard(line.mutex);
  if (thread == 0)
    thread = ++line.threads;
  if (line.calls.size() >= kStandinTimelineSize) {
    line.overflowed = true;
    return;
  }
  line.calls.push_back({call, occurrence, requestedMs, thread});
}

bool faultAt(const char *call, DWORD requestedMs, DWORD *error, const void *site) {
  FaultState &state = faults();
  std::lock_guard<std::mutex> guard(state.mutex);
  int occurrence = ++state.occurrences[call];
  recordCall(call, occurrence, requestedMs);
  traceCall(call, occurrence, site, requestedMs);
  refreshFileRules(state);
  for (const FaultRule &rule : state.inProcess) {
    if (covers(rule, call, occurrence)) {
      *error = rule.error;
      return true;
    }
  }
  std::string where;
  int atSite = 0;
  if (state.siteRules) {
    where = siteName(site);
    atSite = ++state.siteOccurrences[std::string(call) + " " + where];
  }
  for (const FaultRule &rule : state.fromFile) {
    bool hit = rule.site.empty() ? covers(rule, call, occurrence)
                                 : rule.call == call && rule.site == where &&
                                       (rule.program.empty() || rule.program == programName() ||
                                        rule.program == programRole()) &&
                                       atSite >= rule.first &&
                                       (rule.count == 0 || atSite < rule.first + rule.count);
    if (hit) {
      recordFired(call, rule.site.empty() ? occurrence : atSite, site);
      *error = rule.error;
      return true;
    }
  }
  return false;
}
} // namespace

bool standinFault(const char *call, DWORD *error, const void *site) {
  return faultAt(call, kStandinNoLength, error, site);
}

bool standinFailNow(const char *call, const void *site) {
  DWORD error = 0;
  if (!faultAt(call, kStandinNoLength, &error, site))
    return false;
  SetLastError(error);
  return true;
}

bool standinFailTimed(const char *call, DWORD requestedMs, const void *site) {
  DWORD error = 0;
  if (!faultAt(call, requestedMs, &error, site))
    return false;
  SetLastError(error);
  return true;
}

void standinFailCall(const char *call, DWORD error, int first, int count) {
  FaultState &state = faults();
  std::lock_guard<std::mutex> guard(state.mutex);
  state.inProcess.push_back({call, error, first, count, "", ""});
}

void standinClearFaults() {
  FaultState &state = faults();
  std::lock_guard<std::mutex> guard(state.mutex);
  state.inProcess.clear();
  state.occurrences.clear();
}

int standinCallCount(const char *call) {
  FaultState &state = faults();
  std::lock_guard<std::mutex> guard(state.mutex);
  auto found = state.occurrences.find(call);
  return found == state.occurrences.end() ? 0 : found->second;
}

std::vector<StandinTimedCall> standinTimeline() {
  Timeline &line = timeline();
  std::lock_guard<std::mutex> guard(line.mutex);
  return line.calls;
}

bool standinTimelineOverflowed() {
  Timeline &line = timeline();
  std::lock_guard<std::mutex> guard(line.mutex);
  return line.overflowed;
}

void standinClearTimeline() {
  Timeline &line = timeline();
  std::lock_guard<std::mutex> guard(line.mutex);
  line.calls.clear();
  line.overflowed = false;
}

// ---- Errors -------------------------------------------------------------

DWORD standinErrorFromErrno(int err) {
  switch (err) {
  case ENOENT:
    return ERROR_FILE_NOT_FOUND;
  case ENOTDIR:
    return ERROR_PATH_NOT_FOUND;
  case EACCES:
  case EPERM:
  case EISDIR:
  case EROFS:
    return ERROR_ACCESS_DENIED;
  case EEXIST:
    return ERROR_FILE_EXISTS;
  case ENAMETOOLONG:
    return ERROR_FILENAME_EXCED_RANGE;
  case ENOMEM:
    return ERROR_NOT_ENOUGH_MEMORY;
  case EBADF:
    return ERROR_INVALID_HANDLE;
  default:
    return ERROR_INVALID_PARAMETER;
  }
}

// ---- Handles --------------------------------------------------------------

namespace {
struct HandleTable {
  std::mutex mutex;
  std::set<const void *> live;
  int counts[kStandinKindCount] = {};
};

HandleTable &handles() {
  static HandleTable *table = new HandleTable; // outlives every static destructor
  return *table;
}
} // namespace

const char *standinKindName(int kind) {
  static const char *const names[kStandinKindCount] = {
      "any", "file", "process", "thread", "event", "scmanager", "service", "regkey",
      "eventsource", "status"};
  return kind >= 0 && kind < kStandinKindCount ? names[kind] : "unknown";
}

HANDLE standinNewHandle(int kind, void *object, void (*destroy)(void *object)) {
  StandinHandle *handle = new StandinHandle{kind, object, destroy};
  HandleTable &table = handles();
  std::lock_guard<std::mutex> guard(table.mutex);
  table.live.insert(handle);
  table.counts[kind]++;
  return handle;
}

void *standinHandleObject(const void *handle, int kind) {
  HandleTable &table = handles();
  std::lock_guard<std::mutex> guard(table.mutex);
  if (!handle || !table.live.count(handle)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  const StandinHandle *h = static_cast<const StandinHandle *>(handle);
  if (kind != kStandinAnyKind && h->kind != kind) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return h->object;
}

bool standinCloseHandle(const void *handle, int kind) {
  StandinHandle *h = nullptr;
  {
    HandleTable &table = handles();
    std::lock_guard<std::mutex> guard(table.mutex);
    if (!handle || !table.live.count(handle)) {
      SetLastError(ERROR_INVALID_HANDLE);
      return false;
    }
    h = static_cast<StandinHandle *>(const_cast<void *>(handle));
    if (kind != kStandinAnyKind && h->kind != kind) {
      SetLastError(ERROR_INVALID_HANDLE);
      return false;
    }
    table.live.erase(handle);
    table.counts[h->kind]--;
  }
  if (h->destroy)
    h->destroy(h->object);
  delete h;
  return true;
}

// With VELKOR_STANDIN_HANDLE_REPORT naming a file, a process appends at its
// end one line "<pid> <kind> <count>" for every kind of handle still open
// (nothing when all are closed), so tests can find leaks in child processes.
static void reportOpenHandlesAtExit() {
  const char *reportPath = getenv("VELKOR_STANDIN_HANDLE_REPORT");
  if (!reportPath || !*reportPath)
    return;
  HandleTable &table = handles();
  std::lock_guard<std::mutex> guard(table.mutex);
  FILE *file = nullptr;
  for (int kind = 1; kind < kStandinKindCount; ++kind) {
    if (table.counts[kind] == 0)
      continue;
    if (!file && !(file = fopen(reportPath, "a")))
      return;
    fprintf(file, "%d %s %d\n", (int)getpid(), standinKindName(kind), table.counts[kind]);
  }
  if (file)
    fclose(file);
}

static const int handleReportRegistered = atexit(reportOpenHandlesAtExit);

int standinOpenHandleCount(int kind) {
  HandleTable &table = handles();
  std::lock_guard<std::mutex> guard(table.mutex);
  if (kind == kStandinAnyKind)
    return (int)table.live.size();
  return table.counts[kind];
}

BOOL CloseHandle(HANDLE object) {
  if (standinFailNow("CloseHandle"))
    return FALSE;
  // Files, processes, threads and events close here; SCM, registry and
  // event-log handles have their own close calls, as on Windows.
  int kind = kStandinAnyKind;
  {
    HandleTable &table = handles();
    std::lock_guard<std::mutex> guard(table.mutex);
    if (object && table.live.count(object))
      kind = static_cast<StandinHandle *>(object)->kind;
  }
  if (kind != kStandinFile && kind != kStandinProcess && kind != kStandinThread &&
      kind != kStandinEvent) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return standinCloseHandle(object, kind) ? TRUE : FALSE;
}

// ---- Last error -------------------------------------------------------------

static thread_local DWORD lastError = 0;

DWORD GetLastError(void) { return lastError; }
void SetLastError(DWORD error) { lastError = error; }

// ---- Time -----------------------------------------------------------------

static std::mutex timeScaleMutex;
static double timeScale = -1; // unset: read the environment once

void standinSetTimeScale(double scale) {
  std::lock_guard<std::mutex> guard(timeScaleMutex);
  timeScale = scale;
}

DWORD standinScaledMs(DWORD ms) {
  if (ms == INFINITE)
    return ms;
  double scale;
  {
    std::lock_guard<std::mutex> guard(timeScaleMutex);
    if (timeScale < 0) {
      const char *configured = getenv("VELKOR_STANDIN_TIME_SCALE");
      timeScale = configured && *configured ? atof(configured) : 1.0;
      if (timeScale < 0)
        timeScale = 1.0;
    }
    scale = timeScale;
  }
  double scaled = ms * scale;
  return scaled >= 4294967294.0 ? 4294967294u : (DWORD)scaled;
}

// ---- The running program --------------------------------------------------

DWORD GetCurrentProcessId(void) { return (DWORD)getpid(); }

// ---- The C runtime's allocation and stream writes ----------------------------
// Reached from the program through platform/posix/runtime_calls.h. A fault
// makes the call fail as the runtime's would, with errno set to the rule's
// error (ENOMEM for memory, ENOSPC for a full disk, for example).

static bool runtimeFault(const char *call, const void *site) {
  DWORD error = 0;
  if (!standinFault(call, &error, site))
    return false;
  errno = (int)error;
  return true;
}

void *standinMalloc(size_t size) {
  return runtimeFault("malloc", __builtin_return_address(0)) ? nullptr : malloc(size);
}

void *standinCalloc(size_t count, size_t size) {
  return runtimeFault("calloc", __builtin_return_address(0)) ? nullptr : calloc(count, size);
}

// A failed realloc leaves the block as it was, as the runtime's does.
void *standinRealloc(void *block, size_t size) {
  return runtimeFault("realloc", __builtin_return_address(0)) ? nullptr : realloc(block, size);
}

char *standinStrdup(const char *text) {
  return runtimeFault("strdup", __builtin_return_address(0)) ? nullptr : strdup(text);
}

int standinFputs(const char *text, FILE *stream) {
  return runtimeFault("fputs", __builtin_return_address(0)) ? EOF : fputs(text, stream);
}

int standinVfprintf(FILE *stream, const char *format, va_list args) {
  return runtimeFault("vfprintf", __builtin_return_address(0)) ? -1
                                                                : vfprintf(stream, format, args);
}

int standinFprintf(FILE *stream, const char *format, ...) {
  if (runtimeFault("fprintf", __builtin_return_address(0)))
    return -1;
  va_list args;
  va_start(args, format);
  int written = vfprintf(stream, format, args);
  va_end(args);
  return written;
}

// A failed flush leaves the buffered text in the stream; a later flush or
// the close tries it again.
int standinFflush(FILE *stream) {
  return runtimeFault("fflush", __builtin_return_address(0)) ? EOF : fflush(stream);
}
