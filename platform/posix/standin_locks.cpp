// Stand-in byte-range locks: LockFileEx and UnlockFileEx on open-file-
// description locks (F_OFD_SETLK). Such a lock belongs to one open of the
// file, not to the process, so two handles conflict even inside one process,
// as they do on Windows, and the kernel drops the lock when the process dies.
//
// What the kernel does not model is kept here: the ranges each descriptor
// holds, so that an unlock must name exactly a range that was locked
// (ERROR_NOT_LOCKED otherwise) and a handle cannot lock over its own
// exclusive range.
//
// Limits: offsets beyond the signed 64-bit range are refused; an exclusive
// lock needs a descriptor opened for writing and a shared one a descriptor
// opened for reading (Windows takes either); a conflicting request on one's
// own range fails at once even without LOCKFILE_FAIL_IMMEDIATELY, where
// Windows would wait forever.
#include "standin.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <vector>

namespace {
struct HeldRange {
  uint64_t offset;
  uint64_t length;
  bool exclusive;
};

std::mutex lockMutex;
std::map<int, std::vector<HeldRange>> &heldRanges() {
  static auto *table = new std::map<int, std::vector<HeldRange>>;
  return *table;
}

bool overlaps(const HeldRange &range, uint64_t offset, uint64_t length) {
  if (range.length == 0 || length == 0)
    return false;
  uint64_t rangeLast = range.offset + (range.length - 1);
  uint64_t last = offset + (length - 1);
  if (rangeLast < range.offset)
    rangeLast = UINT64_MAX;
  if (last < offset)
    last = UINT64_MAX;
  return offset <= rangeLast && range.offset <= last;
}

// Fills a kernel lock record; false when the offset is out of reach.
bool describe(struct flock *lock, short type, uint64_t offset, uint64_t length) {
  if (offset > (uint64_t)LLONG_MAX)
    return false;
  *lock = {};
  lock->l_type = type;
  lock->l_whence = SEEK_SET;
  lock->l_start = (off_t)offset;
  // Length 0 means "to the end of all offsets" to the kernel, which is what
  // a range that runs past the largest offset covers.
  lock->l_len = length > (uint64_t)LLONG_MAX - offset ? 0 : (off_t)length;
  lock->l_pid = 0;
  return true;
}

bool overlappedOffset(LPOVERLAPPED overlapped, uint64_t *offset) {
  if (!overlapped)
    return false;
  *offset = ((uint64_t)overlapped->OffsetHigh << 32) | overlapped->Offset;
  return true;
}
} // namespace

namespace {
std::function<void()> beforeLockHook;
std::mutex beforeLockMutex;
} // namespace

void standinBeforeLockFileEx(const std::function<void()> &hook) {
  std::lock_guard<std::mutex> guard(beforeLockMutex);
  beforeLockHook = hook;
}

BOOL LockFileEx(HANDLE file, DWORD flags, DWORD reserved, DWORD bytesLow, DWORD bytesHigh,
                LPOVERLAPPED overlapped) {
  std::function<void()> hook;
  {
    std::lock_guard<std::mutex> guard(beforeLockMutex);
    hook = beforeLockHook;
  }
  if (hook)
    hook();
  if (standinFailNow("LockFileEx"))
    return FALSE;
  int fd = standinFileDescriptor(file);
  if (fd < 0)
    return FALSE;
  uint64_t offset = 0;
  if (reserved != 0 || !overlappedOffset(overlapped, &offset) ||
      (flags & ~(LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  uint64_t length = ((uint64_t)bytesHigh << 32) | bytesLow;
  bool exclusive = (flags & LOCKFILE_EXCLUSIVE_LOCK) != 0;
  bool wait = (flags & LOCKFILE_FAIL_IMMEDIATELY) == 0;
  struct flock lock;
  if (!describe(&lock, exclusive ? F_WRLCK : F_RDLCK, offset, length)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }

  std::unique_lock<std::mutex> guard(lockMutex);
  auto held = heldRanges().find(fd);
  if (held != heldRanges().end()) {
    for (const HeldRange &range : held->second) {
      if ((range.exclusive || exclusive) && overlaps(range, offset, length)) {
        SetLastError(ERROR_LOCK_VIOLATION);
        return FALSE;
      }
    }
  }
  if (length > 0) {
    if (wait)
      guard.unlock(); // another handle may hold the range for long
    int result;
    do {
      result = fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
      int err = errno;
      SetLastError(err == EAGAIN || err == EACCES ? ERROR_LOCK_VIOLATION
                                                  : standinErrorFromErrno(err));
      return FALSE;
    }
    if (wait)
      guard.lock();
  }
  heldRanges()[fd].push_back({offset, length, exclusive});
  return TRUE;
}

BOOL UnlockFileEx(HANDLE file, DWORD reserved, DWORD bytesLow, DWORD bytesHigh,
                  LPOVERLAPPED overlapped) {
  if (standinFailNow("UnlockFileEx"))
    return FALSE;
  int fd = standinFileDescriptor(file);
  if (fd < 0)
    return FALSE;
  uint64_t offset = 0;
  if (reserved != 0 || !overlappedOffset(overlapped, &offset)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  uint64_t length = ((uint64_t)bytesHigh << 32) | bytesLow;

  std::lock_guard<std::mutex> guard(lockMutex);
  auto held = heldRanges().find(fd);
  if (held == heldRanges().end()) {
    SetLastError(ERROR_NOT_LOCKED);
    return FALSE;
  }
  std::vector<HeldRange> &ranges = held->second;
  size_t found = ranges.size();
  for (size_t i = 0; i < ranges.size(); ++i)
    if (ranges[i].offset == offset && ranges[i].length == length)
      found = i;
  if (found == ranges.size()) {
    SetLastError(ERROR_NOT_LOCKED);
    return FALSE;
  }
  ranges.erase(ranges.begin() + (long)found);
  struct flock lock;
  if (length > 0 && describe(&lock, F_UNLCK, offset, length)) {
    fcntl(fd, F_OFD_SETLK, &lock);
    // The kernel merged overlapping shared ranges of this descriptor into
    // one; put back what the remaining ranges still cover.
    for (const HeldRange &range : ranges) {
      if (overlaps(range, offset, length) &&
          describe(&lock, range.exclusive ? F_WRLCK : F_RDLCK, range.offset, range.length))
        fcntl(fd, F_OFD_SETLK, &lock);
    }
  }
  if (ranges.empty())
    heldRanges().erase(held);
  return TRUE;
}

void standinForgetFileLocks(int fd) {
  std::lock_guard<std::mutex> guard(lockMutex);
  heldRanges().erase(fd);
}
