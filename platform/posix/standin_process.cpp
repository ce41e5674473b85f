// Stand-in processes, threads, events and slim locks.
//
// Every waitable handle (process, thread, event) owns a shared reference to
// one Waitable: a signalled flag, changed and waited for on the stand-in's
// clock (standinClockChange, standinClockWait). A child process gets one
// reaper thread that alone calls waitpid for it and then signals the Waitable
// with the exit code, so any number of waiters, and handles closed while the
// child still runs, neither race nor leave zombies.
//
// The command interpreter is recognised by path: <system dir>\cmd.exe with a
// command line "/c <script> args" (quotes dropped as cmd.exe drops them) runs
// a .bat or .cmd script with /bin/sh (the native fixtures write their start
// scripts as shell scripts), or runs any other program directly. Nothing real lives in the system directory.
#include "standin_process.h"

#include "standin.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace {
struct Waitable {
  bool signalled = false;
  bool manualReset = true; // processes and threads stay signalled once ended
  DWORD exitCode = STILL_ACTIVE;
};

typedef std::shared_ptr<Waitable> WaitableRef;

void destroyWaitable(void *object) { delete static_cast<WaitableRef *>(object); }

HANDLE newWaitableHandle(int kind, const WaitableRef &waitable) {
  return standinNewHandle(kind, new WaitableRef(waitable), destroyWaitable);
}

// The Waitable of a live process, thread or event handle, or null.
WaitableRef waitableOf(HANDLE handle, int wantedKind) {
  void *object = standinHandleObject(handle, kStandinAnyKind);
  if (!object)
    return nullptr;
  int kind = static_cast<StandinHandle *>(handle)->kind;
  bool fits = wantedKind == kStandinAnyKind
                  ? kind == kStandinProcess || kind == kStandinThread || kind == kStandinEvent
                  : kind == wantedKind;
  if (!fits) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return *static_cast<WaitableRef *>(object);
}

// The change that ends a process or a thread, made with the clock's lock held.
std::function<void()> ending(const WaitableRef &waitable, DWORD exitCode) {
  return [waitable, exitCode] {
    waitable->exitCode = exitCode;
    waitable->signalled = true;
  };
}

// ---- Standard handles --------------------------------------------------------
// GetStdHandle answers one of three markers (never entries of the handle
// table), and SetHandleInformation records their inherit flag.
char stdMarkers[3];
std::atomic<bool> stdInheritable[3] = {{true}, {true}, {true}};

int stdIndexOf(HANDLE handle) {
  for (int i = 0; i < 3; ++i)
    if (handle == &stdMarkers[i])
      return i;
  return -1;
}

bool equalsIgnoringCase(const std::string &a, const std::string &b) {
  if (a.size() != b.size())
    return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (tolower((unsigned char)a[i]) != tolower((unsigned char)b[i]))
      return false;
  return true;
}

bool endsWithIgnoringCase(const std::string &text, const char *suffix) {
  size_t n = strlen(suffix);
  return text.size() >= n && equalsIgnoringCase(text.substr(text.size() - n), suffix);
}

const char *skipBlanks(const char *p) {
  while (*p == ' ' || *p == '\t')
    ++p;
  return p;
}

// The first token: to the next quote when quoted, else to the next blank.
const char *programToken(const char *p, std::string *token) {
  p = skipBlanks(p);
  token->clear();
  if (*p == '"') {
    ++p;
    while (*p && *p != '"')
      *token += *p++;
    if (*p == '"')
      ++p;
  } else {
    while (*p && *p != ' ' && *p != '\t')
      *token += *p++;
  }
  return p;
}

// The remaining arguments, by the C runtime's rules.
void splitArguments(const char *p, std::vector<std::string> *out) {
  for (;;) {
    p = skipBlanks(p);
    if (!*p)
      return;
    std::string argument;
    bool quoted = false;
    while (*p && (quoted || (*p != ' ' && *p != '\t'))) {
      size_t slashes = 0;
      while (*p == '\\') {
        ++slashes;
        ++p;
      }
      if (*p == '"') {
        argument.append(slashes / 2, '\\');
        if (slashes % 2) {
          argument += '"';
          ++p;
        } else if (quoted && p[1] == '"') {
          argument += '"'; // "" inside quotes is a literal quote
          p += 2;
        } else {
          quoted = !quoted;
          ++p;
        }
      } else {
        argument.append(slashes, '\\');
        if (*p && (quoted || (*p != ' ' && *p != '\t'))) {
          // A double-byte character whole: its trail byte may be 0x5C.
          if (standinCharacterLength(p) == 2)
            argument += *p++;
          argument += *p++;
        }
      }
    }
    out->push_back(argument);
  }
}

