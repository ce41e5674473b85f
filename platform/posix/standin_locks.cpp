// Stand-in byte-range locks on open-file-description locks (F_OFD_SETLK).
// Such a lock belongs to one open of the file, not to the process, so two
// handles conflict even inside one process, as they do on Windows, and the
// kernel drops the lock when the last descriptor of the open closes or the
// process dies ("If a process terminates with a portion of a file locked or
// closes a file that has outstanding locks, the locks are unlocked by the
// operating system", LockFileEx, Remarks).
//
// Locks are mandatory: "Locking a portion of a file for exclusive access
// denies all other processes both read and write access to the specified
// region of the file. Locking a portion of a file for shared access denies
// all processes write access to the specified region of the file, including
// the process that first locks the region", and "If the locking process
// opens the file a second time, it cannot access the specified region
// through this second handle until it unlocks the region" (LockFileEx,
// Remarks). standinLockedAgainst answers that for the reads and writes of
// standin_files.cpp.
//
// What the kernel does not model is kept here: the ranges each descriptor
// holds, so that an unlock must name exactly a range that was locked
// (ERROR_NOT_LOCKED otherwise), a handle cannot lock over its own
// exclusive range, and a write through a handle meets its own shared range.
//
// Limits: offsets beyond the signed 64-bit range are refused; an exclusive
// lock needs a descriptor opened for writing and a shared one a descriptor
// opened for reading (Windows takes either); a conflicting request on one's
// own range fails at once even without LOCKFILE_FAIL_IMMEDIATELY, where
// Windows would wait forever.
#include "standin_locks.h"

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
} // namespace

DWORD standinLockRange(int fd, bool exclusive, bool wait, uint64_t offset, uint64_t length) {
  struct flock lock;
  if (!describe(&lock, exclusive ? F_WRLCK : F_RDLCK, offset, length))
    return ERROR_INVALID_PARAMETER;
  std::unique_lock<std::mutex> guard(lockMutex);
  auto held = heldRanges().find(fd);
  if (held != heldRanges().end()) {
    for (const HeldRange &range : held->second) {
      if ((range.exclusive || exclusive) && overlaps(range, offset, length))
        return ERROR_LOCK_VIOLATION;
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
      return err == EAGAIN || err == EACCES ? ERROR_LOCK_VIOLATION : standinErrorFromErrno(err);
    }
    if (wait)
      guard.lock();
  }
  heldRanges()[fd].push_back({offset, length, exclusive});
  return 0;
}

DWORD standinUnlockRange(int fd, uint64_t offset, uint64_t length) {
  std::lock_guard<std::mutex> guard(lockMutex);
  auto held = heldRanges().find(fd);
  if (held == heldRanges().end())
    return ERROR_NOT_LOCKED;
  std::vector<HeldRange> &ranges = held->second;
  size_t found = ranges.size();
  for (size_t i = 0; i < ranges.size(); ++i)
    if (ranges[i].offset == offset && ranges[i].length == length)
      found = i;
  if (found == ranges.size())
    return ERROR_NOT_LOCKED;
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
  return 0;
}

DWORD standinLockedAgainst(int fd, bool write, uint64_t offset, uint64_t length) {
  struct flock probe;
  if (length == 0 || !describe(&probe, write ? F_WRLCK : F_RDLCK, offset, length))
    return 0;
  {
    std::lock_guard<std::mutex> guard(lockMutex);
    auto held = heldRanges().find(fd);
    if (write && held != heldRanges().end()) {
      for (const HeldRange &range : held->second)
        if (!range.exclusive && overlaps(range, offset, length))
          return ERROR_LOCK_VIOLATION; // one's own shared range bars writing too
    }
  }
  // The kernel reports the first lock of another open that conflicts.
  if (fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK)
    return ERROR_LOCK_VIOLATION;
  return 0;
}

void standinForgetFileLocks(int fd) {
  std::lock_guard<std::mutex> guard(lockMutex);
  heldRanges().erase(fd);
}
