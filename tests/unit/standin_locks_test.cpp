// The stand-in's LockFileEx/UnlockFileEx: locks belong to one open of the
// file, so two handles conflict even inside one process, as on Windows.
#include "platform/posix/standin.h"
#include "support.h"

#include <gtest/gtest.h>

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

TEST_F(StandinLocks, TwoHandlesInOneProcessConflictOnOverlappingRangesOnly) {
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  EXPECT_EQ(lock(a, 0, 1), 0u);
  EXPECT_EQ(lock(b, 0, 1), (DWORD)ERROR_LOCK_VIOLATION);
  EXPECT_EQ(lock(b, 0, 1, false), (DWORD)ERROR_LOCK_VIOLATION);
  EXPECT_EQ(lock(b, 1, 1), 0u) << "the next byte is free";
  EXPECT_EQ(lock(a, 0, 1), (DWORD)ERROR_LOCK_VIOLATION) << "not even the holder locks it twice";
  EXPECT_EQ(unlock(a, 0, 1), 0u);
  EXPECT_EQ(lock(b, 0, 1), 0u);
}

TEST_F(StandinLocks, UnlockMustNameExactlyALockedRange) {
  EXPECT_EQ(unlock(a, 0, 1), (DWORD)ERROR_NOT_LOCKED);
  ASSERT_EQ(lock(a, 0, 4), 0u);
  EXPECT_EQ(unlock(a, 0, 1), (DWORD)ERROR_NOT_LOCKED);
  EXPECT_EQ(unlock(b, 0, 4), (DWORD)ERROR_NOT_LOCKED) << "another handle's range";
  EXPECT_EQ(unlock(a, 0, 4), 0u);
  EXPECT_EQ(unlock(a, 0, 4), (DWORD)ERROR_NOT_LOCKED);
}

TEST_F(StandinLocks, SharedLocksShareAndUnlockingOneKeepsTheOther) {
  EXPECT_EQ(lock(a, 0, 10, false), 0u);
  EXPECT_EQ(lock(a, 0, 1, false), 0u);
  EXPECT_EQ(lock(b, 0, 1, false), 0u);
  EXPECT_EQ(unlock(a, 0, 1), 0u);
  int c = open();
  EXPECT_EQ(lock(c, 0, 1), (DWORD)ERROR_LOCK_VIOLATION) << "a's 10-byte range still covers byte 0";
  _close(c);
}

TEST_F(StandinLocks, ClosingTheDescriptorReleasesItsLocks) {
  ASSERT_EQ(lock(a, 0, 1), 0u);
  _close(a);
  a = open(); // likely the same descriptor number: its old ranges must be gone
  EXPECT_EQ(unlock(a, 0, 1), (DWORD)ERROR_NOT_LOCKED);
  EXPECT_EQ(lock(b, 0, 1), 0u);
}

TEST_F(StandinLocks, BadArgumentsAndFaultsFail) {
  OVERLAPPED at = {};
  EXPECT_FALSE(LockFileEx(handle(a), LOCKFILE_EXCLUSIVE_LOCK, 1, 1, 0, &at));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(LockFileEx(INVALID_HANDLE_VALUE, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
  standinFailCall("LockFileEx", ERROR_NOT_ENOUGH_MEMORY, standinCallCount("LockFileEx") + 1);
  EXPECT_EQ(lock(a, 0, 1), (DWORD)ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(lock(a, 0, 1), 0u);
  standinClearFaults();
}
} // namespace
