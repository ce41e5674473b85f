// The stand-in Service Control Manager calls: listing, opening, querying,
// creating, describing, stopping and deleting services, on the database of
// standin_scm_store.h that every process of the simulated machine shares.
//
// What is honoured, as on Windows:
//   - names are compared without case; a service is opened by its key name;
//   - handles carry the access they were opened with, and each call checks
//     the right it needs (ERROR_ACCESS_DENIED otherwise);
//   - EnumServicesStatusA packs records at the front of the caller's buffer
//     and their strings at its back, returns what fits, and answers
//     ERROR_MORE_DATA with the bytes the rest needs and a resume index;
//   - QueryServiceConfigA packs its strings after the record and answers
//     ERROR_INSUFFICIENT_BUFFER with the whole size needed;
//   - DeleteService only marks; the record goes once the service is stopped,
//     its process has ended and the last handle on it is closed
//     (standinScmEraseIfDeleted);
//   - a control for a service without a live process fails with
//     ERROR_SERVICE_NOT_ACTIVE.
//
// Concurrency: every read-modify-write of a record runs under StandinScmLock
// (a flock, so it holds across processes and across threads of one process,
// each lock being its own open file). The lock is never held while waiting
// for a hosting process to answer a control.
#include "standin_scm.h"

#include "standin.h"
#include "standin_scm_store.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

namespace {
struct ManagerObject {
  DWORD access;
};

struct ServiceObject {
  std::string name; // the service's name as created
  DWORD access;
};

void destroyManager(void *object) { delete static_cast<ManagerObject *>(object); }
void destroyService(void *object) { delete static_cast<ServiceObject *>(object); }

constexpr size_t kMaxNameLength = 256;

// Generic rights to the specific rights of the SCM and of a service.
DWORD managerAccess(DWORD access) {
  if (access & GENERIC_READ)
    access |= SC_MANAGER_ENUMERATE_SERVICE;
  if (access & GENERIC_WRITE)
    access |= SC_MANAGER_CREATE_SERVICE;
  if (access & GENERIC_EXECUTE)
    access |= SC_MANAGER_CONNECT;
  if (access & GENERIC_ALL)
    access |= SC_MANAGER_ALL_ACCESS;
  return access | SC_MANAGER_CONNECT;
}

DWORD serviceAccess(DWORD access) {
  if (access & GENERIC_READ)
    access |= SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE;
  if (access & GENERIC_WRITE)
    access |= SERVICE_CHANGE_CONFIG;
  if (access & GENERIC_EXECUTE)
    access |= SERVICE_START | SERVICE_STOP;
  if (access & GENERIC_ALL)
    access |= SERVICE_ALL_ACCESS;
  return access;
}

bool sameNameNoCase(const std::string &a, const std::string &b) {
  return standinScmKey(a.c_str()) == standinScmKey(b.c_str());
}

bool validName(const char *name) {
  if (!name || !*name || strlen(name) > kMaxNameLength)
    return false;
  return !strchr(name, '/') && !strchr(name, '\\');
}

ManagerObject *managerOf(SC_HANDLE handle, DWORD right) {
  ManagerObject *manager = static_cast<ManagerObject *>(standinHandleObject(handle, kStandinScManager));
  if (manager && (manager->access & right) != right) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return manager;
}

// The handle's object, checked for `right`, and a fresh copy of its record.
ServiceObject *serviceOf(SC_HANDLE handle, DWORD right, StandinService *record) {
  ServiceObject *service = static_cast<ServiceObject *>(standinHandleObject(handle, kStandinService));
  if (!service)
    return nullptr;
  if ((service->access & right) != right) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  if (!standinScmLoad(service->name.c_str(), record)) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return nullptr;
  }
  return service;
}

// The service handles this process holds, counted by service name. The
// handles of a process are closed when it ends ("Any resources allocated by
// the process are freed", TerminateProcess; "all of the object handles
// opened by the process are closed", ExitProcess documentation), so a service
// marked for deletion goes once the last process that held it has ended.
std::mutex &heldMutex = *new std::mutex;
std::map<std::string, int> &held = *new std::map<std::string, int>;

void closeHeldAtExit();

