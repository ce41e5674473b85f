// The debug log.
//
// Each line is a self-contained open, append and close of the file, so the
// file may be read, moved or deleted by others between lines, and several
// processes can append at once (the share mode denies nobody). Within one
// process the writes of all threads are serialised by a lock whose waiters
// sleep; across processes each line is appended holding a byte-range lock on
// the file (see writeLineLocked), so no line overwrites or splits another.
// That lock is waited for a bounded time only: a writer that stalls holding
// it never stalls this one. The one-time work (process id, banner, log path)
// is done by the first line of the process, which is written on the main
// thread before any other thread exists.
#include "debug_log.h"

#include "ansi_text.h"

#include <ctime>

namespace {
char *logFilePath = nullptr;   // settled by the first line, kept for the process
bool logFirstMessage = true;   // set until the first line of the process
int32_t logPid = 0;            // the process id printed on every line
DWORD maxLogSize = kMaxLogSize;
bool logLockStalled = false;   // the last line gave up waiting for the cross-process lock

// Guards all of the above and the file work of one line. The first line of a
// process writes the banner while holding it, through writeLineLocked.
SRWLOCK logLock = SRWLOCK_INIT;

// Never inherited: a child created while a line is written would keep the
// log open for its whole life, and the log could not be restarted at its cap.
constexpr int kLogOpenFlags = _O_WRONLY | _O_APPEND | _O_CREAT | _O_TEXT | _O_NOINHERIT;
constexpr int kLogPermission = _S_IREAD | _S_IWRITE;
static_assert(kLogOpenFlags == 0x4189, "write only, append, create, text, not inherited");
static_assert(_SH_DENYNO == 0x40, "deny none");
static_assert(kLogPermission == 0x180, "readable and writable");
// The byte the writers of all processes lock while they append a line:
// beyond the size cap, so no read or write of the log ever touches it.
constexpr DWORD kLogLockOffset = 0xFFFFFFFFu;

void acquireLogLock() { AcquireSRWLockExclusive(&logLock); }

void releaseLogLock() { ReleaseSRWLockExclusive(&logLock); }

// Takes the byte every writer locks for one line, trying kLogLockTries times
// kLogLockPauseMs apart (about a second in all), never waiting inside the
// call: a writer that stalls holding the byte (a process stopped in a
// debugger, a log on a hung share) costs each process one such wait, after
// which lines try once until the byte is had again. Any error other than a
// held byte ends the tries at once.
bool lockLogByte(HANDLE handle, OVERLAPPED *range) {
  int tries = logLockStalled ? 1 : kLogLockTries;
  for (int attempt = 1;; ++attempt) {
    if (LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, range)) {
      logLockStalled = false;
      return true;
    }
    if (GetLastError() != ERROR_LOCK_VIOLATION)
      return false;
    if (attempt >= tries) {
      logLockStalled = true;
      return false;
    }
    Sleep(kLogLockPauseMs);
  }
}

// Cuts a program path down to its install root (`C:\srv\lib\prog.exe` gives
// `C:\srv`). False when the path has fewer than two backslashes.
bool cutToInstallRoot(char *path) {
  for (int cut = 0; cut < 2; ++cut) {
    char *slash = lastSeparator(path);
    if (!slash)
      return false;
    *slash = 0;
  }
  return true;
}

// Works out where the log lives: <install root>\logs\ when that is a
// directory, else <temp>logs\ (made on demand), else the bare file name in
// the current directory. Every candidate is cut to 259 characters.
void settleLogPath() {
  char modulePath[MAX_PATH] = "";
  char path[MAX_PATH] = "";
  DWORD length = GetModuleFileNameA(nullptr, modulePath, MAX_PATH);
  if (length == 0 || length >= MAX_PATH)
    modulePath[length == 0 ? 0 : MAX_PATH - 1] = 0;

  bool haveRoot = cutToInstallRoot(modulePath);
  bool useInstallLogs = false;
  if (haveRoot) {
    char logsDir[MAX_PATH];
    boundedFormat(logsDir, sizeof logsDir, "%s\\logs\\", modulePath);
    DWORD attributes = GetFileAttributesA(logsDir);
    useInstallLogs =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
  }
  if (useInstallLogs) {
    boundedFormat(path, sizeof path, "%s\\logs\\%s", modulePath, kLogFileName);
  } else {
    char tempDir[MAX_PATH];
    DWORD tempLength = GetTempPathA(MAX_PATH, tempDir);
    if (tempLength == 0 || tempLength >= MAX_PATH) {
      boundedFormat(path, sizeof path, "%s", kLogFileName);
    } else {
      char logsDir[MAX_PATH];
      boundedFormat(logsDir, sizeof logsDir, "%slogs\\", tempDir);
      _mkdir(logsDir); // an existing directory is fine; a failure shows at the open
      boundedFormat(path, sizeof path, "%s%s", logsDir, kLogFileName);
    }
  }
  logFilePath = strdup(path);
}

