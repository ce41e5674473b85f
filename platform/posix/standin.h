// Internals of the native stand-in, shared by its own files and by the tests.
//
// One simulated machine lives under a root directory (VELKOR_STANDIN_ROOT, by
// default <temp>/velkor-standin), so a test and the program it runs as a child
// process see the same registry, event log and service database.
//
// Faults: any stand-in call can be made to fail with a chosen Windows error.
// Rules come from two places, consulted on every call:
//   - in process: standinFailCall() (unit tests);
//   - across processes: the file <root>/faults, one rule per line,
//       <CallName> <error> [<first occurrence> [<count> [<program>]]]
//     e.g. "OpenSCManagerA 5" fails the first call with ERROR_ACCESS_DENIED,
//     "CreateFileA 2 3 0" fails the third call and every later one, and
//     "Sleep 0 1 0 velkor_service" would touch only processes of that program,
//     "Sleep 0 1 0 velkor_service:start" only those whose first argument is start
//     ("*" for any program);
//     "CreateFileA 2 3 1 velkor_service velkor_service+0x1a2b" fails the third
//     call made at that site (occurrences then counted at the site only).
// Every file rule that fires is appended to <root>/faults.fired.
// Occurrences are counted per process and per call name, from 1.
// With VELKOR_STANDIN_CALLS naming a file, every call appends
// "<pid> <program>[:<first argument>] <CallName> <occurrence> <module>+<offset>" to it, the last
// field naming the call site (used to enumerate call sites); a sleep or a wait
// adds a sixth field, "ms=<requested length>".
#pragma once

#include "win32_api.h"

#include <functional>
#include <string>
#include <vector>

// ---- The simulated machine ------------------------------------------------
const char *standinRoot();
// Makes <root>/<sub> (and its parents) and writes its POSIX path to out.
void standinRootPath(const char *sub, char *out, size_t size);

// ---- Faults ---------------------------------------------------------------
// Counts one occurrence of `call`; returns true and the error to fail with
// when a rule covers this occurrence.
// `site` defaults to the return address of the stand-in function that asks,
// that is the program's call site; traces record it (as an offset into its
// module), so a fault matrix can fail each call site once.
bool standinFault(const char *call, DWORD *error, const void *site = __builtin_return_address(0));
// Convenience for stand-in functions: on a fault, sets the last error and
// returns true.
bool standinFailNow(const char *call, const void *site = __builtin_return_address(0));
// In-process rule: occurrences first .. first+count-1 fail (count 0: all from first).
void standinFailCall(const char *call, DWORD error, int first = 1, int count = 1);
void standinClearFaults();
// How often `call` has been made in this process.
int standinCallCount(const char *call);
// Fault check for a sleep or a wait: also records the length the caller asked
// for, before any time scaling.
bool standinFailTimed(const char *call, DWORD requestedMs,
                      const void *site = __builtin_return_address(0));

// ---- The call timeline ----------------------------------------------------
// Every call of this process, in the order made, with the length each sleep
// and wait asked for, so tests can check the program's timing through the
// durations it requests and the order of its reports. Calls made by the
// stand-in itself on the program's behalf are not in it. The timeline keeps
// the first kStandinTimelineSize calls; later ones only set the overflow flag.
constexpr DWORD kStandinNoLength = 0xFFFFFFFEu; // a call that asks for no length
constexpr size_t kStandinTimelineSize = 1 << 16;
struct StandinTimedCall {
  std::string call;
  int occurrence;
  DWORD requestedMs; // kStandinNoLength for calls other than sleeps and waits
  int thread;        // 1 for the first thread that made a call, 2 for the next, ...
};
std::vector<StandinTimedCall> standinTimeline();
bool standinTimelineOverflowed();
void standinClearTimeline();

