// The installation directory and the instance root, the two directories every
// file name of the program is built from.
#pragma once

#include "../platform/win32.h"

#include <atomic>

// Canonical absolute path of the installation directory (heap), or null.
// Written only while a single thread runs; read-only afterwards.
extern char *instanceDir;
// The settled instance root: null, the very pointer instanceDir, or a heap
// copy owned here. Read with acquire, published by compare-and-swap.
extern std::atomic<char *> instanceRoot;
// 1 once a thread has claimed the right to report the unresolvable-root warning.
extern std::atomic<int32_t> instanceRootWarned;

// Makes `path` absolute and canonical and checks it names an existing
// directory. A new heap string the caller releases, or null (reason logged).
char *resolveDirectory(const char *path);
// True when path is not null and contains no "..".
bool isSafePath(const char *path);
// Sets instanceDir from `path` and primes the instance root: 1, or 0 after
// printing "The instance dir '%s' is not valid.\n".
int initInstanceDir(const char *path);
// The instance root; never null once instanceDir is set. Valid until
// freeInstancePaths; the caller never releases it.
char *getInstanceRoot();
// Releases both paths (and any root copy ever published) and resets them.
void freeInstancePaths();
