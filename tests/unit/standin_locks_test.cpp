// The stand-in's LockFileEx/UnlockFileEx: locks belong to one open of the
// file, so two handles conflict even inside one process, and they bar reads
// and writes, as on Windows. And its share modes and deletion: opens and
// deletes refused as Windows refuses them.
#include "support.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

namespace {
class StandinLocks : public testing::Test {
protected:
  void SetUp() override {
    scratch.writeFile("file", "content");
    path = scratch.win("file");
    a = open();
    b = open();
  }
  void TearDown() override {
    _close(a);
    _close(b);
  }
  int open() { return _sopen(path.c_str(), _O_RDWR | _O_BINARY, _SH_DENYNO); }
  static HANDLE handle(int fd) { return (HANDLE)_get_osfhandle(fd); }
  // 0 when granted, else the last error.
  static DWORD lock(int fd, DWORD offset, DWORD length, bool exclusive = true) {
    OVERLAPPED at = {};
    at.Offset = offset;
    DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
    return LockFileEx(handle(fd), flags, 0, length, 0, &at) ? 0 : GetLastError();
  }
  static DWORD unlock(int fd, DWORD offset, DWORD length) {
    OVERLAPPED at = {};
    at.Offset = offset;
    return UnlockFileEx(handle(fd), 0, length, 0, &at) ? 0 : GetLastError();
  }
  ScratchDir scratch;
  std::string path;
  int a = -1, b = -1;
};

TEST_F(StandinLocks, TwoHandlesConflictOnOverlappingRangesOnlyUntilClosed) {
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  EXPECT_EQ(lock(a, 0, 1), 0u);
  EXPECT_EQ(lock(b, 0, 1), (DWORD)ERROR_LOCK_VIOLATION);
  EXPECT_EQ(lock(b, 0, 1, false), (DWORD)ERROR_LOCK_VIOLATION);
  EXPECT_EQ(lock(b, 1, 1), 0u) << "the next byte is free";
  EXPECT_EQ(lock(a, 0, 1), (DWORD)ERROR_LOCK_VIOLATION) << "not even the holder locks it twice";
  EXPECT_EQ(unlock(a, 0, 1), 0u);
  EXPECT_EQ(lock(b, 0, 1), 0u);
  _close(b);
  b = open(); // likely the same descriptor number: its old ranges must be gone
  EXPECT_EQ(unlock(b, 0, 1), (DWORD)ERROR_NOT_LOCKED);
  EXPECT_EQ(lock(a, 0, 1), 0u) << "closing released it";
}

// LockFileEx, Remarks: an exclusive range refuses other handles' reads, a
// shared one every write, the locker's own too.
TEST_F(StandinLocks, LockedRangesRefuseReadsAndWritesAsWindowsDoes) {
  FILE *mine = _fdopen(a, "r+b");
  FILE *other = _fdopen(b, "r+b");
  ASSERT_TRUE(mine && other);
  setvbuf(mine, nullptr, _IONBF, 0); // each call reaches the file at the descriptor's offset
  setvbuf(other, nullptr, _IONBF, 0);
  auto read = [this, mine](FILE *file, long at) {
    char text[4] = {};
    lseek(file == mine ? a : b, at, SEEK_SET);
    size_t n = fread(text, 1, 3, file);
    clearerr(file);
    return n ? std::string(text, n) : std::string("refused");
  };
  auto write = [this, mine](FILE *file, long at) {
    lseek(file == mine ? a : b, at, SEEK_SET);
    bool written = fputc('X', file) != EOF;
    clearerr(file);
    return written;
  };
  ASSERT_EQ(lock(a, 0, 4), 0u);
  EXPECT_EQ(read(other, 0), "refused");
  EXPECT_EQ(read(other, 4), "ent") << "beyond the range";
  EXPECT_EQ(read(mine, 0), "con");
  ASSERT_EQ(unlock(a, 0, 4), 0u);
  ASSERT_EQ(lock(a, 0, 4, false), 0u);
  EXPECT_EQ(read(other, 0), "con");
  EXPECT_TRUE(write(other, 4));
  EXPECT_FALSE(write(other, 0));
  EXPECT_FALSE(write(mine, 1)) << "not even the locker writes";
  fclose(mine);
  fclose(other);
  a = b = -1;
  EXPECT_EQ(scratch.readFile("file"), "contXnt");
}

// An unlock names exactly a range its own handle locked; shared locks share,
// and unlocking one keeps the others; bad arguments and faults fail.
TEST_F(StandinLocks, UnlockMustNameExactlyALockedRangeAndSharedLocksShare) {
  EXPECT_EQ(unlock(a, 0, 1), (DWORD)ERROR_NOT_LOCKED);
  ASSERT_EQ(lock(a, 0, 4), 0u);
  EXPECT_EQ(unlock(a, 0, 1), (DWORD)ERROR_NOT_LOCKED);
  EXPECT_EQ(unlock(b, 0, 4), (DWORD)ERROR_NOT_LOCKED) << "another handle's range";
  EXPECT_EQ(unlock(a, 0, 4), 0u);
  EXPECT_EQ(unlock(a, 0, 4), (DWORD)ERROR_NOT_LOCKED);

  EXPECT_EQ(lock(a, 0, 10, false), 0u);
  EXPECT_EQ(lock(a, 0, 1, false), 0u);
  EXPECT_EQ(lock(b, 0, 1, false), 0u);
  EXPECT_EQ(unlock(a, 0, 1), 0u);
  int c = open();
  EXPECT_EQ(lock(c, 0, 1), (DWORD)ERROR_LOCK_VIOLATION) << "a's 10-byte range still covers byte 0";
  _close(c);

  OVERLAPPED at = {};
  EXPECT_EQ(lastErrorOf(LockFileEx(handle(a), LOCKFILE_EXCLUSIVE_LOCK, 1, 1, 0, &at)),
            (DWORD)ERROR_INVALID_PARAMETER);
  EXPECT_EQ(lastErrorOf(LockFileEx(INVALID_HANDLE_VALUE, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at)),
            (DWORD)ERROR_INVALID_HANDLE);
  standinFailCall("LockFileEx", ERROR_NOT_ENOUGH_MEMORY, standinCallCount("LockFileEx") + 1);
  EXPECT_EQ(lock(b, 20, 1), (DWORD)ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(lock(b, 20, 1), 0u);
  standinClearFaults();
}
} // namespace

// ---- Share modes ------------------------------------------------------------

namespace {
HANDLE openShared(const std::string &path, DWORD access, DWORD share,
                  DWORD disposition = OPEN_EXISTING) {
  return CreateFileA(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                     nullptr);
}
// 0 when the open is granted (and closed again), else the last error.
DWORD tryOpen(const std::string &path, DWORD access, DWORD share,
              DWORD disposition = OPEN_EXISTING) {
  HANDLE file = openShared(path, access, share, disposition);
  if (file == INVALID_HANDLE_VALUE)
    return GetLastError();
  CloseHandle(file);
  return 0;
}
constexpr DWORD kRW = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kShareRW = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
} // namespace

// CreateFileA (dwShareMode): an open fails with ERROR_SHARING_VIOLATION when
// it asks for an access an existing open does not share, or does not share an
// access an existing open has; an open without data access is never refused
// and never refuses (Wine's server/fd.c, check_sharing).
TEST(StandinShareModes, ConflictingOpensInOneProcessAreRefused) {
  ScratchDir scratch;
  scratch.writeFile("f", "content");
  std::string path = scratch.win("f");
  HANDLE writer = openShared(path, GENERIC_WRITE, kShareRW);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  EXPECT_EQ(tryOpen(path, GENERIC_READ, FILE_SHARE_READ), (DWORD)ERROR_SHARING_VIOLATION)
      << "would deny the writer's write access";
  EXPECT_EQ(tryOpen(path, kRW, kShareRW), 0u);
  EXPECT_EQ(tryOpen(path, 0, 0), 0u) << "no data access: not checked";
  EXPECT_EQ(tryOpen(path, GENERIC_WRITE, kShareRW, CREATE_ALWAYS), 0u);
  CloseHandle(writer);

  HANDLE exclusive = openShared(path, GENERIC_READ, 0);
  ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
  writeWholeFile(scratch.path("f"), "content");
  EXPECT_EQ(tryOpen(path, GENERIC_READ, kShareAll), (DWORD)ERROR_SHARING_VIOLATION);
  EXPECT_EQ(tryOpen(path, GENERIC_WRITE, kShareAll, CREATE_ALWAYS), (DWORD)ERROR_SHARING_VIOLATION);
  EXPECT_EQ(scratch.readFile("f"), "content") << "a refused open truncates nothing";
  EXPECT_EQ(tryOpen(path, 0, kShareAll), 0u);
  // The runtime's share-aware open follows the same rules; its error is EACCES.
  errno = 0;
  EXPECT_EQ(_sopen(path.c_str(), _O_RDONLY, _SH_DENYNO), -1);
  EXPECT_EQ(errno, EACCES);
  CloseHandle(exclusive);

  int reader = _sopen(path.c_str(), _O_RDONLY, _SH_DENYWR);
  ASSERT_GE(reader, 0);
  EXPECT_EQ(tryOpen(path, GENERIC_WRITE, kShareAll), (DWORD)ERROR_SHARING_VIOLATION);
  EXPECT_EQ(_sopen(path.c_str(), _O_RDWR, _SH_DENYNO), -1) << "deny write refuses a writer";
  int second = _sopen(path.c_str(), _O_RDONLY, _SH_DENYNO);
  EXPECT_GE(second, 0);
  _close(second);
  _close(reader);
  EXPECT_EQ(tryOpen(path, kRW, 0), 0u) << "closed opens refuse nothing";
}

// DeleteFileA fails on a file open without FILE_SHARE_DELETE (DeleteFileA
// remarks); the runtime's deny-none shares reading and writing only (_sopen
// docs: "_SH_DENYNO Permits read and write access").
TEST(StandinShareModes, DeleteIsRefusedWhileAnOpenDoesNotShareIt) {
  ScratchDir scratch;
  scratch.writeFile("f", "x");
  std::string path = scratch.win("f");
  int log = _sopen(path.c_str(), _O_WRONLY | _O_APPEND, _SH_DENYNO);
  ASSERT_GE(log, 0);
  EXPECT_EQ(lastErrorOf(DeleteFileA(path.c_str())), (DWORD)ERROR_SHARING_VIOLATION);
  EXPECT_TRUE(scratch.exists("f"));
  _close(log);

  // Sharing deletion, the file is delete-pending until its last handle
  // closes: the name stays, and opens and deletes are refused with
  // ERROR_ACCESS_DENIED (DeleteFileA, Remarks).
  HANDLE sizeQuery = openShared(path, 0, kShareRW);
  HANDLE sharing = openShared(path, kRW, kShareAll);
  ASSERT_NE(sharing, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(DeleteFileA(path.c_str())) << "an open without data access and one sharing delete";
  EXPECT_TRUE(scratch.exists("f"));
  EXPECT_EQ(tryOpen(path, GENERIC_READ, kShareAll), (DWORD)ERROR_ACCESS_DENIED);
  EXPECT_EQ(tryOpen(path, 0, kShareAll), (DWORD)ERROR_ACCESS_DENIED);
  EXPECT_EQ(lastErrorOf(DeleteFileA(path.c_str())), (DWORD)ERROR_ACCESS_DENIED);
  CloseHandle(sharing);
  EXPECT_TRUE(scratch.exists("f")) << "the size query still holds it";
  CloseHandle(sizeQuery);
  EXPECT_FALSE(scratch.exists("f"));
  EXPECT_EQ(tryOpen(path, kRW, 0, CREATE_NEW), 0u) << "the name is free again";
}

// Share modes and locks hold across processes, and end with their process:
// a holder killed without closing leaves nothing that refuses.
TEST(StandinShareModes, AnotherProcessesOpenRefusesUntilItDies) {
  ScratchDir scratch;
  scratch.writeFile("f", "x");
  std::string path = scratch.win("f");
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  scratch.writeFile("g", "x");
  std::string locked = scratch.win("g");
  auto lockByte = [](HANDLE file) {
    OVERLAPPED at = {};
    return LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)
               ? 0u
               : GetLastError();
  };
  pid_t holder = fork();
  if (holder == 0) {
    HANDLE held = openShared(path, kRW, 0);
    HANDLE lockedHere = openShared(locked, kRW, kShareAll);
    char byte = held == INVALID_HANDLE_VALUE || lockByte(lockedHere) ? 'n' : 'y';
    if (write(ready[1], &byte, 1) != 1)
      _exit(1);
    pause(); // killed by the test, never closing its handle
    _exit(0);
  }
  ASSERT_GT(holder, 0) << "fork failed: " << strerror(errno);
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  EXPECT_EQ(byte, 'y');
  EXPECT_EQ(tryOpen(path, GENERIC_READ, kShareAll), (DWORD)ERROR_SHARING_VIOLATION);
  EXPECT_EQ(lastErrorOf(DeleteFileA(path.c_str())), (DWORD)ERROR_SHARING_VIOLATION);
  HANDLE mine = openShared(locked, kRW, kShareAll);
  EXPECT_EQ(lockByte(mine), (DWORD)ERROR_LOCK_VIOLATION);
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  EXPECT_EQ(tryOpen(path, kRW, 0), 0u);
  EXPECT_TRUE(DeleteFileA(path.c_str()));
  EXPECT_EQ(lockByte(mine), 0u) << "its lock ended with it";
  CloseHandle(mine);
  close(ready[0]);
  close(ready[1]);
}