void noteHeld(const std::string &name, int change) {
  // Registered at the first handle, after what the closing uses was made, so
  // that it runs before that is torn down.
  static const int registered = atexit(closeHeldAtExit);
  (void)registered;
  std::lock_guard<std::mutex> guard(heldMutex);
  if ((held[name] += change) <= 0)
    held.erase(name);
}

// At process end: what the process still holds is closed for it. Nothing to
// do, and no lock taken, when it closed all it opened.
void closeHeldAtExit() {
  std::map<std::string, int> left;
  {
    std::lock_guard<std::mutex> guard(heldMutex);
    left.swap(held);
  }
  if (left.empty())
    return;
  StandinScmLock lock;
  for (const auto &entry : left) {
    StandinService record;
    if (!standinScmLoad(entry.first.c_str(), &record))
      continue;
    record.openHandles = record.openHandles > entry.second ? record.openHandles - entry.second : 0;
    if (!standinScmEraseIfDeleted(record))
      standinScmSave(record);
  }
}

HANDLE openServiceHandle(const std::string &name, DWORD access) {
  HANDLE handle =
      standinNewHandle(kStandinService, new ServiceObject{name, access}, destroyService);
  if (handle)
    noteHeld(name, 1);
  return handle;
}

std::string additionsPath() { return std::string(standinRoot()) + "/scm/enum_additions"; }

// Creates the services queued by standinScmAddAfterNextEnum. Caller holds the lock.
void applyEnumAdditions() {
  std::string path = additionsPath();
  FILE *file = fopen(path.c_str(), "rb");
  if (!file)
    return;
  std::vector<std::pair<std::string, std::string>> additions;
  char line[8192];
  while (fgets(line, sizeof line, file)) {
    line[strcspn(line, "\r\n")] = 0;
    char *tab = strchr(line, '\t');
    if (!tab)
      continue;
    *tab = 0;
    additions.emplace_back(line, tab + 1);
  }
  fclose(file);
  unlink(path.c_str());
  for (const auto &addition : additions) {
    StandinService existing;
    if (!validName(addition.first.c_str()) || standinScmLoad(addition.first.c_str(), &existing))
      continue;
    StandinService service;
    service.name = service.displayName = addition.first;
    service.binaryPath = addition.second;
    standinScmSave(service);
  }
}

// Copies `text` to the back of the free space [*low, *high) and returns its
// address there; the strings of a record grow down from the buffer's end.
char *packDown(const std::string &text, char **high) {
  *high -= text.size() + 1;
  memcpy(*high, text.c_str(), text.size() + 1);
  return *high;
}
} // namespace

void standinScmAddAfterNextEnum(const char *name, const char *binaryPath) {
  StandinScmLock lock;
  FILE *file = fopen(additionsPath().c_str(), "ab");
  if (!file)
    return;
  fprintf(file, "%s\t%s\n", name, binaryPath);
  fclose(file);
}

bool standinScmAddService(const char *name, const char *binaryPath, DWORD type) {
  StandinScmLock lock;
  StandinService service;
  if (!validName(name) || standinScmLoad(name, &service))
    return false;
  service = StandinService();
  service.name = service.displayName = name;
  service.binaryPath = binaryPath ? binaryPath : "";
  service.type = type;
  service.status.dwServiceType = type;
  standinScmSave(service);
  return true;
}

SC_HANDLE OpenSCManagerA(LPCSTR machineName, LPCSTR databaseName, DWORD desiredAccess) {
  if (standinFailNow("OpenSCManagerA"))
    return nullptr;
  if (machineName && *machineName) {
    SetLastError(ERROR_BAD_NETPATH); // only the local machine exists here
    return nullptr;
  }
  if (databaseName && strcmp(databaseName, "ServicesActive") != 0) {
    SetLastError(ERROR_INVALID_NAME);
    return nullptr;
  }
  return static_cast<SC_HANDLE>(standinNewHandle(
      kStandinScManager, new ManagerObject{managerAccess(desiredAccess)}, destroyManager));
}

