// Helpers of the instance-directory and lock-probe tests.
#pragma once

#include "platform/posix/standin.h"
#include "support.h"

#include <stdexcept>

// Makes nested directories below <scratch>/<top> so that the Windows form of
// the deepest one has exactly `length` characters; returns its sub path
// ("top/aaa/bbb") for ScratchDir::path and ScratchDir::win.
inline std::string makeDirOfWindowsLength(const ScratchDir &scratch, size_t length,
                                          const std::string &top = "deep") {
  std::string sub = top;
  size_t used = scratch.win(sub).size();
  if (length < used || length - used == 1)
    throw std::runtime_error("length out of reach");
  char letter = 'a';
  while (used < length) {
    size_t step = std::min<size_t>(length - used, 120);
    if (length - used - step == 1)
      step -= 1;
    sub += "/" + std::string(step - 1, letter++);
    used += step;
  }
  scratch.makeDir(sub);
  return sub;
}

inline size_t countErrorLines(const std::vector<std::string> &messages) {
  size_t count = 0;
  for (const std::string &m : messages)
    count += m.rfind("ERROR:  ", 0) == 0;
  return count;
}

// Makes the next call of `call` in this process fail with `error`.
inline void failNextCall(const char *call, DWORD error) {
  standinFailCall(call, error, standinCallCount(call) + 1);
}
