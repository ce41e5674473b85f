// GetTickCount on the stand-in's clock.
//
// Sleeps and waits run on a scaled clock (standinScaledMs), so the tick count
// does too: it advances by the program's milliseconds, real time divided by
// the time scale, and a bound measured with it ends after the same program
// time as the sleeps it spans. Like the Windows tick count it is a 32-bit
// millisecond counter that wraps ("The elapsed time is stored as a DWORD
// value. Therefore, the time will wrap around to zero if the system is run
// continuously for 49.7 days", GetTickCount documentation), so callers
// measure with unsigned differences.
#include "standin.h"

#include <chrono>

DWORD GetTickCount(void) {
  standinFailNow("GetTickCount"); // counted and traced; it cannot fail
  static const auto origin = std::chrono::steady_clock::now();
  auto real = std::chrono::duration_cast<std::chrono::microseconds>(
                  std::chrono::steady_clock::now() - origin)
                  .count();
  // Real milliseconds per million program milliseconds; a scale of 0 makes
  // every sleep instant, and the clock then runs a thousand times fast.
  DWORD perMillion = standinScaledMs(1000000);
  unsigned long long ticks =
      perMillion ? (unsigned long long)real * 1000ull / perMillion : (unsigned long long)real;
  return (DWORD)ticks;
}
