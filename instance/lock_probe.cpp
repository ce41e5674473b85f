// The server lock probe. The server holds a lock over byte 0 of
// <instance root>\locks\server.lock while it runs; the probe tries to take
// that byte exclusively for a moment, without waiting. Refused means the
// server runs; granted means nobody holds it, and the probe lets it go at
// once. The file belongs to the server: it is opened, never created,
// written, truncated or deleted here.
//
// The probe keeps no state, so any thread may call it at any time; its only
// shared input is the instance root, which getInstanceRoot publishes safely.
#include "lock_probe.h"

#include "../diag/debug_log.h"
#include "instance_paths.h"

namespace {
constexpr const char *kLockFileSuffix = "\\locks\\server.lock";
constexpr size_t kLockPathSize = 260;
} // namespace

int isServerRunning(int32_t *running, int32_t verbose) {
  const char *root = getInstanceRoot(); // first: it may read instance.loc
  if (verbose)
    debug("Determining if the server is running.");
  if (!isSafePath(root) || strlen(root) + 1 + strlen(kLockFileSuffix) >= kLockPathSize) {
    debugError("Lock file path is too long.");
    *running = 0;
    return 1;
  }
  char path[kLockPathSize];
  // A root (D:\) brings its own separator.
  boundedFormat(path, sizeof path, "%s%s", root, kLockFileSuffix + (*separatorAfter(root) ? 0 : 1));
  if (verbose)
    debug("When determining whether the server is running, the lock file name is '%s'.", path);

  // Not inherited: a child created meanwhile would keep the server's lock
  // file open, and the server could not delete it.
  int fd = _sopen(path, _O_RDWR | _O_BINARY | _O_NOINHERIT, _SH_DENYNO);
  if (fd < 0) {
    if (verbose)
      debug("Could not open lock file '%s', which means the server is not running.", path);
    *running = 0;
    return 1;
  }
  if (verbose)
    debug("Able to open the lock file '%s'.", path);

  HANDLE handle = (HANDLE)_get_osfhandle(fd);
  OVERLAPPED range = {}; // offset 0, where a fresh descriptor stands
  bool granted = LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                            &range) != FALSE;
  // Only a lock violation means that another handle holds the byte. It is
  // decided on the Windows error itself: ERROR_INVALID_DATA is also 13, the
  // number of the translated violation, and must not pass for a held lock.
  DWORD lockError = granted ? 0 : GetLastError();
  int result;
  if (granted) {
    // Released first: the server may be starting and waiting for its byte.
    UnlockFileEx(handle, 0, 1, 0, &range); // result ignored
    if (verbose)
      debug("Able to lock '%s', so the server is not running.", path);
    *running = 0;
    result = 0;
  } else if (lockError == ERROR_LOCK_VIOLATION) {
    if (verbose)
      debug("Unable to lock '%s', so the server is running.", path);
    *running = 1;
    result = 0;
  } else {
    *running = 0;
    debugError("Unexpected error locking: %d", (int)lockError);
    result = 1;
  }
  _close(fd); // result ignored
  return result;
}
