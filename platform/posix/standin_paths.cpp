// Stand-in path canonicalisation: GetFullPathNameA the Windows way
// (learn.microsoft.com/windows/win32/api/fileapi/nf-fileapi-getfullpathnamea:
// a share name and a verbatim \\?\ path come back as given, a drive's
// relative form is against that drive's current directory; a trailing
// separator is kept and runs of separators fold into one). Paths are read
// by character in the ANSI code page: the trail byte 0x5C of a double-byte
// character (表 is 95 5C in code page 932) is no separator.
//
// The machine has one real drive, Z:, which is the Linux root; the current
// directory is the process's working directory in its Z: form. Another drive
// letter is accepted syntactically (its current directory is its root) so
// that paths on it canonicalise as on Windows; it exists only when mapped.
//
// A mapped drive stands for an installation at a drive root: the environment
// variable VELKOR_STANDIN_DRIVE_D=/some/dir makes D:\ that directory, as
// `ln -s /some/dir "$WINEPREFIX/dosdevices/d:"` does under Wine (and a subst
// or network drive letter on Windows).
#include "standin.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {
const char kCurrentDrive = 'Z';

bool isSeparator(char c) { return c == '\\' || c == '/'; }

// Stands in for a trail byte that reads as a separator while a path is
// taken apart; 0x01 cannot occur in a Windows file name.
const char kHiddenTrailSeparator = '\x01';

std::string hideTrailSeparators(const std::string &text) {
  std::string hidden = text;
  for (size_t i = 0; i < hidden.size();) {
    size_t length = standinCharacterLength(hidden.c_str() + i);
    if (length == 2 && isSeparator(hidden[i + 1]))
      hidden[i + 1] = kHiddenTrailSeparator;
    i += length;
  }
  return hidden;
}

void restoreTrailSeparators(std::string *text) {
  for (char &c : *text)
    if (c == kHiddenTrailSeparator)
      c = '\\';
}

// The current directory as "Z:\..." (no trailing separator except at the root).
bool currentDirectory(std::string *out) {
  std::vector<char> buffer(4096);
  while (!getcwd(buffer.data(), buffer.size())) {
    if (errno != ERANGE || buffer.size() > (1u << 20)) {
      SetLastError(standinErrorFromErrno(errno));
      return false;
    }
    buffer.resize(buffer.size() * 2);
  }
  std::string windows = "Z:";
  for (const char *p = buffer.data(); *p; ++p)
    windows += *p == '/' ? '\\' : *p;
  if (windows.size() == 2)
    windows += '\\';
  *out = hideTrailSeparators(windows);
  return true;
}

// Splits `rest` on separators into `parts`, applying "." and ".." (never
// above the root) and the trimming of trailing dots and spaces: a segment in
// the middle loses one trailing dot, the last segment (when the path does
// not end in a separator) loses all its trailing dots and spaces.
// The current directory is canonical already: its names go in untouched.
void appendSegments(const std::string &rest, bool endsInSeparator, bool canonical,
                    std::vector<std::string> *parts) {
  std::vector<std::string> segments;
  size_t start = 0;
  for (size_t i = 0; i <= rest.size(); ++i) {
    if (i == rest.size() || isSeparator(rest[i])) {
      if (i > start)
        segments.push_back(rest.substr(start, i - start));
      start = i + 1;
    }
  }
  for (size_t i = 0; i < segments.size(); ++i) {
    std::string segment = segments[i];
    if (canonical) {
      parts->push_back(segment);
      continue;
    }
    if (segment == ".")
      continue;
    if (segment == "..") {
      if (!parts->empty())
        parts->pop_back();
      continue;
    }
    bool last = i + 1 == segments.size() && !endsInSeparator;
    if (last) {
      while (!segment.empty() && (segment.back() == '.' || segment.back() == ' '))
        segment.pop_back();
      if (segment.empty())
        continue;
    } else if (segment.size() >= 2 && segment.back() == '.' && segment[segment.size() - 2] != '.') {
      segment.pop_back();
    }
    parts->push_back(segment);
  }
}

