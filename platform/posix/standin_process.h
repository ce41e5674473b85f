// Stand-in processes, threads and events, as the stand-in's own files and the
// tests see them (the program uses only the Win32 calls in win32_api.h).
#pragma once

#include "win32_api.h"

#include <string>
#include <vector>

// Starts a child the way CreateProcessA does (application name or first token
// of the command line, the stand-in's cmd.exe recognised by path), with the
// parent's environment plus `extraEnvironment` ("NAME=value" entries) and its
// standard handles on /dev/null. On success fills the record (handles owned
// by the caller) and returns true; otherwise sets the last error.
bool standinSpawn(const char *applicationName, const char *commandLine,
                  const std::vector<std::string> &extraEnvironment, bool detached,
                  PROCESS_INFORMATION *processInformation);

// Whether the process behind a handle standinSpawn gave has ended, after
// waiting for its end when `wait`; no fault rule or timeline sees it.
bool standinProcessEnded(HANDLE process, bool wait);

// Splits a command line by the Windows rules: the first token (the program)
// runs to the next blank or, when quoted, to the next quote; later arguments
// follow the C runtime's rules for quotes and backslashes.
std::vector<std::string> standinSplitCommandLine(const char *commandLine);

// The stand-in's system directory in Windows form (<root>\system32).
std::string standinSystemDirectory();

// Whether SetHandleInformation left standard handle `fd` (0, 1, 2) inheritable.
bool standinStdHandleInheritable(int fd);