// Resolves a Windows program path to an executable POSIX file, trying ".exe"
// after a name without one, as CreateProcessA does. 0 or the Windows error.
DWORD findProgram(const std::string &windowsPath, std::string *posixPath) {
  char posix[4096];
  DWORD error = standinToPosixPath(windowsPath.c_str(), posix, sizeof posix);
  if (error)
    return error;
  std::string candidates[2] = {posix, std::string(posix) + ".exe"};
  int tries = endsWithIgnoringCase(windowsPath, ".exe") ? 1 : 2;
  int firstErrno = 0;
  for (int i = 0; i < tries; ++i) {
    struct stat info;
    if (stat(candidates[i].c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
      if (access(candidates[i].c_str(), X_OK) != 0)
        return ERROR_ACCESS_DENIED;
      *posixPath = candidates[i];
      return 0;
    }
    if (!firstErrno)
      firstErrno = errno ? errno : ENOENT;
  }
  return firstErrno == ENOENT ? ERROR_FILE_NOT_FOUND : standinErrorFromErrno(firstErrno);
}

// The argument vector for a command line run through the interpreter: only
// "/c <command>" is understood here.
DWORD interpreterArguments(const char *commandLine, std::vector<std::string> *argv) {
  const char *p = skipBlanks(commandLine);
  if (!(p[0] == '/' && (p[1] == 'c' || p[1] == 'C') && (p[2] == ' ' || p[2] == '\t')))
    return ERROR_INVALID_PARAMETER; // an interactive interpreter is not simulated
  // cmd.exe's quote rule for what follows /c: the quotes stay when there are
  // exactly two, with a blank and none of &<>()@^| between them; otherwise a
  // leading quote and the last quote of the line are dropped.
  std::string line = skipBlanks(p + 2);
  size_t last = line.rfind('"');
  if (!line.empty() && line[0] == '"' && last != 0) {
    std::string quoted = line.substr(1, last - 1);
    bool keep = line.find('"', 1) == last && quoted.find_first_of(" \t") != std::string::npos &&
                quoted.find_first_of("&<>()@^|") == std::string::npos;
    if (!keep)
      line = line.substr(1, last - 1) + line.substr(last + 1);
  }
  std::string script;
  p = programToken(line.c_str(), &script);
  std::vector<std::string> arguments;
  splitArguments(p, &arguments);
  if (endsWithIgnoringCase(script, ".bat") || endsWithIgnoringCase(script, ".cmd")) {
    char posix[4096];
    struct stat info;
    if (standinToPosixPath(script.c_str(), posix, sizeof posix) != 0 || stat(posix, &info) != 0) {
      // The interpreter itself starts and ends with 1, as cmd.exe does when
      // the script is not there.
      *argv = {"/bin/sh", "-c", "exit 1"};
      return 0;
    }
    *argv = {"/bin/sh", posix};
  } else {
    std::string program;
    DWORD error = findProgram(script, &program);
    if (error) {
      *argv = {"/bin/sh", "-c", "exit 1"};
      return 0;
    }
    *argv = {program};
  }
  argv->insert(argv->end(), arguments.begin(), arguments.end());
  return 0;
}

// A Windows environment block ("A=1\0B=2\0\0") as entries.
std::vector<std::string> environmentBlock(const char *block) {
  std::vector<std::string> entries;
  for (const char *p = block; *p; p += strlen(p) + 1)
    entries.push_back(p);
  return entries;
}

struct SpawnRequest {
  const char *applicationName;
  const char *commandLine;
  const std::vector<std::string> *environment; // null: the parent's
  const std::vector<std::string> *extraEnvironment;
  const char *currentDirectory; // Windows form or null
  bool detached;
  bool inheritHandles; // the child gets the handles inheritable now
  HANDLE std[3];    // what the child gets on 0, 1, 2
  bool useStd[3];   // false: /dev/null
};

bool spawnChild(const SpawnRequest &request, PROCESS_INFORMATION *info) {
  std::vector<std::string> argv;
  DWORD error = 0;
  if (request.applicationName) {
    if (equalsIgnoringCase(request.applicationName, standinSystemDirectory() + "\\cmd.exe")) {
      error = interpreterArguments(request.commandLine ? request.commandLine : "", &argv);
    } else {
      std::string program;
      error = findProgram(request.applicationName, &program);
      if (!error) {
        argv = standinSplitCommandLine(request.commandLine ? request.commandLine : "");
        if (argv.empty())
          argv.push_back(request.applicationName);
        argv[0] = program;
      }
    }
  } else {
    argv = standinSplitCommandLine(request.commandLine ? request.commandLine : "");
    if (argv.empty()) {
      error = ERROR_INVALID_PARAMETER;
    } else {
      std::string program;
      error = findProgram(argv[0], &program);
      if (!error)
        argv[0] = program;
    }
  }
  if (error) {
    SetLastError(error);
    return false;
  }

  std::vector<std::string> environment;
  if (request.environment) {
    environment = *request.environment;
  } else {
    for (char **entry = environ; *entry; ++entry)
      environment.push_back(*entry);
  }
  // A step of the test is the test's own; what it starts belongs to the machine.
  for (auto it = environment.begin(); it != environment.end();)
    it = it->compare(0, 22, "VELKOR_STANDIN_DRIVER=") == 0 ? environment.erase(it) : it + 1;
  for (const std::string &extra : *request.extraEnvironment) {
    std::string name = extra.substr(0, extra.find('=') + 1);
    for (auto it = environment.begin(); it != environment.end();)
      it = it->compare(0, name.size(), name) == 0 ? environment.erase(it) : it + 1;
    environment.push_back(extra);
  }

  std::vector<char *> argPointers, envPointers;
  for (std::string &a : argv)
    argPointers.push_back(&a[0]);
  argPointers.push_back(nullptr);
  for (std::string &e : environment)
    envPointers.push_back(&e[0]);
  envPointers.push_back(nullptr);

  // A child holds the handles that were inheritable when it was created, if
  // inheritance is asked for (CreateProcessA docs, bInheritHandles), and
  // nothing else of ours: each such descriptor is moved above all of them,
  // then down to 3, 4, ...; everything from the first free number up closes.
  pid_t pid = 0;
  int result = 0;
  auto spawnWith = [&](const std::vector<int> &inherited) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd = 0; fd < 3; ++fd) {
      int source = request.useStd[fd] ? stdIndexOf(request.std[fd]) : -1;
      if (source >= 0) {
        if (source != fd)
          posix_spawn_file_actions_adddup2(&actions, source, fd);
      } else {
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_RDWR, 0);
      }
    }
    int above = inherited.empty() ? 3 : inherited.back() + 1; // the list is sorted
    for (size_t i = 0; i < inherited.size(); ++i)
      posix_spawn_file_actions_adddup2(&actions, inherited[i], above + (int)i);
    for (size_t i = 0; i < inherited.size(); ++i)
      posix_spawn_file_actions_adddup2(&actions, above + (int)i, 3 + (int)i);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3 + (int)inherited.size());
    if (request.currentDirectory) {
      char posix[4096];
      if (standinToPosixPath(request.currentDirectory, posix, sizeof posix) == 0)
        posix_spawn_file_actions_addchdir_np(&actions, posix);
    }
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (request.detached)
      flags |= POSIX_SPAWN_SETSID;
    posix_spawnattr_setflags(&attributes, flags);
    result = posix_spawn(&pid, argPointers[0], &actions, &attributes, argPointers.data(),
                         envPointers.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return result == 0;
  };
  if (request.inheritHandles)
    standinWithInheritableFiles(spawnWith);
  else
    spawnWith({});
  if (result != 0) {
    SetLastError(result == ENOENT ? ERROR_FILE_NOT_FOUND : standinErrorFromErrno(result));
    return false;
  }

  standinClockChildStarts(pid);
  WaitableRef waitable = std::make_shared<Waitable>();
  try {
    std::thread([waitable, pid] {
      int status = 0;
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      // A child ended by a signal shows 128 + the signal, as a shell would.
      DWORD code = WIFEXITED(status) ? (DWORD)WEXITSTATUS(status)
                                     : WIFSIGNALED(status) ? 128u + (DWORD)WTERMSIG(status) : 1u;
      standinClockChildEnded(pid, waitable.get(), ending(waitable, code));
    }).detach();
  } catch (...) {
    // No reaper thread: reap here, blocking, rather than leave a zombie.
    int status = 0;
    waitpid(pid, &status, 0);
    standinClockChildEnded(pid, nullptr, [] {});
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  info->hProcess = newWaitableHandle(kStandinProcess, waitable);
  info->hThread = newWaitableHandle(kStandinThread, waitable); // the child's main thread
  info->dwProcessId = (DWORD)pid;
  info->dwThreadId = (DWORD)pid;
  return true;
}
} // namespace

