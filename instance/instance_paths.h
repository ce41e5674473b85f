// The installation directory and the instance root, the two directories every
// file name of the program is built from.
#pragma once

#include "../diag/ansi_text.h"
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
// Every spelling of one directory gives one string: a root ends in its
// separator ("D:\", "\\server\share\"), any other directory in its name.
char *resolveDirectory(const char *path);
// How many characters of a full path its root takes, closing separator
// included, whether or not that separator is there yet: "D:\" 3,
// "\\server\share\" up to the separator after the share. The verbatim and
// device forms ("\\?\", "\\.\") have a volume ("\\?\D:\") or, after
// "UNC\", a server and a share. 0 when the path has no root of these forms.
size_t rootLength(const char *path);
// True when the last character of `path` is a backslash.
bool endsInSeparator(const char *path);
// True for "D:" and "D:sub": a drive letter not followed by a separator.
// create refuses such a directory; resolveDirectory refuses only "D:"; a
// first line of instance.loc in this form is taken from the drive's root.
bool isDriveRelative(const char *path);
// Gives a full path the ending resolveDirectory settles on, in place: the
// separators after the last name are removed, and a root missing its closing
// separator gets it. False when that separator does not fit in `size`.
bool settleDirectoryEnd(char *path, size_t size);
// What goes between a resolved directory and a name inside it: "\", or
// nothing when the directory is a root and so ends in its separator.
const char *separatorAfter(const char *dir);
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

// The first line of instance.loc, as getInstanceRoot reads it (exposed for
// tests and fuzzing):
// Strips trailing line feeds, carriage returns, spaces and tabs in place;
// returns the length left.
size_t trimRootLine(char *line);
// True for the drive form ("D:...") and the network form ("\\server...");
// every other line, "\x" and "/x" included, is relative to instanceDir.
bool isAbsoluteRootLine(const char *line);
// The candidate root for a trimmed line: the line itself when absolute,
// else "<dir>\<line>"; cut to size - 1 characters when it does not fit.
void buildCandidateRoot(const char *dir, const char *line, char *candidate, size_t size);
