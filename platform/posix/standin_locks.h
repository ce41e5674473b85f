// Byte-range locks of the stand-in's files, by descriptor: what LockFileEx
// and UnlockFileEx (standin_files.cpp) take and give back, and what a read or
// a write through a descriptor checks first. Each returns 0 or the Windows error.
#pragma once

#include "win32_api.h"

#include <cstdint>

// Locks [offset, offset + length) for the open behind `fd`; `wait` blocks
// while another open holds a conflicting range.
DWORD standinLockRange(int fd, bool exclusive, bool wait, uint64_t offset, uint64_t length);
// Unlocks exactly a range `fd` locked (ERROR_NOT_LOCKED otherwise).
DWORD standinUnlockRange(int fd, uint64_t offset, uint64_t length);
// ERROR_LOCK_VIOLATION when a read (or a write) of the range through `fd`
// touches a range locked against it, else 0.
DWORD standinLockedAgainst(int fd, bool write, uint64_t offset, uint64_t length);
// Forgets the ranges recorded for a descriptor that is closing.
void standinForgetFileLocks(int fd);
