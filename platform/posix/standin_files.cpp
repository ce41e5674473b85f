// Stand-in files: CreateFileA and friends on Windows paths, and the C
// runtime's descriptor calls with Windows flag values and text mode.
//
// Share modes are enforced as Windows enforces them, in this process and
// across processes (see "Share modes" below). Inheritance is recorded per
// handle: every real descriptor is close-on-exec, and CreateProcessA with
// inheritance on hands the child the descriptors of the handles that were
// inheritable at that moment (standinWithInheritableFiles).
// Byte-range locks (LockFileEx) are mandatory for the reads and writes of the
// runtime's streams (standin_locks.cpp).
// For the C-runtime calls (_sopen, _mkdir, ...) a fault's number is the errno.
#include "standin.h"
#include "standin_locks.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sched.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// Windows refuses write access to a file that has the read-only attribute (a
// file without the owner's write bit here), whoever asks; Linux would let
// root through.
bool isReadOnlyFile(const char *posix) {
  struct stat info;
  return stat(posix, &info) == 0 && S_ISREG(info.st_mode) && !(info.st_mode & S_IWUSR);
}

// ---- Share modes ----------------------------------------------------------
// Windows checks each open of a file against the opens it already has: an
// open that asks for read, write or delete access that an existing open does
// not share, or that does not share an access an existing open has, fails
// with ERROR_SHARING_VIOLATION; an open that asks for none of these accesses
// (access 0, as for a size query) is neither checked nor counted. DeleteFile
// is an open for delete access sharing everything, so it fails on a file open
// without FILE_SHARE_DELETE. (Win32 docs: CreateFileA, dwShareMode, and
// "Creating and Opening Files"; DeleteFileA remarks. The access-0 rule as Wine
// implements it: check_sharing in Wine's server/fd.c.)
//
// The record of the opens of one file lives in the kernel, so every process
// of the simulated machine sees it and nothing stale can outlive an open: each
// open takes shared open-file-description locks on a companion file
// <root>/shares/<device>-<inode>, one byte per access it has and one per
// access it denies. The kernel drops them when the last descriptor of that
// open closes: at close, when the process dies, or when a child that inherited
// the open ends, as a Windows file object lives as long as any handle to it.
//
// Deletion: "The DeleteFile function marks a file for deletion on close.
// Therefore, the file deletion does not occur until the last handle to the
// file is closed. Subsequent calls to CreateFile to open the file fail with
// ERROR_ACCESS_DENIED" (DeleteFileA, Remarks). Every open holds the kOpen
// byte; a delete while another open holds it writes the file's path into the
// record instead of unlinking, and the close that leaves no open (or the
// next look at a record whose holders have all died) unlinks it.
enum ShareByte : off_t {
  kHasRead = 0, // + 0, 1, 2: read, write, delete access held
  kDeniesRead = 3, // + 0, 1, 2: read, write, delete access denied to others
  kGuard = 6, // held exclusively while one open checks and records itself
  kOpen = 7, // held by every open while it lasts
};
constexpr DWORD kAccessBits[3] = {GENERIC_READ, GENERIC_WRITE, DELETE};
constexpr DWORD kShareBits[3] = {FILE_SHARE_READ, FILE_SHARE_WRITE, FILE_SHARE_DELETE};