BOOL EnumServicesStatusA(SC_HANDLE manager, DWORD serviceType, DWORD serviceState,
                         LPENUM_SERVICE_STATUSA services, DWORD bufSize, LPDWORD bytesNeeded,
                         LPDWORD servicesReturned, LPDWORD resumeHandle) {
  if (standinFailNow("EnumServicesStatusA"))
    return FALSE;
  if (!managerOf(manager, SC_MANAGER_ENUMERATE_SERVICE))
    return FALSE;
  if (!bytesNeeded || !servicesReturned || (bufSize > 0 && !services) || serviceType == 0 ||
      serviceState == 0 || (serviceState & ~SERVICE_STATE_ALL) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }

  StandinScmLock lock;
  standinScmSweepDeleted();
  std::vector<StandinService> listed;
  for (const std::string &key : standinScmKeys()) {
    StandinService service;
    if (!standinScmLoad(key.c_str(), &service) || !(service.type & serviceType))
      continue;
    bool stopped = service.status.dwCurrentState == SERVICE_STOPPED;
    if ((stopped && (serviceState & SERVICE_INACTIVE)) || (!stopped && (serviceState & SERVICE_ACTIVE)))
      listed.push_back(service);
  }

  DWORD start = resumeHandle ? *resumeHandle : 0;
  char *low = reinterpret_cast<char *>(services);
  char *high = low + bufSize;
  DWORD returned = 0;
  DWORD index = start;
  for (; index < listed.size(); ++index) {
    const StandinService &service = listed[index];
    size_t size = sizeof(ENUM_SERVICE_STATUSA) + service.name.size() + 1 +
                  service.displayName.size() + 1;
    if ((size_t)(high - low) < size)
      break;
    ENUM_SERVICE_STATUSA *record = reinterpret_cast<ENUM_SERVICE_STATUSA *>(low);
    low += sizeof(ENUM_SERVICE_STATUSA);
    record->lpServiceName = packDown(service.name, &high);
    record->lpDisplayName = packDown(service.displayName, &high);
    record->ServiceStatus = service.status;
    ++returned;
  }
  *servicesReturned = returned;
  BOOL result = TRUE;
  if (index < listed.size()) {
    DWORD needed = 0;
    for (DWORD rest = index; rest < listed.size(); ++rest)
      needed += (DWORD)(sizeof(ENUM_SERVICE_STATUSA) + listed[rest].name.size() + 1 +
                        listed[rest].displayName.size() + 1);
    *bytesNeeded = needed;
    if (resumeHandle)
      *resumeHandle = index;
    result = FALSE;
  } else {
    *bytesNeeded = 0;
    if (resumeHandle)
      *resumeHandle = 0;
  }
  applyEnumAdditions();
  SetLastError(result ? 0 : ERROR_MORE_DATA);
  return result;
}

SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR serviceName, DWORD desiredAccess) {
  if (standinFailNow("OpenServiceA"))
    return nullptr;
  if (!managerOf(manager, SC_MANAGER_CONNECT))
    return nullptr;
  if (!validName(serviceName)) {
    SetLastError(ERROR_INVALID_NAME);
    return nullptr;
  }
  DWORD access = serviceAccess(desiredAccess);
  StandinScmLock lock;
  standinScmSweepDeleted();
  StandinService service;
  if (!standinScmLoad(serviceName, &service)) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return nullptr;
  }
  if (service.configUnreadable && (access & SERVICE_QUERY_CONFIG)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  service.openHandles++;
  standinScmSave(service);
  return static_cast<SC_HANDLE>(openServiceHandle(service.name, access));
}

