// The stand-in SCM's database, shared by every process of the simulated
// machine: the SCM calls (standin_scm.cpp), the service host that
// StartServiceCtrlDispatcherA runs (standin_dispatcher.cpp) and the tests.
//
// Layout under <root>/scm/:
//   order                 service key names, one a line, in creation order
//                         (the order EnumServicesStatusA lists them in)
//   services/<key>.svc    one service record (key = the name in lower case,
//                         since the SCM compares names without case)
//   services/<key>.ctl    controls posted to the running service, "<seq> <code>"
//   services/<key>.ack    the last control sequence number the service handled
//   services/<key>.status every status the service reported, in order,
//                         "<state> <win32> <specific> <checkpoint> <hint> <accepted>"
//   lock                  taken (flock) around every read-modify-write
#pragma once

#include "win32_api.h"

#include <string>
#include <vector>

struct StandinService {
  std::string name;        // as created (case kept)
  std::string displayName;
  std::string binaryPath;  // the command line the SCM runs
  std::string description;
  DWORD type = SERVICE_WIN32_OWN_PROCESS;
  DWORD startType = SERVICE_DEMAND_START;
  DWORD errorControl = SERVICE_ERROR_NORMAL;
  SERVICE_STATUS status = {SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, 0, 0, 0, 0};
  bool markedForDelete = false;
  int openHandles = 0;     // service handles open on it, in all processes
  int hostPid = 0;         // the process running it, 0 when none
  // Test knobs:
  bool configUnreadable = false; // QueryServiceConfigA and OpenServiceA(QUERY_CONFIG) refuse
  DWORD stopAnswer = 0;          // state a stop request leaves when no process hosts it (0: stopped)
};

// Holds the machine-wide database lock for its lifetime.
class StandinScmLock {
public:
  StandinScmLock();
  ~StandinScmLock();
  StandinScmLock(const StandinScmLock &) = delete;
  StandinScmLock &operator=(const StandinScmLock &) = delete;

private:
  int fd_;
};

// The database key of a service name (lower case).
std::string standinScmKey(const char *name);
// POSIX path of one of a service's files ("svc", "ctl", "ack", "status").
std::string standinScmFile(const char *name, const char *suffix);

// Reads a service by name (any case). False when there is none.
bool standinScmLoad(const char *name, StandinService *service);
// Writes a service record, adding it to the end of the order when new.
void standinScmSave(const StandinService &service);
// Removes a service and all its files.
void standinScmErase(const char *name);
// A service marked for deletion goes once it is stopped and no handle is
// open on it, as on Windows. True when it was erased.
bool standinScmEraseIfDeleted(const StandinService &service);
// Key names of all services in creation order.
std::vector<std::string> standinScmKeys();

// Controls: the SCM side posts and waits, the hosting process takes and acks.
long standinScmPostControl(const char *name, DWORD control);
bool standinScmTakeControl(const char *name, long afterSeq, long *seq, DWORD *control);
void standinScmAckControl(const char *name, long seq);
long standinScmLastAck(const char *name);

// Status history of a service, oldest first (tests read it).
std::vector<SERVICE_STATUS> standinScmStatusHistory(const char *name);
void standinScmAppendStatus(const char *name, const SERVICE_STATUS &status);
