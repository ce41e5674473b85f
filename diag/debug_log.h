// The debug log: one plain-text file, "native-windows.out", that every part
// of the program traces to, from any thread, in every process at once.
#pragma once

#include "bounded_format.h"

// One informational line.
void debug(const char *format, ...) VELKOR_PRINTF(1, 2);
// One error line, tagged "ERROR:  ".
void debugError(const char *format, ...) VELKOR_PRINTF(1, 2);
// The worker behind both (isError 0 or 1).
void writeDebugLine(int isError, const char *format, va_list args);

// The file name of the log, the last component of every log path.
constexpr const char *kLogFileName = "native-windows.out";
// Size in bytes above which the existing file is deleted before the next line.
constexpr DWORD kMaxLogSize = 500000;
// How a line waits for the lock that other processes' writers hold: this many
// tries, this far apart (about a second), then the line is written without it.
// Under contention the byte is free only in the short gaps between the other
// writers' lines, so the tries are many and close together: a writer that
// looked only every 50 ms could miss every gap for the whole second.
constexpr int kLogLockTries = 100;
constexpr DWORD kLogLockPauseMs = 10;

// Test hook: the path the log settled on, or null before the first line.
const char *debugLogPath();
// Test hook: forget the per-process state so a test can play a new process.
void resetDebugLogForTest();