BOOL QueryServiceConfigA(SC_HANDLE service, LPQUERY_SERVICE_CONFIGA config, DWORD bufSize,
                         LPDWORD bytesNeeded) {
  if (standinFailNow("QueryServiceConfigA"))
    return FALSE;
  StandinService record;
  if (!serviceOf(service, SERVICE_QUERY_CONFIG, &record))
    return FALSE;
  if (record.configUnreadable) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (!bytesNeeded) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::string startName = "LocalSystem";
  // An empty dependency list is an empty multi-string: two terminators.
  size_t needed = sizeof(QUERY_SERVICE_CONFIGA) + record.binaryPath.size() + 1 + 1 + 2 +
                  startName.size() + 1 + record.displayName.size() + 1;
  if (!config || bufSize < needed) {
    *bytesNeeded = (DWORD)needed;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  char *next = reinterpret_cast<char *>(config + 1);
  auto pack = [&next](const std::string &text) {
    char *at = next;
    memcpy(at, text.c_str(), text.size() + 1);
    next += text.size() + 1;
    return at;
  };
  config->dwServiceType = record.type;
  config->dwStartType = record.startType;
  config->dwErrorControl = record.errorControl;
  config->dwTagId = 0;
  config->lpBinaryPathName = pack(record.binaryPath);
  config->lpLoadOrderGroup = pack("");
  config->lpDependencies = next;
  next[0] = next[1] = 0;
  next += 2;
  config->lpServiceStartName = pack(startName);
  config->lpDisplayName = pack(record.displayName);
  *bytesNeeded = 0;
  return TRUE;
}

SC_HANDLE CreateServiceA(SC_HANDLE manager, LPCSTR serviceName, LPCSTR displayName,
                         DWORD desiredAccess, DWORD serviceType, DWORD startType,
                         DWORD errorControl, LPCSTR binaryPathName, LPCSTR loadOrderGroup,
                         LPDWORD tagId, LPCSTR dependencies, LPCSTR serviceStartName,
                         LPCSTR password) {
  (void)loadOrderGroup;
  (void)dependencies;
  (void)password;
  if (standinFailNow("CreateServiceA"))
    return nullptr;
  if (!managerOf(manager, SC_MANAGER_CREATE_SERVICE))
    return nullptr;
  if (!displayName || !*displayName)
    displayName = serviceName;
  if (!validName(serviceName) || strlen(displayName) > kMaxNameLength) {
    SetLastError(ERROR_INVALID_NAME);
    return nullptr;
  }
  DWORD baseType = serviceType & ~0x100u; // SERVICE_INTERACTIVE_PROCESS
  bool knownType = baseType == SERVICE_WIN32_OWN_PROCESS || baseType == SERVICE_WIN32_SHARE_PROCESS ||
                   baseType == SERVICE_KERNEL_DRIVER || baseType == SERVICE_FILE_SYSTEM_DRIVER;
  if (!binaryPathName || !*binaryPathName || !knownType || startType > SERVICE_DISABLED ||
      errorControl > 3 || tagId) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  // Only the built-in system account exists here.
  if (serviceStartName && *serviceStartName && strcmp(serviceStartName, "LocalSystem") != 0 &&
      strcmp(serviceStartName, ".\\LocalSystem") != 0) {
    SetLastError(ERROR_INVALID_SERVICE_ACCOUNT);
    return nullptr;
  }

  StandinScmLock lock;
  standinScmSweepDeleted();
  StandinService existing;
  if (standinScmLoad(serviceName, &existing)) {
    SetLastError(existing.markedForDelete ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS);
    return nullptr;
  }
  // Names and display names share one space: neither may repeat another
  // service's name or display name.
  for (const std::string &key : standinScmKeys()) {
    StandinService other;
    if (!standinScmLoad(key.c_str(), &other))
      continue;
    if (sameNameNoCase(serviceName, other.displayName) || sameNameNoCase(displayName, other.name) ||
        sameNameNoCase(displayName, other.displayName)) {
      SetLastError(ERROR_DUPLICATE_SERVICE_NAME);
      return nullptr;
    }
  }
  StandinService service;
  service.name = serviceName;
  service.displayName = displayName;
  service.binaryPath = binaryPathName;
  service.type = serviceType;
  service.startType = startType;
  service.errorControl = errorControl;
  service.status.dwServiceType = serviceType;
  service.openHandles = 1;
  standinScmSave(service);
  return static_cast<SC_HANDLE>(openServiceHandle(service.name, serviceAccess(desiredAccess)));
}

// Only the preshutdown level is modelled (the service reads its own
// timeout); it needs SERVICE_QUERY_CONFIG and a buffer of the record's size,
// else ERROR_INSUFFICIENT_BUFFER with the size needed (QueryServiceConfig2
// documentation). Other levels are not modelled and are refused.
BOOL QueryServiceConfig2A(SC_HANDLE service, DWORD infoLevel, LPBYTE buffer, DWORD bufSize,
                          LPDWORD bytesNeeded) {
  if (standinFailNow("QueryServiceConfig2A"))
    return FALSE;
  StandinScmLock lock;
  StandinService record;
  if (!serviceOf(service, SERVICE_QUERY_CONFIG, &record))
    return FALSE;
  if (infoLevel != SERVICE_CONFIG_PRESHUTDOWN_INFO || !bytesNeeded) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *bytesNeeded = sizeof(SERVICE_PRESHUTDOWN_INFO);
  if (!buffer || bufSize < sizeof(SERVICE_PRESHUTDOWN_INFO)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  SERVICE_PRESHUTDOWN_INFO info = {record.preshutdownTimeout};
  memcpy(buffer, &info, sizeof info);
  return TRUE;
}

// learn.microsoft.com/windows/win32/api/winsvc/nf-winsvc-changeserviceconfiga:
// SERVICE_NO_CHANGE keeps a number, a null pointer keeps a text; the handle
// needs SERVICE_CHANGE_CONFIG; a service marked for deletion refuses with
// ERROR_SERVICE_MARKED_FOR_DELETE. Modelled: the command line and the three
// numbers; a change of group, tag, dependencies, account or display name is
// not, and is refused as ERROR_INVALID_PARAMETER rather than ignored.
BOOL ChangeServiceConfigA(SC_HANDLE service, DWORD serviceType, DWORD startType,
                          DWORD errorControl, LPCSTR binaryPathName, LPCSTR loadOrderGroup,
                          LPDWORD tagId, LPCSTR dependencies, LPCSTR serviceStartName,
                          LPCSTR password, LPCSTR displayName) {
  (void)password;
  if (standinFailNow("ChangeServiceConfigA"))
    return FALSE;
  StandinScmLock lock;
  StandinService record;
  if (!serviceOf(service, SERVICE_CHANGE_CONFIG, &record))
    return FALSE;
  if (loadOrderGroup || tagId || dependencies || serviceStartName || displayName ||
      (binaryPathName && !*binaryPathName) ||
      (startType != SERVICE_NO_CHANGE && startType > SERVICE_DISABLED) ||
      (errorControl != SERVICE_NO_CHANGE && errorControl > 3)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (record.markedForDelete) {
    SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
    return FALSE;
  }
  if (serviceType != SERVICE_NO_CHANGE)
    record.type = serviceType;
  if (startType != SERVICE_NO_CHANGE)
    record.startType = startType;
  if (errorControl != SERVICE_NO_CHANGE)
    record.errorControl = errorControl;
  if (binaryPathName)
    record.binaryPath = binaryPathName;
  standinScmSave(record);
  return TRUE;
}

BOOL ChangeServiceConfig2A(SC_HANDLE service, DWORD infoLevel, LPVOID info) {
  if (standinFailNow("ChangeServiceConfig2A"))
    return FALSE;
  StandinScmLock lock;
  StandinService record;
  if (!serviceOf(service, SERVICE_CHANGE_CONFIG, &record))
    return FALSE;
  if ((infoLevel != SERVICE_CONFIG_DESCRIPTION && infoLevel != SERVICE_CONFIG_PRESHUTDOWN_INFO) ||
      !info) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (record.markedForDelete) {
    SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
    return FALSE;
  }
  if (infoLevel == SERVICE_CONFIG_PRESHUTDOWN_INFO) {
    // ChangeServiceConfig2 documents the level for own-process services; the
    // timeout is kept as given.
    record.preshutdownTimeout = static_cast<SERVICE_PRESHUTDOWN_INFO *>(info)->dwPreshutdownTimeout;
    standinScmSave(record);
    return TRUE;
  }
  const char *text = static_cast<SERVICE_DESCRIPTIONA *>(info)->lpDescription;
  if (text) { // null leaves the description unchanged, "" removes it
    record.description = text;
    standinScmSave(record);
  }
  return TRUE;
}

BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) {
  if (standinFailNow("QueryServiceStatus"))
    return FALSE;
  StandinService record;
  if (!serviceOf(service, SERVICE_QUERY_STATUS, &record))
    return FALSE;
  if (!status) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *status = record.status;
  return TRUE;
}

BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
  if (standinFailNow("ControlService"))
    return FALSE;
  DWORD right = control == SERVICE_CONTROL_INTERROGATE ? SERVICE_INTERROGATE : SERVICE_STOP;
  StandinService record;
  ServiceObject *object = serviceOf(service, right, &record);
  if (!object)
    return FALSE;
  if (!status) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::string name = object->name;
  // Only the system sends these; a program is refused (measured under Wine:
  // tests/wine/test_scenario_shutdown.sh, `velkor_sc control <name> 5|15`).
  if (control == SERVICE_CONTROL_SHUTDOWN || control == SERVICE_CONTROL_PRESHUTDOWN) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // No live process: nothing can take a control ("ERROR_SERVICE_NOT_ACTIVE:
  // The service has not been started", ControlService).
  if (!standinScmProcessAlive(record.hostPid)) {
    *status = record.status;
    SetLastError(ERROR_SERVICE_NOT_ACTIVE);
    return FALSE;
  }
  // What the SCM refuses without asking the service (see standinScmControlRefusal).
  DWORD refusal = standinScmControlRefusal(record.status, control);
  if (refusal) {
    *status = record.status;
    SetLastError(refusal);
    return FALSE;
  }

  if (record.stopAnswer) {
    // A record a test made, hosted by a live process of its choosing: the
    // knob plays the handler. A stop answered with STOPPED ends the process.
    if (control == SERVICE_CONTROL_INTERROGATE) {
      *status = record.status;
      return TRUE;
    }
    if (control != SERVICE_CONTROL_STOP) {
      SetLastError(ERROR_INVALID_SERVICE_CONTROL);
      return FALSE;
    }
    StandinScmLock lock;
    if (!standinScmLoad(name.c_str(), &record)) {
      SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
      return FALSE;
    }
    record.status.dwCurrentState = record.stopAnswer;
    if (record.status.dwCurrentState == SERVICE_STOPPED) {
      record.status.dwControlsAccepted = 0;
      record.hostPid = 0;
    }
    standinScmSave(record);
    *status = record.status;
    return TRUE;
  }

  // A hosted service: the SCM hands the control over and waits for the
  // handler to have run, then answers the status it reported. The host
  // checks the service's state again as it delivers, since another control
  // may have changed it meanwhile.
  long seq = standinScmPostControl(name.c_str(), control);
  // A deadline, not a sleep: the wait ends as soon as the host acknowledges.
  unsigned long long limit = standinScmReplyBoundMs();
  unsigned long long started = standinNowMs();
  while (standinScmLastAck(name.c_str()) < seq) {
    if (standinNowMs() - started >= limit) {
      SetLastError(ERROR_SERVICE_REQUEST_TIMEOUT);
      return FALSE;
    }
    if (!standinScmLoad(name.c_str(), &record) || !standinScmProcessAlive(record.hostPid))
      break; // the host went away: answer what it last reported
    standinPollSleep(10);
  }
  if (!standinScmLoad(name.c_str(), &record)) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return FALSE;
  }
  *status = record.status;
  DWORD answer = standinScmControlResult(name.c_str(), seq);
  if (answer && answer != ERROR_SERVICE_REQUEST_TIMEOUT) {
    SetLastError(answer);
    return FALSE;
  }
  return TRUE;
}