bool setByteLock(int fd, short type, off_t byte, bool wait) {
  struct flock lock = {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = byte;
  lock.l_len = 1;
  int result;
  do {
    result = fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock);
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

// True when an open other than `fd`'s holds a lock on the byte.
bool someoneHolds(int fd, off_t byte) {
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = byte;
  lock.l_len = 1;
  return fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
}

// Opens the companion record of the file open on `fd` (or at `posix` when fd
// is -1); -1 with the last error set when it cannot.
int openShareRecord(int fd, const char *posix) {
  struct stat info;
  if ((fd >= 0 ? fstat(fd, &info) : stat(posix, &info)) != 0) {
    SetLastError(standinErrorFromErrno(errno));
    return -1;
  }
  char directory[4200], path[4300];
  standinRootPath("shares", directory, sizeof directory);
  snprintf(path, sizeof path, "%s/%llx-%llx", directory, (unsigned long long)info.st_dev,
           (unsigned long long)info.st_ino);
  int record = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (record < 0)
    SetLastError(standinErrorFromErrno(errno));
  return record;
}

// The pending deletion of the record's file: unlinks the file when no open
// of another holds it any more. 0 when nothing is pending, ERROR_ACCESS_DENIED
// while the deletion waits, ERROR_FILE_NOT_FOUND when it has just happened.
// The caller holds the guard byte.
DWORD settlePendingDelete(int record) {
  char path[4096];
  ssize_t length = pread(record, path, sizeof path - 1, 0);
  if (length <= 0)
    return 0;
  if (someoneHolds(record, kOpen))
    return ERROR_ACCESS_DENIED;
  path[length] = 0;
  unlink(path);
  if (ftruncate(record, 0) != 0)
    return ERROR_ACCESS_DENIED;
  return ERROR_FILE_NOT_FOUND;
}

// Checks an open with `access` and `share` against the opens the record
// holds and, when `keep`, records it on `record`. False with the last error
// set: ERROR_SHARING_VIOLATION on a conflict, or what settlePendingDelete
// answers for a file whose deletion is pending.
bool admitOpen(int record, DWORD access, DWORD share, bool keep) {
  if (access & GENERIC_ALL)
    access |= GENERIC_READ | GENERIC_WRITE | DELETE;
  setByteLock(record, F_WRLCK, kGuard, true);
  DWORD error = settlePendingDelete(record);
  // An open without data access is neither checked nor counted.
  for (int i = 0; i < 3 && !error; ++i) {
    if (((access & kAccessBits[i]) && someoneHolds(record, kDeniesRead + i)) ||
        ((access & (GENERIC_READ | GENERIC_WRITE | DELETE)) && !(share & kShareBits[i]) &&
         someoneHolds(record, kHasRead + i)))
      error = ERROR_SHARING_VIOLATION;
  }
  if (!error && keep) {
    setByteLock(record, F_RDLCK, kOpen, false);
    for (int i = 0; i < 3 && (access & (GENERIC_READ | GENERIC_WRITE | DELETE)); ++i) {
      if (access & kAccessBits[i])
        setByteLock(record, F_RDLCK, kHasRead + i, false);
      if (!(share & kShareBits[i]))
        setByteLock(record, F_RDLCK, kDeniesRead + i, false);
    }
  }
  setByteLock(record, F_UNLCK, kGuard, false);
  if (error)
    SetLastError(error);
  return !error;
}

// ---- Descriptors and inheritance ----------------------------------------------
// Every descriptor the stand-in opens is close-on-exec. The descriptors of
// inheritable handles (and their share records) are listed here; they close
// only under the mutex, so a child being created sees each of them open. A
// child gets them without close-on-exec, so the programs a script starts hold
// them too, as the programs cmd.exe starts do; a stand-in program does not
// list what it inherited, so its own CreateProcessA children do not get it.
std::mutex inheritMutex;
std::set<int> &inheritableFds() {
  static auto *fds = new std::set<int>;
  return *fds;
}

void noteDescriptors(int fd, int record, bool inheritable) {
  if (!inheritable)
    return;
  std::lock_guard<std::mutex> guard(inheritMutex);
  inheritableFds().insert(fd);
  if (record >= 0)
    inheritableFds().insert(record);
}

// The close of the last open of a file whose deletion is pending deletes it.
int closeDescriptors(int fd, int record) {
  std::lock_guard<std::mutex> guard(inheritMutex);
  inheritableFds().erase(fd);
  if (record >= 0) {
    inheritableFds().erase(record);
    setByteLock(record, F_WRLCK, kGuard, true);
    settlePendingDelete(record);
    setByteLock(record, F_UNLCK, kGuard, false); // a child may share this open
    close(record);
  }
  return close(fd);
}

struct FileObject {
  int fd;
  int record;  // the share record of this open, or -1
  bool ownsFd; // false for the view that _get_osfhandle hands out
};

void destroyFile(void *object) {
  FileObject *file = static_cast<FileObject *>(object);
  if (file->ownsFd) {
    standinForgetFileLocks(file->fd);
    closeDescriptors(file->fd, file->record);
  }
  delete file;
}

struct DescriptorInfo {
  bool text = false;
  bool append = false;
  int record = -1;
  HANDLE view = nullptr; // made by _get_osfhandle, released by _close
};

std::mutex descriptorMutex;
std::map<int, DescriptorInfo> &descriptors() {
  static auto *table = new std::map<int, DescriptorInfo>;
  return *table;
}

// Opens `posix` with the POSIX `flags`, then admits the open by its share
// mode; a truncation waits until the open is admitted, as Windows truncates
// nothing for an open it refuses. Returns the descriptor and its record, or
// -1 with the last error set.
int openShared(const char *posix, int flags, mode_t mode, DWORD access, DWORD share,
               int *record, bool again = false) {
  int fd = open(posix, (flags & ~O_TRUNC) | O_CLOEXEC, mode);
  if (fd < 0) {
    SetLastError(standinErrorFromErrno(errno));
    return -1;
  }
  struct stat info;
  if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    close(fd); // a directory: the caller refuses it
    SetLastError(ERROR_ACCESS_DENIED);
    return -1;
  }
  *record = openShareRecord(fd, nullptr);
  bool admitted = *record >= 0 && admitOpen(*record, access, share, true);
  if (admitted && (flags & O_TRUNC) && ftruncate(fd, 0) != 0) {
    SetLastError(standinErrorFromErrno(errno));
    admitted = false;
  }
  if (!admitted) {
    if (*record >= 0)
      close(*record); // the last error stays the reason
    close(fd);
    // A deletion that was pending happened just now: open by the name again.
    if (!again && GetLastError() == ERROR_FILE_NOT_FOUND && *record >= 0)
      return openShared(posix, flags, mode, access, share, record, true);
    return -1;
  }
  return fd;
}

int openFlagsFor(DWORD access, DWORD disposition) {
  int flags;
  if ((access & (GENERIC_READ | GENERIC_WRITE | GENERIC_ALL)) == 0)
    flags = O_PATH;
  else if ((access & GENERIC_ALL) || ((access & GENERIC_READ) && (access & GENERIC_WRITE)))
    flags = O_RDWR;
  else if (access & GENERIC_WRITE)
    flags = O_WRONLY;
  else
    flags = O_RDONLY;
  switch (disposition) {
  case CREATE_NEW:
    return flags | O_CREAT | O_EXCL;
  case CREATE_ALWAYS:
    return flags | O_CREAT | O_TRUNC;
  case OPEN_ALWAYS:
    return flags | O_CREAT;
  case TRUNCATE_EXISTING:
    return flags | O_TRUNC;
  default:
    return flags;
  }
}
} // namespace

HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                   LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition, DWORD,
                   HANDLE) {
  if (standinFailNow("CreateFileA"))
    return INVALID_HANDLE_VALUE;
  if (creationDisposition < CREATE_NEW || creationDisposition > TRUNCATE_EXISTING) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  char posix[4096];
  DWORD error = standinToPosixPath(fileName, posix, sizeof posix);
  if (error) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  if ((desiredAccess & GENERIC_WRITE) && isReadOnlyFile(posix)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  int record = -1;
  int fd = openShared(posix, openFlagsFor(desiredAccess, creationDisposition), 0666,
                      desiredAccess, shareMode, &record);
  if (fd < 0)
    return INVALID_HANDLE_VALUE; // a directory needs backup semantics, never asked for here
  // Inheritable only when the security attributes say so (CreateFileA docs,
  // lpSecurityAttributes).
  noteDescriptors(fd, record, securityAttributes && securityAttributes->bInheritHandle);
  return standinNewHandle(kStandinFile, new FileObject{fd, record, true}, destroyFile);
}

DWORD GetFileSize(HANDLE file, LPDWORD fileSizeHigh) {
  if (standinFailNow("GetFileSize"))
    return INVALID_FILE_SIZE;
  FileObject *object = static_cast<FileObject *>(standinHandleObject(file, kStandinFile));
  if (!object)
    return INVALID_FILE_SIZE;
  struct stat info;
  if (fstat(object->fd, &info) != 0) {
    SetLastError(standinErrorFromErrno(errno));
    return INVALID_FILE_SIZE;
  }
  uint64_t size = (uint64_t)info.st_size;
  if (fileSizeHigh)
    *fileSizeHigh = (DWORD)(size >> 32);
  SetLastError(0);
  return (DWORD)size;
}

BOOL DeleteFileA(LPCSTR fileName) {
  if (standinFailNow("DeleteFileA"))
    return FALSE;
  char posix[4096];
  DWORD error = standinToPosixPath(fileName, posix, sizeof posix);
  if (error) {
    SetLastError(error);
    return FALSE;
  }
  struct stat info;
  if (lstat(posix, &info) != 0) {
    SetLastError(standinErrorFromErrno(errno));
    return FALSE;
  }
  if (S_ISDIR(info.st_mode)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  // A delete is an open for delete access that shares everything: refused
  // while an open of the file does not share deletion.
  int record = openShareRecord(-1, posix);
  if (record < 0)
    return FALSE;
  bool admitted = admitOpen(record, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            false);
  if (!admitted) {
    close(record);
    return FALSE;
  }
  // Open elsewhere: marked, deleted by the last close.
  setByteLock(record, F_WRLCK, kGuard, true);
  bool pending = someoneHolds(record, kOpen);
  bool marked = pending && pwrite(record, posix, strlen(posix), 0) == (ssize_t)strlen(posix);
  setByteLock(record, F_UNLCK, kGuard, false);
  close(record);
  if (pending && !marked)
    SetLastError(ERROR_ACCESS_DENIED);
  if (pending)
    return marked ? TRUE : FALSE;
  if (unlink(posix) != 0) {
    SetLastError(standinErrorFromErrno(errno));
    return FALSE;
  }
  return TRUE;
}

// ---- Byte-range locks (standin_locks.cpp) ------------------------------------

namespace {
std::function<void(HANDLE)> beforeLockHook;
std::mutex beforeLockMutex;

bool overlappedOffset(LPOVERLAPPED overlapped, uint64_t *offset) {
  if (!overlapped)
    return false;
  *offset = ((uint64_t)overlapped->OffsetHigh << 32) | overlapped->Offset;
  return true;
}
} // namespace

void standinBeforeLockFileEx(const std::function<void(HANDLE)> &hook) {
  std::lock_guard<std::mutex> guard(beforeLockMutex);
  beforeLockHook = hook;
}

BOOL LockFileEx(HANDLE file, DWORD flags, DWORD reserved, DWORD bytesLow, DWORD bytesHigh,
                LPOVERLAPPED overlapped) {
  std::function<void(HANDLE)> hook;
  {
    std::lock_guard<std::mutex> guard(beforeLockMutex);
    hook = beforeLockHook;
  }
  if (hook)
    hook(file);
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
  DWORD error = standinLockRange(fd, (flags & LOCKFILE_EXCLUSIVE_LOCK) != 0,
                                 (flags & LOCKFILE_FAIL_IMMEDIATELY) == 0, offset,
                                 ((uint64_t)bytesHigh << 32) | bytesLow);
  if (error)
    SetLastError(error);
  return error ? FALSE : TRUE;
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
  DWORD error = standinUnlockRange(fd, offset, ((uint64_t)bytesHigh << 32) | bytesLow);
  if (error)
    SetLastError(error);
  return error ? FALSE : TRUE;
}

int standinFileDescriptor(HANDLE file) {
  FileObject *object = static_cast<FileObject *>(standinHandleObject(file, kStandinFile));
  return object ? object->fd : -1;
}

bool standinWithInheritableFiles(const std::function<bool(const std::vector<int> &)> &spawn) {
  std::lock_guard<std::mutex> guard(inheritMutex);
  std::vector<int> fds(inheritableFds().begin(), inheritableFds().end());
  return spawn(fds);
}

// ---- C runtime ------------------------------------------------------------

// The runtime's share flags as Windows share modes: deny none shares reading
// and writing but not deletion (the _sopen docs: "_SH_DENYNO: Permits read
// and write access"; measured under Wine by tests/wine/test_log_concurrency.sh:
// `file_hold <log> ... denyno` holding the log, `file_hold --delete <log>`
// exits 32). A refused open fails with EACCES, the runtime's errno for
// ERROR_SHARING_VIOLATION (_sopen docs, EACCES).
int _sopen(const char *path, int openFlags, int shareFlags, ...) {
  DWORD fault = 0;
  if (standinFault("_sopen", &fault)) {
    errno = (int)fault;
    return -1;
  }
  DWORD share;
  switch (shareFlags) {
  case _SH_DENYRW:
    share = 0;
    break;
  case _SH_DENYWR:
    share = FILE_SHARE_READ;
    break;
  case _SH_DENYRD:
    share = FILE_SHARE_WRITE;
    break;
  case _SH_DENYNO:
    share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    break;
  default:
    errno = EINVAL;
    return -1;
  }
  int permission = 0;
  if (openFlags & _O_CREAT) {
    va_list args;
    va_start(args, shareFlags);
    permission = va_arg(args, int);
    va_end(args);
  }
  char posix[4096];
  if (standinToPosixPath(path, posix, sizeof posix) != 0) {
    errno = ENOENT;
    return -1;
  }
  int flags = 0;
  DWORD access;
  switch (openFlags & 3) {
  case _O_WRONLY:
    flags |= O_WRONLY;
    access = GENERIC_WRITE;
    break;
  case _O_RDWR:
    flags |= O_RDWR;
    access = GENERIC_READ | GENERIC_WRITE;
    break;
  default:
    flags |= O_RDONLY;
    access = GENERIC_READ;
  }
  // No O_APPEND: the runtime appends by a seek to the end before each write
  // (streamWrite), not atomically.
  if (openFlags & _O_CREAT)
    flags |= O_CREAT;
  if (openFlags & _O_TRUNC)
    flags |= O_TRUNC;
  if (openFlags & _O_EXCL)
    flags |= O_EXCL;
  mode_t mode = 0444;
  if (permission & _S_IWRITE)
    mode |= 0222;
  if ((openFlags & 3) != _O_RDONLY && isReadOnlyFile(posix)) {
    errno = EACCES;
    return -1;
  }
  int record = -1;
  int fd = openShared(posix, flags, mode, access, share, &record);
  if (fd < 0) {
    DWORD error = GetLastError();
    errno = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ENOENT
            : error == ERROR_FILE_EXISTS                                   ? EEXIST
                                                                           : EACCES;
    return -1;
  }
  // Without _O_NOINHERIT the runtime's descriptor is inheritable (_sopen docs).
  noteDescriptors(fd, record, !(openFlags & _O_NOINHERIT));
  std::lock_guard<std::mutex> guard(descriptorMutex);
  DescriptorInfo &entry = descriptors()[fd];
  entry.text = !(openFlags & _O_BINARY); // text is the runtime's default mode
  entry.append = (openFlags & _O_APPEND) != 0;
  entry.record = record;
  entry.view = nullptr;
  return fd;
}

int _close(int fd) {
  HANDLE view = nullptr;
  int record = -1;
  {
    std::lock_guard<std::mutex> guard(descriptorMutex);
    auto found = descriptors().find(fd);
    if (found != descriptors().end()) {
      view = found->second.view;
      record = found->second.record;
      descriptors().erase(found);
    }
  }
  if (view)
    standinCloseHandle(view, kStandinFile);
  standinForgetFileLocks(fd);
  return closeDescriptors(fd, record);
}

int _mkdir(const char *path) {
  DWORD fault = 0;
  if (standinFault("_mkdir", &fault)) {
    errno = (int)fault;
    return -1;
  }
  char posix[4096];
  if (standinToPosixPath(path, posix, sizeof posix) != 0) {
    errno = ENOENT;
    return -1;
  }
  return mkdir(posix, 0777);
}

intptr_t _get_osfhandle(int fd) {
  std::lock_guard<std::mutex> guard(descriptorMutex);
  auto found = descriptors().find(fd);
  if (found == descriptors().end()) {
    errno = EBADF;
    return (intptr_t)INVALID_HANDLE_VALUE;
  }
  if (!found->second.view)
    found->second.view = standinNewHandle(kStandinFile, new FileObject{fd, -1, false}, destroyFile);
  return (intptr_t)found->second.view;
}

// ---- Streams on descriptors --------------------------------------------------

namespace {
struct StreamCookie {
  int fd;
  bool text;
  bool append;     // each write goes to the end of the file as it is then
  bool atEnd;      // a Ctrl-Z was read in text mode
  int pendingByte; // a byte read ahead after a CR, or -1
};

// Text mode writes each line feed as CR LF; what one call gets goes out in
// one write.
ssize_t streamWrite(void *cookie, const char *data, size_t size) {
  StreamCookie *stream = static_cast<StreamCookie *>(cookie);
  const char *out = data;
  size_t outSize = size;
  char *translated = nullptr;
  if (stream->text) {
    size_t feeds = 0;
    for (size_t i = 0; i < size; ++i)
      feeds += data[i] == '\n';
    if (feeds) {
      translated = static_cast<char *>(malloc(size + feeds));
      if (!translated)
        return -1;
      size_t j = 0;
      for (size_t i = 0; i < size; ++i) {
        if (data[i] == '\n')
          translated[j++] = '\r';
        translated[j++] = data[i];
      }
      out = translated;
      outSize = j;
    }
  }
  // The runtime's append mode is two steps, a seek to the end and then the
  // write (the _write docs: "the file pointer is positioned at the end of the
  // file before the write"): a writer of another process can write at the
  // same end in between, and the later write overwrites the earlier one.
  // The processor is given up between the two steps, as a preemption there
  // would, so that a writer relying on an atomic append shows its fault.
  if (stream->append) {
    if (lseek(stream->fd, 0, SEEK_END) < 0) {
      free(translated);
      return -1;
    }
    sched_yield();
  }
  off_t at = lseek(stream->fd, 0, SEEK_CUR);
  if (at >= 0 && standinLockedAgainst(stream->fd, true, (uint64_t)at, outSize)) {
    free(translated);
    errno = EACCES; // the runtime's errno for ERROR_LOCK_VIOLATION
    return -1;
  }
  size_t written = 0;
  while (written < outSize) {
    ssize_t n = write(stream->fd, out + written, outSize - written);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      free(translated);
      return -1;
    }
    written += (size_t)n;
  }
  free(translated);
  return (ssize_t)size;
}

int readByte(StreamCookie *stream) {
  if (stream->pendingByte >= 0) {
    int byte = stream->pendingByte;
    stream->pendingByte = -1;
    return byte;
  }
  unsigned char byte;
  ssize_t n;
  do {
    n = read(stream->fd, &byte, 1);
  } while (n < 0 && errno == EINTR);
  return n == 1 ? byte : (n == 0 ? -1 : -2);
}

// Text mode reads CR LF as a line feed and ends the file at Ctrl-Z.
ssize_t streamRead(void *cookie, char *data, size_t size) {
  StreamCookie *stream = static_cast<StreamCookie *>(cookie);
  // A locked range refuses the bytes there are to read from it.
  off_t at = lseek(stream->fd, 0, SEEK_CUR);
  struct stat info;
  if (at >= 0 && fstat(stream->fd, &info) == 0 && info.st_size > at &&
      standinLockedAgainst(stream->fd, false, (uint64_t)at,
                           std::min((uint64_t)size, (uint64_t)(info.st_size - at)))) {
    errno = EACCES;
    return -1;
  }
  if (!stream->text) {
    ssize_t n;
    do {
      n = read(stream->fd, data, size);
    } while (n < 0 && errno == EINTR);
    return n;
  }
  size_t count = 0;
  while (count < size && !stream->atEnd) {
    int byte = readByte(stream);
    if (byte == -2)
      return count ? (ssize_t)count : -1;
    if (byte == -1)
      break;
    if (byte == 0x1A) {
      stream->atEnd = true;
      break;
    }
    if (byte == '\r') {
      int next = readByte(stream);
      if (next == '\n')
        byte = '\n';
      else if (next >= 0)
        stream->pendingByte = next;
    }
    data[count++] = (char)byte;
  }
  return (ssize_t)count;
}

int streamClose(void *cookie) {
  StreamCookie *stream = static_cast<StreamCookie *>(cookie);
  int result = _close(stream->fd);
  delete stream;
  return result;
}
} // namespace

FILE *_fdopen(int fd, const char *mode) {
  DWORD fault = 0;
  if (standinFault("_fdopen", &fault)) {
    errno = (int)fault;
    return nullptr;
  }
  bool text, append;
  {
    std::lock_guard<std::mutex> guard(descriptorMutex);
    auto found = descriptors().find(fd);
    if (found == descriptors().end()) {
      errno = EBADF;
      return nullptr;
    }
    text = found->second.text;
    append = found->second.append;
  }
  if (strchr(mode, 'b'))
    text = false;
  else if (strchr(mode, 't'))
    text = true;
  StreamCookie *stream = new StreamCookie{fd, text, append, false, -1};
  cookie_io_functions_t functions = {streamRead, streamWrite, nullptr, streamClose};
  FILE *file = fopencookie(stream, mode, functions);
  if (!file)
    delete stream;
  return file;
}
