// The program's one window onto the platform.
//
// Every file of the program includes this header and nothing else to reach the
// operating system. On Windows it is the real Win32 API and C runtime; on the
// native test bed it declares the same subset, implemented by the stand-in in
// platform/posix/. No other file of the program tests _WIN32.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <winsvc.h>
#include <io.h>
#include <share.h>
#include <direct.h>
#include <fcntl.h>
#include <sys/stat.h>
#else
#include "posix/win32_api.h"
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cstdarg>
#include <cstdint>

#ifndef _WIN32
// Natively the program's allocations and stream writes go through the
// stand-in, which can fail them on request; on Windows they are the runtime's.
#include "posix/runtime_calls.h"
#endif
