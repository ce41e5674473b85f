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
//   services/<key>.ack    "<seq> <error>" per control the host answered, in
//                         order: 0 when the handler ran, else why the SCM
//                         did not deliver it
//   services/<key>.late   status reports made after SERVICE_STOPPED, one a line
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
  int processPid = 0;      // the process of its last start, kept until that process ends
  bool connected = false;  // that process has connected to the dispatcher
  // SERVICE_CONFIG_PRESHUTDOWN_INFO; a new service reads back 180000 ms under
  // Wine (measured: QueryServiceConfig2A through tests/wintools/scm_query).
  DWORD preshutdownTimeout = 180000;
  // Test knobs:
  bool configUnreadable = false; // QueryServiceConfigA and OpenServiceA(QUERY_CONFIG) refuse
  DWORD stopAnswer = 0;          // non-zero: the live hostPid runs no dispatcher, and a stop
                                 // request leaves this state (STOPPED ends the host)
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
// A service marked for deletion goes once it is stopped, its process has
// ended and no handle is open on it: until then it is listed, can be opened,
// and its name cannot be reused (DeleteService: "The database entry is not
// removed until all open handles to the service have been closed [...] and
// the service is not running"; under Wine it stays listed until its
// process has exited: `wine sc query <name>` right after a remove of a
// running service still finds it while the process ends).
// True when it was erased. The sweep applies this to every service; the calls
// that list, open or create services run it first.
bool standinScmEraseIfDeleted(const StandinService &service);
void standinScmSweepDeleted();
bool standinScmProcessAlive(int pid);
// Key names of all services in creation order.
std::vector<std::string> standinScmKeys();

// How long the SCM waits for a service process: to connect to the dispatcher
// after its start, or to answer a control. "The main thread of a service
// process should make this call as soon as possible after it starts up
// (within 30 seconds)" (StartServiceCtrlDispatcherA, Remarks); the 30 s go
// by the stand-in's time scale, with a floor of 2 s of real time so that a
// scale of 0 still lets a process answer.
DWORD standinScmReplyBoundMs();

// Controls: the SCM side posts and waits, the hosting process takes and acks.
long standinScmPostControl(const char *name, DWORD control);
bool standinScmTakeControl(const char *name, long afterSeq, long *seq, DWORD *control);
// Records that the host answered control `seq`: error 0 when its handler ran.
void standinScmAckControl(const char *name, long seq, DWORD error = 0);
long standinScmLastAck(const char *name);
// The host's answer to control `seq` (0 delivered), or ERROR_SERVICE_REQUEST_TIMEOUT
// when it has not answered it.
DWORD standinScmControlResult(const char *name, long seq);

// Whether the SCM may hand `control` to a service showing `status`: 0 when
// it may, else the error ControlService fails with. The ControlService
// documentation (Remarks) gives it per state: STOPPED refuses every control
// with ERROR_SERVICE_NOT_ACTIVE; STOP_PENDING refuses every control, and
// START_PENDING every control but a stop, with ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
// otherwise a control the service does not accept fails with
// ERROR_INVALID_SERVICE_CONTROL. Interrogate needs no acceptance ("All
// services accept the SERVICE_CONTROL_INTERROGATE control value", Service
// Control Requests), nor does a user-defined code (128 to 255). The system's
// shutdown and preshutdown notifications go by the same acceptance bits
// (SERVICE_STATUS, dwControlsAccepted).
DWORD standinScmControlRefusal(const SERVICE_STATUS &status, DWORD control);

// A status reported after the service had reported SERVICE_STOPPED: the
// SCM may end the process at any moment after that report (SetServiceStatus,
// Remarks), so such a report is a fault; the stand-in records it here.
void standinScmNoteLateStatus(const char *name, const SERVICE_STATUS &status);
std::vector<SERVICE_STATUS> standinScmLateStatuses(const char *name);

// Status history of a service, oldest first (tests read it).
std::vector<SERVICE_STATUS> standinScmStatusHistory(const char *name);
void standinScmAppendStatus(const char *name, const SERVICE_STATUS &status);