// Canonical form of `path`, or false with the last error set.
bool canonicalise(const char *path, std::string *out) {
  std::string text = hideTrailSeparators(path);
  for (char &c : text)
    if (c == '/')
      c = '\\';
  bool endsInSeparator = text.back() == '\\';

  if (text.compare(0, 4, "\\\\?\\") == 0) {
    *out = path; // verbatim paths are not touched
    return true;
  }

  std::string prefix;  // "X:" or "\\server\share"
  std::string base;    // segments of the current directory, for relative forms
  std::string rest;    // segments of the path itself
  bool uncRoot = false;
  if (text.size() >= 2 && text[0] == '\\' && text[1] == '\\') {
    // \\server\share\...: the first two names are the root and ".." cannot
    // climb above them.
    size_t serverEnd = text.find('\\', 2);
    std::string server = text.substr(2, serverEnd == std::string::npos ? std::string::npos
                                                                       : serverEnd - 2);
    prefix = "\\\\" + server;
    if (serverEnd != std::string::npos) {
      size_t shareEnd = text.find('\\', serverEnd + 1);
      prefix += "\\" + text.substr(serverEnd + 1, shareEnd == std::string::npos
                                                      ? std::string::npos
                                                      : shareEnd - serverEnd - 1);
      if (shareEnd != std::string::npos)
        rest = text.substr(shareEnd + 1);
    }
    uncRoot = true;
  } else if (text.size() >= 2 && text[1] == ':') {
    prefix = text.substr(0, 2);
    if (text.size() >= 3 && text[2] == '\\') {
      rest = text.substr(3);
    } else {
      // Drive-relative: against that drive's current directory, which for
      // any drive but the current one is its root.
      if ((text[0] & ~0x20) == kCurrentDrive) {
        std::string current;
        if (!currentDirectory(&current))
          return false;
        prefix = current.substr(0, 2);
        base = current.substr(3);
      }
      rest = text.substr(2);
    }
  } else {
    std::string current;
    if (!currentDirectory(&current))
      return false;
    prefix = current.substr(0, 2);
    if (text[0] == '\\')
      rest = text.substr(1); // root-relative: on the current drive
    else {
      base = current.substr(3);
      rest = text;
    }
  }

  std::vector<std::string> parts;
  appendSegments(base, true, true, &parts);
  appendSegments(rest, endsInSeparator, false, &parts);

  std::string result = prefix;
  if (uncRoot) {
    for (const std::string &part : parts)
      result += "\\" + part;
    if (endsInSeparator && (!parts.empty() || result.back() != '\\'))
      result += '\\';
  } else {
    result += '\\';
    for (size_t i = 0; i < parts.size(); ++i)
      result += (i ? "\\" : "") + parts[i];
    if (endsInSeparator && !parts.empty())
      result += '\\';
  }
  restoreTrailSeparators(&result);
  *out = result;
  return true;
}
} // namespace

const char *standinMappedDrive(char letter) {
  if (!((letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z')))
    return nullptr;
  char name[] = "VELKOR_STANDIN_DRIVE_X";
  name[sizeof name - 2] = (char)(letter & ~0x20);
  const char *directory = getenv(name);
  return directory && directory[0] == '/' ? directory : nullptr;
}

bool standinPathOnMappedDrive(const char *posixPath, char *out, size_t size) {
  char best = 0;
  size_t bestLength = 0;
  for (char letter = 'A'; letter < 'Z'; ++letter) {
    const char *directory = standinMappedDrive(letter);
    if (!directory)
      continue;
    size_t length = strlen(directory);
    while (length > 1 && directory[length - 1] == '/')
      --length;
    bool inside = strncmp(posixPath, directory, length) == 0 &&
                  (posixPath[length] == 0 || posixPath[length] == '/');
    if (inside && length > bestLength) {
      best = letter;
      bestLength = length;
    }
  }
  if (!best)
    return false;
  const char *rest = posixPath + bestLength;
  snprintf(out, size, "%c:\\%s", best, rest[0] == '/' ? rest + 1 : rest);
  for (char *p = out; *p; ++p)
    if (*p == '/')
      *p = '\\';
  return true;
}

// Answers the length written (terminator not counted), or, when the buffer
// is too small, the size needed with the terminator; 0 with the last error
// on failure.
DWORD GetFullPathNameA(LPCSTR fileName, DWORD bufferLength, LPSTR buffer, LPSTR *filePart) {
  if (standinFailNow("GetFullPathNameA"))
    return 0;
  if (!fileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (!*fileName) {
    SetLastError(ERROR_INVALID_NAME);
    return 0;
  }
  std::string full;
  if (!canonicalise(fileName, &full))
    return 0;
  if (full.size() + 1 > bufferLength)
    return (DWORD)full.size() + 1;
  memcpy(buffer, full.c_str(), full.size() + 1);
  if (filePart) {
    char *lastSeparator = strrchr(buffer, '\\');
    *filePart = lastSeparator && lastSeparator[1] ? lastSeparator + 1 : nullptr;
  }
  return (DWORD)full.size();
}
