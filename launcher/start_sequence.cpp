// The server start: run the start script, give it its time, then watch the
// lock file until the server holds it or the tries are used up, reporting
// start-pending progress all along.
#include "start_sequence.h"

#include "child_process.h"

#include "../diag/debug_log.h"
#include "../instance/instance_paths.h"
#include "../instance/lock_probe.h"
#include "../service/service_status.h"

#include <climits>

namespace {
constexpr size_t kCommandSize = 2048;
constexpr size_t kScriptSuffixLength = 17; // strlen("\\bat\\start-ds.bat")
constexpr int32_t kDefaultScriptWaitMs = 300000;
constexpr int32_t kDefaultTries = 100;
constexpr DWORD kProbeSleepMs = 5000;

} // namespace

int32_t parseInt32(const char *text) {
  long value = strtol(text, nullptr, 10);
  if (value > INT32_MAX)
    return INT32_MAX;
  if (value < INT32_MIN)
    return INT32_MIN;
  return (int32_t)value;
}

int doStartApplication(SERVICE_STATUS_HANDLE *slot, DWORD *checkPoint) {
  debug("doStartApplication");
  bool reporting = slot && checkPoint;

  if (strlen(instanceDir) + 1 + kScriptSuffixLength >= kCommandSize) {
    debug("doStartApplication: the command path name is too long.");
    return kStartFailed;
  }
  char command[kCommandSize];
  boundedFormat(command, sizeof command, "\"%s%sbat\\start-ds.bat\" --windowsNetStart", instanceDir,
                separatorAfter(instanceDir)); // a root brings its own separator
  debug("doStartApplication: Launching batch file: %s", command);

  PROCESS_INFORMATION processInformation;
  if (!createBatchFileChildProcess(command, 0, &processInformation)) {
    debug("The batch file process could not be created property");
    debug("doStartApplication: batch command spawn failed.  Sent command: '%s'", command);
    return kStartFailed;
  }

  int32_t scriptWait = kDefaultScriptWaitMs;
  const char *waitText = getenv("VELKOR_WINDOWS_SERVICE_STARTDS_WAIT");
  if (waitText) {
    debug("doStartApplication: VELKOR_WINDOWS_SERVICE_STARTDS_WAIT env var set to %s", waitText);
    scriptWait = parseInt32(waitText);
    if (scriptWait == 0)
      scriptWait = kDefaultScriptWaitMs;
  } else {
    debug("doStartApplication: VELKOR_WINDOWS_SERVICE_STARTDS_WAIT is not set. Using default %d "
          "milliseconds.",
          kDefaultScriptWaitMs);
  }

  if (reporting) {
    // Unsigned 32-bit arithmetic: a wait of -1 (no limit) gives the hint 29999.
    updateServiceStatus(SERVICE_START_PENDING, NO_ERROR, 0, *checkPoint,
                        (DWORD)scriptWait + 30000u, slot);
    ++*checkPoint;
  }

  DWORD exitCode = 0;
  int ended = waitForProcess(&processInformation, (DWORD)scriptWait, &exitCode);
  // The script runs on unwatched if it outlived the wait; its handles go now.
  CloseHandle(processInformation.hThread);
  CloseHandle(processInformation.hProcess);
  if (ended) {
    debug("doStartApplication: waited properly for process end.");
    debug("doStartApplication: exit code of script: %d", (int)exitCode);
    if (exitCode != 0) {
      debug("doStartApplication: batch command spawn failed.  Sent command: '%s'", command);
      return kStartFailed;
    }
  }

  int32_t tries = readStartTries(true);

  if (!ended)
    debug("doStartApplication: the spawn of the batch command worked.  Command: '%s'", command);

  int32_t remaining = tries;
  int32_t running = 0;
  for (;;) {
    --remaining;
    if (reporting) {
      updateServiceStatus(SERVICE_START_PENDING, NO_ERROR, 0, *checkPoint, 10000, slot);
      ++*checkPoint;
    }
    if (isServerRunning(&running, 1) == 1) {
      running = 0;
      break;
    }
    if (!running) {
      debug("Sleeping for 5 seconds to allow the process to get the lock.  %d tries remaining.",
            remaining);
      Sleep(kProbeSleepMs);
    }
    if (running || remaining <= 0)
      break;
  }

  if (running) {
    debug("doStartApplication: server running.");
    return kStartRunning;
  }
  debug("doStartApplication: server not running.");
  return kStartUnconfirmed;
}

int32_t readStartTries(bool verbose) {
  int32_t tries = kDefaultTries;
  const char *triesText = getenv("VELKOR_WINDOWS_SERVICE_START_NTRIES");
  if (triesText) {
    if (verbose)
      debug("VELKOR_WINDOWS_SERVICE_START_NTRIES env var set to %s", triesText);
    tries = parseInt32(triesText);
    if (tries < 1)
      tries = kDefaultTries;
  } else if (verbose) {
    debug("VELKOR_WINDOWS_SERVICE_START_NTRIES is not set.  Using default %d tries.",
          kDefaultTries);
  }
  return tries;
}
