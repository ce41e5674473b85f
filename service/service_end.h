// The service's end: one small state machine that every thread asks before
// it stops the server or tells the SCM that the service stopped. Requests go
// in (a stop, a shutdown, a preshutdown, the server found gone, a failed
// start, supervision that cannot go on); one function, endService, reports
// SERVICE_STOPPED, once, with the event that says why.
#pragma once

#include "../platform/win32.h"

// The kinds of stop sequence: the SCM's stop request (a sequence that fails
// leaves the service running, unless the system's end was asked for
// meanwhile), a shutdown (run on the handler's thread), a preshutdown (on a
// stop thread), supervision that cannot go on, and a start that failed after
// its script ran. All but the first end the service whatever the outcome.
constexpr int kStopRequested = 0;
constexpr int kStopForShutdown = 1;
constexpr int kStopForPreshutdown = 2;
constexpr int kStopUnsupervised = 3;
constexpr int kStopFailedStart = 4;

// Answers of beginStop and serverGone.
constexpr int kStopBegins = 0;    // the caller owns the stop sequence now
constexpr int kStopRunning = 1;   // another stop sequence runs; it decides the end
constexpr int kServiceEnded = 2;  // the end has been decided already

// How a stop sequence ended.
constexpr int kServerStopped = 0;
constexpr int kServerNotStopped = 1;
constexpr int kServerGoneBefore = 2; // it had stopped on its own before the sequence began

// What the SCM was told.
constexpr int kEndOpen = 0;       // nothing yet
constexpr int kEndReported = 1;   // it took SERVICE_STOPPED
constexpr int kEndUnreported = 2; // it refused it twice, or there was no status handle

// A new run of the service: serviceMain's first step.
void resetServiceEnd();
// Makes the events the service's threads wait on (terminationEvent among
// them) where they are missing; false, with the last error, when one could
// not be made: without them no end could be waited for.
bool createServiceEvents();

// Asks for a stop sequence of `kind`. kStopBegins makes the caller its owner,
// who reports its outcome with finishStop.
int beginStop(int kind);
// The owner's outcome: the end (with its report and event), or, for a failed
// stop request, the service reported running again.
void finishStop(int kind, int outcome);
// Supervision found the server gone: the end, unless a stop sequence owns it.
int serverGone();
// The start failed before anything was started that would need a stop.
void endFailedStart();
// serviceMain's supervision ended while no end was decided (only an outside
// hand on terminationEvent does that): a plain stop, without an event.
void endUndecided();

// True once the end is decided.
bool serviceEnding();
// True while a stop sequence has an owner.
bool stopUnderWay();
int endOutcome();
// Waits until no stop sequence runs (signalled; each sequence is bounded).
void waitForStopToFinish();
// After a failed stop the SCM may have refused the running report: then it
// is owed, and supervision makes it again on its passes. True when one is owed.
bool runningReportOwed();
void runningReportMade();

// serviceMain and each stop sequence count themselves while they may still
// use the event source or the instance paths.
void serviceWorkBegins();
void serviceWorkEnds();
// Called by `start` once the dispatcher has returned: waits (signalled, with
// a bound) until that work is done. False when some still runs.
bool waitForServiceThreads();

// Writes an event of this installation; `text`, when given, replaces the
// instance directory as the insertion string.
void reportServiceEvent(WORD type, DWORD eventId, const char *text = nullptr);