// ---- Helpers shared with the stand-in's other files and the tests ------------

std::string standinSystemDirectory() {
  char posix[4200];
  standinRootPath("system32", posix, sizeof posix);
  char windows[4300];
  standinToWindowsPath(posix, windows, sizeof windows);
  return windows;
}

std::vector<std::string> standinSplitCommandLine(const char *commandLine) {
  std::vector<std::string> out;
  std::string program;
  const char *rest = programToken(commandLine, &program);
  if (program.empty() && !*skipBlanks(commandLine))
    return out;
  out.push_back(program);
  splitArguments(rest, &out);
  return out;
}

bool standinSpawn(const char *applicationName, const char *commandLine,
                  const std::vector<std::string> &extraEnvironment, bool detached,
                  PROCESS_INFORMATION *processInformation) {
  SpawnRequest request = {applicationName, commandLine, nullptr, &extraEnvironment, nullptr,
                          detached, false, {nullptr, nullptr, nullptr}, {false, false, false}};
  return spawnChild(request, processInformation);
}

bool standinStdHandleInheritable(int fd) { return fd >= 0 && fd < 3 && stdInheritable[fd]; }

// ---- Win32 -------------------------------------------------------------------

DWORD GetSystemDirectoryA(LPSTR buffer, DWORD size) {
  if (standinFailNow("GetSystemDirectoryA"))
    return 0;
  std::string directory = standinSystemDirectory();
  if (!buffer || directory.size() + 1 > size)
    return (DWORD)directory.size() + 1; // the size needed, terminator included
  memcpy(buffer, directory.c_str(), directory.size() + 1);
  return (DWORD)directory.size();
}

