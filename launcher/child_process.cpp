// Child processes: the server's start script through the command interpreter
// and its stop launcher as a plain command line. Both children start with
// null standard handles, and this process's own standard handles are made
// non-inheritable first, so none of them reaches a child.
#include "child_process.h"

#include "../diag/debug_log.h"

namespace {
constexpr size_t kCommandSize = 2048;

// Clears the inherit flag of our standard input, output and error, in that
// order. The change lasts for the rest of the process; results are ignored.
void makeStdHandlesNonInheritable() {
  SetHandleInformation(GetStdHandle(STD_INPUT_HANDLE), HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(GetStdHandle(STD_OUTPUT_HANDLE), HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(GetStdHandle(STD_ERROR_HANDLE), HANDLE_FLAG_INHERIT, 0);
}

// The common spawn: null standard handles, inheritance on, DETACHED_PROCESS
// only for background exactly 1, our environment and current directory.
BOOL spawn(const char *applicationName, char *commandLine, int background,
           PROCESS_INFORMATION *processInformation) {
  STARTUPINFOA startupInfo;
  memset(&startupInfo, 0, sizeof startupInfo);
  startupInfo.cb = sizeof startupInfo;
  startupInfo.dwFlags = STARTF_USESTDHANDLES;
  makeStdHandlesNonInheritable();
  DWORD creationFlags = background == 1 ? DETACHED_PROCESS : 0;
  return CreateProcessA(applicationName, commandLine, nullptr, nullptr, TRUE, creationFlags,
                        nullptr, nullptr, &startupInfo, processInformation);
}
} // namespace

int createBatchFileChildProcess(const char *command, int background,
                                PROCESS_INFORMATION *processInformation) {
  if (strlen(command) + 5 >= kCommandSize) {
    debug("createBatchFileChildProcess: the batch file path is too long.");
    return 0;
  }
  // The command goes inside one more pair of quotes. cmd.exe keeps the quotes
  // after /c only when there are exactly two around a path free of &<>()@^|;
  // otherwise it drops the first and the last quote. With the command's own
  // quotes alone, a script under "C:\Program Files (x86)" would lose them and
  // split at the first blank; with the outer pair, the pair dropped is always
  // the outer one.
  char commandLine[kCommandSize];
  boundedFormat(commandLine, sizeof commandLine, "/c \"%s\"", command);
  debug("createBatchFileChildProcess: Attempting to create child process '%s' background=%d.",
        commandLine, background);
  memset(processInformation, 0, sizeof *processInformation);

  // The interpreter is the system directory's cmd.exe, never a cmd.exe that
  // happens to lie in the current directory.
  char interpreter[MAX_PATH];
  DWORD length = GetSystemDirectoryA(interpreter, MAX_PATH);
  if (length == 0 || length >= MAX_PATH ||
      boundedFormat(interpreter + length, MAX_PATH - length, "\\cmd.exe") < 0) {
    debugError("createBatchFileChildProcess: Could not find the command interpreter.  "
               "Last error = %d.",
               (int)GetLastError());
    return 0;
  }

  BOOL created = spawn(interpreter, commandLine, background, processInformation);
  if (created)
    debug("createBatchFileChildProcess: Successfully created child process '%s'.", commandLine);
  else
    debugError("createBatchFileChildProcess: Failed to create child process '%s'.  "
               "Last error = %d.",
               commandLine, (int)GetLastError());
  return created;
}

int createChildProcess(const char *command, int background) {
  debug("createChildProcess: Attempting to create child process '%s' background=%d.", command,
        background);
  // CreateProcessA may write into the command line, so it gets a copy.
  char commandLine[kCommandSize];
  PROCESS_INFORMATION processInformation;
  memset(&processInformation, 0, sizeof processInformation);
  BOOL created = FALSE;
  if (boundedFormat(commandLine, sizeof commandLine, "%s", command) >= 0)
    created = spawn(nullptr, commandLine, background, &processInformation);
  else
    SetLastError(ERROR_INVALID_PARAMETER);
  if (!created) {
    debugError("createChildProcess: Failed to create child process '%s'.  Last error = %d.",
               command, (int)GetLastError());
    debugError("Could not get the PID of the spawned process.");
    return -1;
  }
  debug("createChildProcess: Successfully created child process '%s'.", command);
  // Only the process id is used: the handles go at once, the child runs on.
  CloseHandle(processInformation.hThread);
  CloseHandle(processInformation.hProcess);
  int pid = (int)processInformation.dwProcessId;
  if (pid == -1) {
    debugError("Could not get the PID of the spawned process.");
    return -1;
  }
  debug("The PID of the spawned process is %d.", pid);
  return pid;
}

int waitForProcess(PROCESS_INFORMATION *processInformation, DWORD waitMs, DWORD *exitCode) {
  debug("waitForProcess: wait time is: %d", (int)waitMs);
  DWORD result = WaitForSingleObject(processInformation->hProcess, waitMs);
  if (result == WAIT_OBJECT_0) {
    debug("waitForProcess: was successful");
    GetExitCodeProcess(processInformation->hProcess, exitCode);
    debug("waitForProcess exitCode: %d", (int)*exitCode);
    return 1;
  }
  if (result == WAIT_TIMEOUT) {
    debug("waitForProcess: Process timed out.");
    *exitCode = WAIT_TIMEOUT;
  } else if (result == WAIT_FAILED) {
    debug("waitForProcess: Wait for process failed: %d", (int)GetLastError());
    *exitCode = WAIT_FAILED;
  } else {
    debug("waitForProcess: WaitForSingleObject returned %d", (int)result);
    *exitCode = result;
  }
  return 0;
}