// Deletes the file when it has grown above the cap. A file that cannot be
// opened (usually: not there yet) or whose size cannot be read is left alone.
void applySizeCap(const char *path) {
  HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            0, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return;
  SetLastError(NO_ERROR);
  DWORD size = GetFileSize(file, nullptr);
  bool sizeKnown = size != INVALID_FILE_SIZE || GetLastError() == NO_ERROR;
  CloseHandle(file);
  if (sizeKnown && size > maxLogSize)
    DeleteFileA(path);
}

void writeLineLocked(int isError, const char *format, va_list args);

void writeLineLockedF(int isError, const char *format, ...) {
  va_list args;
  va_start(args, format);
  writeLineLocked(isError, format, args);
  va_end(args);
}

void writeLineLocked(int isError, const char *format, va_list args) {
  if (logFirstMessage) {
    logPid = (int32_t)GetCurrentProcessId();
    logFirstMessage = false;
    char modulePath[MAX_PATH] = "";
    DWORD length = GetModuleFileNameA(nullptr, modulePath, MAX_PATH);
    if (length >= MAX_PATH)
      modulePath[MAX_PATH - 1] = 0;
    writeLineLockedF(0, "--------------- FIRST LOG MESSAGE FROM '%s' ---------------", modulePath);
  }

  char timestamp[100] = "";
  time_t now = time(nullptr);
  struct tm *local = localtime(&now); // only ever called under the log lock
  if (local)
    strftime(timestamp, sizeof timestamp, "%Y/%m/%d %H:%M:%S", local);

  if (!logFilePath)
    settleLogPath();
  const char *path = logFilePath ? logFilePath : kLogFileName;

  applySizeCap(path);

  int fd = _sopen(path, kLogOpenFlags, _SH_DENYNO, kLogPermission);
  FILE *stream = nullptr;
  if (fd >= 0) {
    stream = _fdopen(fd, "a");
    if (!stream)
      _close(fd);
  }
  if (!stream) {
    fputs("Could not create log file.\n", stdout);
    return;
  }
  // Other processes append to the same file, and the runtime's append mode
  // seeks to the end and then writes, in two steps: two writers can both
  // write at the same end, and one line overwrites the other. So the line is
  // written holding an exclusive lock on one byte far beyond any log, which
  // every writer holds for one line only; it is waited for a bounded time.
  // A line whose lock cannot be had is written all the same.
  HANDLE handle = (HANDLE)_get_osfhandle(fd);
  OVERLAPPED lockRange = {};
  lockRange.Offset = kLogLockOffset;
  bool locked = handle != INVALID_HANDLE_VALUE && lockLogByte(handle, &lockRange);
  fprintf(stream, "%s: (pid=%d)  ", timestamp, (int)logPid);
  if (isError)
    fputs("ERROR:  ", stream);
  vfprintf(stream, format, args);
  fputs("\n", stream);
  fflush(stream);
  if (locked)
    UnlockFileEx(handle, 0, 1, 0, &lockRange); // the close would release it too
  fclose(stream);
}
} // namespace

void writeDebugLine(int isError, const char *format, va_list args) {
  acquireLogLock();
  writeLineLocked(isError, format, args);
  releaseLogLock();
}

void debug(const char *format, ...) {
  va_list args;
  va_start(args, format);
  writeDebugLine(0, format, args);
  va_end(args);
}

void debugError(const char *format, ...) {
  va_list args;
  va_start(args, format);
  writeDebugLine(1, format, args);
  va_end(args);
}

const char *debugLogPath() { return logFilePath; }

void resetDebugLogForTest() {
  acquireLogLock();
  free(logFilePath);
  logFilePath = nullptr;
  logFirstMessage = true;
  logPid = 0;
  logLockStalled = false;
  releaseLogLock();
}
