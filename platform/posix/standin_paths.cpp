// Stand-in paths: the Windows and POSIX forms of a path, the program's own
// paths (GetModuleFileNameA, GetTempPathA), GetFileAttributesA, and
// canonicalisation: GetFullPathNameA the Windows way
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
#include <mutex>
#include <string>
#include <sys/stat.h>
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

// Only a hidden byte that follows a lead byte is restored: a 0x01 of the
// caller's own stays as it was given.
void restoreTrailSeparators(std::string *text) {
  for (size_t i = 0; i < text->size();) {
    size_t length = standinCharacterLength(text->c_str() + i);
    if (length == 2 && (*text)[i + 1] == kHiddenTrailSeparator)
      (*text)[i + 1] = '\\';
    i += length;
  }
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

// ---- Windows and POSIX forms ---------------------------------------------

DWORD standinToPosixPath(const char *windowsPath, char *out, size_t size) {
  if (!windowsPath || !*windowsPath)
    return ERROR_PATH_NOT_FOUND;
  const char *rest = windowsPath;
  bool isSlash0 = rest[0] == '\\' || rest[0] == '/';
  bool isSlash1 = rest[1] == '\\' || rest[1] == '/';
  if (isSlash0 && isSlash1)
    return ERROR_BAD_NETPATH; // \\server\share: no network here
  const char *drive = ""; // the POSIX directory of a mapped drive's root
  if (rest[0] && rest[1] == ':') {
    if (rest[0] != 'Z' && rest[0] != 'z' && !(drive = standinMappedDrive(rest[0])))
      return ERROR_PATH_NOT_FOUND; // only drive Z: and mapped drives exist
    rest += 2;
    if (*rest != '\\' && *rest != '/')
      return ERROR_PATH_NOT_FOUND; // Z:x would need a per-drive current directory
  }
  size_t driveLength = strlen(drive);
  size_t length = strlen(rest);
  if (driveLength + length + 1 > size)
    return ERROR_FILENAME_EXCED_RANGE;
  memcpy(out, drive, driveLength);
  // By character: a double-byte character's trail byte 0x5C stays itself.
  for (size_t i = 0; i <= length;) {
    size_t character = rest[i] ? standinCharacterLength(rest + i) : 1;
    out[driveLength + i] = character == 1 && rest[i] == '\\' ? '/' : rest[i];
    if (character == 2)
      out[driveLength + i + 1] = rest[i + 1];
    i += character;
  }
  return 0;
}

void standinToWindowsPath(const char *posixPath, char *out, size_t size) {
  if (standinPathOnMappedDrive(posixPath, out, size))
    return;
  snprintf(out, size, "Z:%s", posixPath);
  for (char *p = out; *p; ++p)
    if (*p == '/')
      *p = '\\';
}

// ---- The running program's paths ------------------------------------------

namespace {
std::mutex identityMutex;
std::string moduleOverride;
std::string tempOverride;
} // namespace

void standinSetModuleFileName(const char *windowsPath) {
  std::lock_guard<std::mutex> guard(identityMutex);
  moduleOverride = windowsPath ? windowsPath : "";
}

void standinSetTempPath(const char *windowsPath) {
  std::lock_guard<std::mutex> guard(identityMutex);
  tempOverride = windowsPath ? windowsPath : "";
}

namespace {
// Copies `text` the way GetModuleFileNameA does: a text that does not fit is
// cut to size - 1 characters and terminated, and the result is then `size`
// with ERROR_INSUFFICIENT_BUFFER.
DWORD copyPathResult(const std::string &text, LPSTR out, DWORD size) {
  if (size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (text.size() >= size) {
    memcpy(out, text.data(), size - 1);
    out[size - 1] = 0;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  memcpy(out, text.c_str(), text.size() + 1);
  SetLastError(0);
  return (DWORD)text.size();
}
} // namespace

DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) {
  if (standinFailNow("GetModuleFileNameA"))
    return 0;
  if (module) {
    SetLastError(ERROR_INVALID_HANDLE); // only the running program is known here
    return 0;
  }
  std::string path;
  {
    std::lock_guard<std::mutex> guard(identityMutex);
    path = moduleOverride;
  }
  if (path.empty()) {
    char posix[4096];
    ssize_t length = readlink("/proc/self/exe", posix, sizeof posix - 1);
    if (length <= 0) {
      SetLastError(standinErrorFromErrno(errno));
      return 0;
    }
    posix[length] = 0;
    char windows[4200];
    standinToWindowsPath(posix, windows, sizeof windows);
    path = windows;
  }
  return copyPathResult(path, fileName, size);
}

// Answers the length written, or the size needed (terminator included) when
// the buffer is too small, as GetTempPathA does.
DWORD GetTempPathA(DWORD bufferLength, LPSTR buffer) {
  if (standinFailNow("GetTempPathA"))
    return 0;
  std::string path;
  {
    std::lock_guard<std::mutex> guard(identityMutex);
    path = tempOverride;
  }
  if (path.empty()) {
    const char *tmp = getenv("TMPDIR");
    char windows[4200];
    standinToWindowsPath(tmp && *tmp ? tmp : "/tmp", windows, sizeof windows);
    path = windows;
    if (path.back() != '\\')
      path += '\\';
  }
  if (path.size() + 1 > bufferLength)
    return (DWORD)path.size() + 1;
  memcpy(buffer, path.c_str(), path.size() + 1);
  return (DWORD)path.size();
}

DWORD GetFileAttributesA(LPCSTR fileName) {
  if (standinFailNow("GetFileAttributesA"))
    return INVALID_FILE_ATTRIBUTES;
  char posix[4096];
  DWORD error = standinToPosixPath(fileName, posix, sizeof posix);
  if (error) {
    SetLastError(error);
    return INVALID_FILE_ATTRIBUTES;
  }
  struct stat info;
  if (stat(posix, &info) != 0) {
    SetLastError(errno == ENOENT && strchr(fileName, '\\') ? ERROR_PATH_NOT_FOUND
                                                          : standinErrorFromErrno(errno));
    if (errno == ENOENT) {
      // Windows says "file not found" when only the last component is missing.
      char parent[4096];
      snprintf(parent, sizeof parent, "%s", posix);
      char *slash = strrchr(parent, '/');
      if (slash && slash != parent)
        *slash = 0;
      struct stat parentInfo;
      if (!slash || stat(parent, &parentInfo) == 0)
        SetLastError(ERROR_FILE_NOT_FOUND);
    }
    return INVALID_FILE_ATTRIBUTES;
  }
  // A path with a trailing separator names a directory only.
  size_t length = strlen(posix);
  if (length > 1 && posix[length - 1] == '/' && !S_ISDIR(info.st_mode)) {
    SetLastError(ERROR_INVALID_NAME);
    return INVALID_FILE_ATTRIBUTES;
  }
  DWORD attributes = S_ISDIR(info.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
  if (!(info.st_mode & S_IWUSR))
    attributes |= FILE_ATTRIBUTE_READONLY;
  return attributes;
}