BOOL DeleteService(SC_HANDLE service) {
  if (standinFailNow("DeleteService"))
    return FALSE;
  StandinScmLock lock;
  StandinService record;
  if (!serviceOf(service, DELETE, &record))
    return FALSE;
  if (record.markedForDelete) {
    SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
    return FALSE;
  }
  record.markedForDelete = true;
  standinScmSave(record);
  return TRUE;
}

BOOL CloseServiceHandle(SC_HANDLE object) {
  if (standinFailNow("CloseServiceHandle"))
    return FALSE;
  if (standinHandleObject(object, kStandinScManager))
    return standinCloseHandle(object, kStandinScManager) ? TRUE : FALSE;
  ServiceObject *service = static_cast<ServiceObject *>(standinHandleObject(object, kStandinService));
  if (!service)
    return FALSE; // ERROR_INVALID_HANDLE
  std::string name = service->name;
  if (!standinCloseHandle(object, kStandinService))
    return FALSE;
  noteHeld(name, -1);
  StandinScmLock lock;
  StandinService record;
  if (standinScmLoad(name.c_str(), &record)) {
    if (record.openHandles > 0)
      record.openHandles--;
    if (!standinScmEraseIfDeleted(record))
      standinScmSave(record);
  }
  return TRUE;
}

// The service a handle was opened on, checked for `right`; used by
// StartServiceA, which lives with the service host (standin_dispatcher.cpp).
bool standinScmServiceOfHandle(SC_HANDLE handle, DWORD right, std::string *name) {
  StandinService record;
  if (!serviceOf(handle, right, &record))
    return false;
  *name = record.name;
  return true;
}