HANDLE GetStdHandle(DWORD stdHandle) {
  if (standinFailNow("GetStdHandle"))
    return INVALID_HANDLE_VALUE;
  int fd = stdHandle == STD_INPUT_HANDLE    ? 0
           : stdHandle == STD_OUTPUT_HANDLE ? 1
           : stdHandle == STD_ERROR_HANDLE  ? 2
                                            : -1;
  if (fd < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return INVALID_HANDLE_VALUE;
  }
  if (fcntl(fd, F_GETFD) < 0)
    return nullptr; // no such standard handle: null, as on Windows
  return &stdMarkers[fd];
}

BOOL SetHandleInformation(HANDLE object, DWORD mask, DWORD flags) {
  if (standinFailNow("SetHandleInformation"))
    return FALSE;
  int fd = stdIndexOf(object);
  if (fd >= 0) {
    if (mask & HANDLE_FLAG_INHERIT)
      stdInheritable[fd] = (flags & HANDLE_FLAG_INHERIT) != 0;
    return TRUE;
  }
  // The program changes the flag of its standard handles only.
  return standinHandleObject(object, kStandinAnyKind) ? TRUE : FALSE;
}

BOOL CreateProcessA(LPCSTR applicationName, LPSTR commandLine, LPSECURITY_ATTRIBUTES,
                    LPSECURITY_ATTRIBUTES, BOOL inheritHandles, DWORD creationFlags,
                    LPVOID environment, LPCSTR currentDirectory, LPSTARTUPINFOA startupInfo,
                    LPPROCESS_INFORMATION processInformation) {
  if (standinFailNow("CreateProcessA"))
    return FALSE;
  if (!startupInfo || !processInformation || startupInfo->cb < sizeof(STARTUPINFOA) ||
      (creationFlags & ~(DETACHED_PROCESS | CREATE_NEW_CONSOLE)) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::vector<std::string> block, none;
  if (environment)
    block = environmentBlock(static_cast<const char *>(environment));
  SpawnRequest request = {applicationName, commandLine, environment ? &block : nullptr, &none,
                          currentDirectory, (creationFlags & DETACHED_PROCESS) != 0,
                          inheritHandles != FALSE, {nullptr, nullptr, nullptr},
                          {false, false, false}};
  HANDLE given[3] = {startupInfo->hStdInput, startupInfo->hStdOutput, startupInfo->hStdError};
  for (int fd = 0; fd < 3; ++fd) {
    if (startupInfo->dwFlags & STARTF_USESTDHANDLES) {
      // A null handle gives the child nothing (here: /dev/null); only the
      // standard handles themselves can be handed on.
      if (given[fd] && stdIndexOf(given[fd]) < 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
      }
      request.std[fd] = given[fd];
      request.useStd[fd] = given[fd] != nullptr;
    } else {
      // Without the flag the child has the parent's standard handles only when
      // they are inheritable and inheritance is asked for.
      request.std[fd] = &stdMarkers[fd];
      request.useStd[fd] = inheritHandles && stdInheritable[fd] && fcntl(fd, F_GETFD) >= 0;
    }
  }
  return spawnChild(request, processInformation) ? TRUE : FALSE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  if (standinFailTimed("WaitForSingleObject", milliseconds))
    return WAIT_FAILED;
  WaitableRef waitable = waitableOf(handle, kStandinAnyKind);
  if (!waitable)
    return WAIT_FAILED;
  bool signalled = standinClockWait(waitable.get(), milliseconds, [&] {
    if (!waitable->signalled)
      return false;
    if (!waitable->manualReset)
      waitable->signalled = false; // an auto-reset event releases one waiter
    return true;
  });
  return signalled ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode) {
  if (standinFailNow("GetExitCodeProcess"))
    return FALSE;
  WaitableRef waitable = waitableOf(process, kStandinProcess);
  if (!waitable)
    return FALSE;
  if (!exitCode) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  standinClockChange(nullptr, [&] { *exitCode = waitable->exitCode; });
  return TRUE;
}

bool standinProcessEnded(HANDLE process, bool wait) {
  WaitableRef waitable = waitableOf(process, kStandinProcess);
  if (!waitable)
    return true;
  bool ended = false;
  auto isEnded = [&] { return ended = waitable->signalled; };
  if (wait)
    standinClockWait(waitable.get(), INFINITE, isEnded);
  else
    standinClockChange(nullptr, [&] { isEnded(); });
  return ended;
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR name) {
  if (standinFailNow("CreateEventA"))
    return nullptr;
  if (name) {
    SetLastError(ERROR_INVALID_PARAMETER); // named events are not simulated
    return nullptr;
  }
  WaitableRef waitable = std::make_shared<Waitable>();
  waitable->manualReset = manualReset != FALSE;
  waitable->signalled = initialState != FALSE;
  return newWaitableHandle(kStandinEvent, waitable);
}

BOOL SetEvent(HANDLE event) {
  if (standinFailNow("SetEvent"))
    return FALSE;
  WaitableRef waitable = waitableOf(event, kStandinEvent);
  if (!waitable)
    return FALSE;
  standinClockChange(waitable.get(), [&] { waitable->signalled = true; });
  return TRUE;
}

// "Sets the specified event object to the nonsignaled state" (ResetEvent
// documentation); a thread that was woken by the set stays woken.
BOOL ResetEvent(HANDLE event) {
  if (standinFailNow("ResetEvent"))
    return FALSE;
  WaitableRef waitable = waitableOf(event, kStandinEvent);
  if (!waitable)
    return FALSE;
  standinClockChange(waitable.get(), [&] { waitable->signalled = false; });
  return TRUE;
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, size_t, LPTHREAD_START_ROUTINE startAddress,
                    LPVOID parameter, DWORD creationFlags, LPDWORD threadId) {
  if (standinFailNow("CreateThread"))
    return nullptr;
  if (!startAddress || creationFlags != 0) {
    SetLastError(ERROR_INVALID_PARAMETER); // suspended threads are not simulated
    return nullptr;
  }
  static std::atomic<DWORD> nextThreadId{1000};
  WaitableRef waitable = std::make_shared<Waitable>();
  standinClockThreadStarts();
  try {
    std::thread([waitable, startAddress, parameter] {
      DWORD result = startAddress(parameter);
      standinClockThreadEnds(waitable.get(), ending(waitable, result));
    }).detach();
  } catch (...) {
    standinClockThreadEnds(nullptr, [] {});
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (threadId)
    *threadId = nextThreadId++;
  return newWaitableHandle(kStandinThread, waitable);
}

// A waiter blocks in the kernel, never spins (AcquireSRWLockExclusive docs).
void AcquireSRWLockExclusive(PSRWLOCK lock) { pthread_mutex_lock(&lock->mutex); }
void ReleaseSRWLockExclusive(PSRWLOCK lock) { pthread_mutex_unlock(&lock->mutex); }