// ---- Paths ----------------------------------------------------------------
// Windows path to POSIX path: drive Z: is the Linux root, a root-relative path
// (\x or /x) is on Z:, a relative path stays relative to the current directory.
// Other drives exist only when mapped; network paths do not exist here.
// Returns 0 or the Windows error for a path that cannot exist
// (ERROR_PATH_NOT_FOUND, ERROR_BAD_NETPATH).
DWORD standinToPosixPath(const char *windowsPath, char *out, size_t size);
// The POSIX directory that drive `letter` maps to (VELKOR_STANDIN_DRIVE_<L>,
// as a symlink in a Wine prefix's dosdevices maps one), or null.
const char *standinMappedDrive(char letter);
// The Windows form of a POSIX path inside a mapped drive's directory
// ("D:\\..."), the drive with the longest directory winning; false when none
// holds it.
bool standinPathOnMappedDrive(const char *posixPath, char *out, size_t size);
// POSIX absolute path to its Windows form: on a mapped drive that holds it,
// else on drive Z:.
void standinToWindowsPath(const char *posixPath, char *out, size_t size);
// The ANSI code page GetACP answers from now on in this process (0: the one
// VELKOR_STANDIN_ACP names, 1252 by default); 932 and 1252 are modelled.
void standinSetAnsiCodePage(UINT codePage);
// Bytes of the character that starts at `text` in the ANSI code page: 2 for
// a lead byte followed by a trail byte, else 1.
size_t standinCharacterLength(const char *text);
// errno to the Windows error a failing file call would give.
DWORD standinErrorFromErrno(int err);

// ---- Handles --------------------------------------------------------------
enum StandinHandleKind {
  kStandinAnyKind = 0,
  kStandinFile,
  kStandinProcess,
  kStandinThread,
  kStandinEvent,
  kStandinScManager,
  kStandinService,
  kStandinRegKey,
  kStandinEventSource,
  kStandinStatus,
  kStandinKindCount
};

struct StandinHandle {
  int kind;
  void *object;
  void (*destroy)(void *object);
};

// Hands out a new handle that owns `object`; `destroy` releases it on close.
HANDLE standinNewHandle(int kind, void *object, void (*destroy)(void *object));
// The object of a live handle of that kind, or null (sets ERROR_INVALID_HANDLE).
void *standinHandleObject(const void *handle, int kind);
// Closes a live handle of that kind; false (ERROR_INVALID_HANDLE) otherwise.
bool standinCloseHandle(const void *handle, int kind);
// Live handles of one kind (kStandinAnyKind: all kinds).
int standinOpenHandleCount(int kind);
const char *standinKindName(int kind);
// The descriptor behind a live file handle, or -1 (ERROR_INVALID_HANDLE).
int standinFileDescriptor(HANDLE file);
// Calls `spawn` with the descriptors behind every handle that is inheritable
// now (files and their share records); none of them closes until it returns.
bool standinWithInheritableFiles(const std::function<bool(const std::vector<int> &)> &spawn);
// Test hook: runs `hook` with the file at the start of every LockFileEx
// (empty: none), so a test can act while the caller has its file open.
void standinBeforeLockFileEx(const std::function<void(HANDLE file)> &hook);

// ---- Time -----------------------------------------------------------------
// Sleeps and wait timeouts are multiplied by this factor (VELKOR_STANDIN_TIME_SCALE,
// default 1), so tests can run minute-long sequences in moments.
void standinSetTimeScale(double scale);
DWORD standinScaledMs(DWORD ms);
// The clock (standin_clock.cpp): scaled real time, or with
// VELKOR_STANDIN_CLOCK=virtual the machine's virtual time.
bool standinVirtualClock();
// Milliseconds of the machine's time: virtual, else real since the process began.
unsigned long long standinNowMs();
// Every wait of the stand-in: true once ready() holds (asked under the
// clock's lock), false when `ms` program milliseconds pass first (INFINITE:
// never). `token` names what the wait is for.
bool standinClockWait(const void *token, DWORD ms, const std::function<bool()> &ready);
// Runs change() under the clock's lock, then wakes the waits for `token`
// (null: none); whatever a wait's ready() reads changes only in here.
void standinClockChange(const void *token, const std::function<void()> &change);
// A poll of the stand-in or of a fixture, untraced: `ms` of the machine's
// time when virtual, else of real time.
void standinPollSleep(DWORD ms);
// The participants: a thread the stand-in starts for the program, counted
// from before its start to its end (the end's change() wakes its waiters
// with it); a child process, counted from its creation until it is reaped.
void standinClockThreadStarts();
void standinClockThreadEnds(const void *token, const std::function<void()> &change);
void standinClockChildStarts(int pid);
// True when the process has exited, even if it waits to be reaped.
bool standinProcessEnded(int pid);
void standinClockChildEnded(int pid, const void *token, const std::function<void()> &change);

// ---- The running program --------------------------------------------------
// Overrides what GetModuleFileNameA answers (unit tests run inside the test
// binary but need the program to live in <install>\lib\). Null restores.
void standinSetModuleFileName(const char *windowsPath);
// Overrides what GetTempPathA answers (null restores the real one).
void standinSetTempPath(const char *windowsPath);
