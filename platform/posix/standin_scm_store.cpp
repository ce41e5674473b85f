// The stand-in SCM's database on disk (see standin_scm_store.h).
#include "standin_scm_store.h"

#include "standin.h"

#include <cerrno>
#include <cstring>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {
std::string scmDir() {
  char path[4200];
  standinRootPath("scm/services", path, sizeof path);
  return std::string(standinRoot()) + "/scm";
}

std::string readText(const std::string &path) {
  std::string text;
  FILE *file = fopen(path.c_str(), "rb");
  if (!file)
    return text;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, file)) > 0)
    text.append(buffer, n);
  fclose(file);
  return text;
}

// Writes through a temporary file and a rename, so a reader in another
// process never sees half a record.
void writeText(const std::string &path, const std::string &text) {
  std::string temporary = path + ".tmp." + std::to_string(getpid());
  FILE *file = fopen(temporary.c_str(), "wb");
  if (!file)
    return;
  fwrite(text.data(), 1, text.size(), file);
  fclose(file);
  rename(temporary.c_str(), path.c_str());
}

void appendText(const std::string &path, const std::string &text) {
  FILE *file = fopen(path.c_str(), "ab");
  if (!file)
    return;
  fwrite(text.data(), 1, text.size(), file);
  fclose(file);
}

// Values are kept on one line: backslash, line feed and carriage return escaped.
std::string escape(const std::string &value) {
  std::string out;
  for (char c : value) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '\n')
      out += "\\n";
    else if (c == '\r')
      out += "\\r";
    else
      out += c;
  }
  return out;
}

std::string unescape(const std::string &value) {
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\\' && i + 1 < value.size()) {
      char next = value[++i];
      out += next == 'n' ? '\n' : next == 'r' ? '\r' : next;
    } else {
      out += value[i];
    }
  }
  return out;
}

DWORD number(const std::string &text) { return (DWORD)strtoul(text.c_str(), nullptr, 10); }

// The lower-case form of an upper-case letter of the ANSI code page, 1252
// here (its table: 0xC0-0xDE but 0xD7 pair with 0xE0-0xFE, 0x8A/0x8C/0x8E
// with 0x9A/0x9C/0x9E, 0x9F with 0xFF), so "\xC9" (E acute) matches "\xE9".
unsigned char lowerInAnsiCodePage(unsigned char c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7))
    return (unsigned char)(c + 0x20);
  if (c == 0x8A || c == 0x8C || c == 0x8E)
    return (unsigned char)(c + 0x10);
  return c == 0x9F ? 0xFF : c;
}
} // namespace

StandinScmLock::StandinScmLock() {
  std::string path = scmDir() + "/lock";
  fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd_ >= 0)
    while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
}

StandinScmLock::~StandinScmLock() {
  if (fd_ >= 0) {
    flock(fd_, LOCK_UN);
    close(fd_);
  }
}

// "service name comparisons are always case insensitive" (CreateServiceA,
// lpServiceName), for every letter: the SCM compares the names' Unicode forms.
std::string standinScmKey(const char *name) {
  std::string key = name ? name : "";
  for (char &c : key)
    c = (char)lowerInAnsiCodePage((unsigned char)c);
  // A name may hold any character but the separators; keep file names safe.
  for (char &c : key)
    if (c == '/' || c == '\\')
      c = '_';
  return key;
}

std::string standinScmFile(const char *name, const char *suffix) {
  // A service name may have 256 characters, more than a Linux file name
  // holds with its suffix: a long key is cut and completed by its hash.
  std::string key = standinScmKey(name);
  if (key.size() > 200) {
    uint64_t hash = 14695981039346656037ull; // FNV-1a, the same in every process
    for (char c : key)
      hash = (hash ^ (unsigned char)c) * 1099511628211ull;
    char tail[24];
    snprintf(tail, sizeof tail, "~%016llx", (unsigned long long)hash);
    key = key.substr(0, 180) + tail;
  }
  return scmDir() + "/services/" + key + "." + suffix;
}

bool standinScmLoad(const char *name, StandinService *service) {
  if (!name || !*name)
    return false;
  std::string text = readText(standinScmFile(name, "svc"));
  if (text.empty())
    return false;
  StandinService loaded;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos)
      end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    size_t equals = line.find('=');
    if (equals == std::string::npos)
      continue;
    std::string key = line.substr(0, equals);
    std::string value = unescape(line.substr(equals + 1));
    if (key == "name")
      loaded.name = value;
    else if (key == "displayName")
      loaded.displayName = value;
    else if (key == "binaryPath")
      loaded.binaryPath = value;
    else if (key == "description")
      loaded.description = value;
    else if (key == "type")
      loaded.type = number(value);
    else if (key == "startType")
      loaded.startType = number(value);
    else if (key == "errorControl")
      loaded.errorControl = number(value);
    else if (key == "status") {
      SERVICE_STATUS &s = loaded.status;
      unsigned long f[7] = {};
      if (sscanf(value.c_str(), "%lu %lu %lu %lu %lu %lu %lu", &f[0], &f[1], &f[2], &f[3], &f[4],
                 &f[5], &f[6]) == 7)
        s = {(DWORD)f[0], (DWORD)f[1], (DWORD)f[2], (DWORD)f[3], (DWORD)f[4], (DWORD)f[5],
             (DWORD)f[6]};
    } else if (key == "markedForDelete")
      loaded.markedForDelete = value == "1";
    else if (key == "openHandles")
      loaded.openHandles = (int)strtol(value.c_str(), nullptr, 10);
    else if (key == "hostPid")
      loaded.hostPid = (int)strtol(value.c_str(), nullptr, 10);
    else if (key == "processPid")
      loaded.processPid = (int)strtol(value.c_str(), nullptr, 10);
    else if (key == "connected")
      loaded.connected = value == "1";
    else if (key == "configUnreadable")
      loaded.configUnreadable = value == "1";
    else if (key == "stopAnswer")
      loaded.stopAnswer = number(value);
    else if (key == "preshutdownTimeout")
      loaded.preshutdownTimeout = number(value);
  }
  *service = loaded;
  return true;
}

void standinScmSave(const StandinService &service) {
  const SERVICE_STATUS &s = service.status;
  char status[160];
  snprintf(status, sizeof status, "%lu %lu %lu %lu %lu %lu %lu", (unsigned long)s.dwServiceType,
           (unsigned long)s.dwCurrentState, (unsigned long)s.dwControlsAccepted,
           (unsigned long)s.dwWin32ExitCode, (unsigned long)s.dwServiceSpecificExitCode,
           (unsigned long)s.dwCheckPoint, (unsigned long)s.dwWaitHint);
  std::string text;
  text += "name=" + escape(service.name) + "\n";
  text += "displayName=" + escape(service.displayName) + "\n";
  text += "binaryPath=" + escape(service.binaryPath) + "\n";
  text += "description=" + escape(service.description) + "\n";
  text += "type=" + std::to_string(service.type) + "\n";
  text += "startType=" + std::to_string(service.startType) + "\n";
  text += "errorControl=" + std::to_string(service.errorControl) + "\n";
  text += std::string("status=") + status + "\n";
  text += std::string("markedForDelete=") + (service.markedForDelete ? "1" : "0") + "\n";
  text += "openHandles=" + std::to_string(service.openHandles) + "\n";
  text += "hostPid=" + std::to_string(service.hostPid) + "\n";
  text += "processPid=" + std::to_string(service.processPid) + "\n";
  text += std::string("connected=") + (service.connected ? "1" : "0") + "\n";
  text += std::string("configUnreadable=") + (service.configUnreadable ? "1" : "0") + "\n";
  text += "stopAnswer=" + std::to_string(service.stopAnswer) + "\n";
  text += "preshutdownTimeout=" + std::to_string(service.preshutdownTimeout) + "\n";

  std::string path = standinScmFile(service.name.c_str(), "svc");
  bool isNew = access(path.c_str(), F_OK) != 0;
  writeText(path, text);
  if (isNew)
    appendText(scmDir() + "/order", standinScmKey(service.name.c_str()) + "\n");
}

void standinScmErase(const char *name) {
  std::string key = standinScmKey(name);
  for (const char *suffix : {"svc", "ctl", "ack", "status", "late"})
    unlink(standinScmFile(name, suffix).c_str());
  std::string order;
  for (const std::string &other : standinScmKeys())
    if (other != key)
      order += other + "\n";
  writeText(scmDir() + "/order", order);
}

// A process that has exited has ended, even while nobody has reaped it yet
// (a zombie, state Z in /proc/<pid>/stat).
// A zombie, exited but not reaped, has ended: nothing here reaps orphans.
bool standinScmProcessAlive(int pid) { return pid > 0 && !standinProcessEnded(pid); }

bool standinScmEraseIfDeleted(const StandinService &service) {
  if (!service.markedForDelete || service.openHandles > 0 ||
      service.status.dwCurrentState != SERVICE_STOPPED || standinScmProcessAlive(service.processPid))
    return false;
  standinScmErase(service.name.c_str());
  return true;
}

// On the virtual clock the bound is the SCM's own 30 s; on scaled real time
// it keeps a floor so that a time scale of 0 still lets the process answer.
DWORD standinScmReplyBoundMs() {
  if (standinVirtualClock())
    return 30000;
  DWORD limit = standinScaledMs(30000);
  return limit < 2000 ? 2000 : limit;
}

void standinScmSweepDeleted() {
  for (const std::string &key : standinScmKeys()) {
    StandinService service;
    if (standinScmLoad(key.c_str(), &service))
      standinScmEraseIfDeleted(service);
  }
}

std::vector<std::string> standinScmKeys() {
  std::vector<std::string> keys;
  std::string text = readText(scmDir() + "/order");
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos)
      end = text.size();
    if (end > start)
      keys.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return keys;
}

long standinScmPostControl(const char *name, DWORD control) {
  StandinScmLock lock;
  std::string path = standinScmFile(name, "ctl");
  std::string text = readText(path);
  long seq = 1;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos)
      break;
    seq = strtol(text.c_str() + start, nullptr, 10) + 1;
    start = end + 1;
  }
  appendText(path, std::to_string(seq) + " " + std::to_string(control) + "\n");
  return seq;
}

bool standinScmTakeControl(const char *name, long afterSeq, long *seq, DWORD *control) {
  std::string text = readText(standinScmFile(name, "ctl"));
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos)
      break;
    long lineSeq = 0;
    unsigned long code = 0;
    if (sscanf(text.c_str() + start, "%ld %lu", &lineSeq, &code) == 2 && lineSeq > afterSeq) {
      *seq = lineSeq;
      *control = (DWORD)code;
      return true;
    }
    start = end + 1;
  }
  return false;
}

void standinScmAckControl(const char *name, long seq, DWORD error) {
  appendText(standinScmFile(name, "ack"),
             std::to_string(seq) + " " + std::to_string((unsigned long)error) + "\n");
}

long standinScmLastAck(const char *name) {
  std::string text = readText(standinScmFile(name, "ack"));
  size_t last = text.empty() ? std::string::npos : text.rfind('\n', text.size() - 2);
  size_t start = last == std::string::npos ? 0 : last + 1;
  return text.empty() ? 0 : strtol(text.c_str() + start, nullptr, 10);
}

DWORD standinScmControlResult(const char *name, long seq) {
  std::string text = readText(standinScmFile(name, "ack"));
  for (size_t start = 0; start < text.size();) {
    long lineSeq = 0;
    unsigned long error = 0;
    if (sscanf(text.c_str() + start, "%ld %lu", &lineSeq, &error) == 2 && lineSeq == seq)
      return (DWORD)error;
    size_t end = text.find('\n', start);
    if (end == std::string::npos)
      break;
    start = end + 1;
  }
  return ERROR_SERVICE_REQUEST_TIMEOUT;
}

DWORD standinScmControlRefusal(const SERVICE_STATUS &status, DWORD control) {
  DWORD state = status.dwCurrentState;
  if (state == SERVICE_STOPPED)
    return ERROR_SERVICE_NOT_ACTIVE;
  if (state == SERVICE_STOP_PENDING ||
      (state == SERVICE_START_PENDING && control != SERVICE_CONTROL_STOP))
    return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
  DWORD needed = 0;
  switch (control) {
  case SERVICE_CONTROL_INTERROGATE:
    return 0;
  case SERVICE_CONTROL_STOP:
    needed = SERVICE_ACCEPT_STOP;
    break;
  case SERVICE_CONTROL_PAUSE:
  case SERVICE_CONTROL_CONTINUE:
    needed = SERVICE_ACCEPT_PAUSE_CONTINUE;
    break;
  case SERVICE_CONTROL_SHUTDOWN:
    needed = SERVICE_ACCEPT_SHUTDOWN;
    break;
  case SERVICE_CONTROL_PRESHUTDOWN:
    needed = SERVICE_ACCEPT_PRESHUTDOWN;
    break;
  default:
    // User-defined codes (128 to 255) need no acceptance; the other system
    // codes have acceptance bits the stand-in's services never set.
    return control >= 128 && control <= 255 ? 0 : ERROR_INVALID_SERVICE_CONTROL;
  }
  return (status.dwControlsAccepted & needed) ? 0 : ERROR_INVALID_SERVICE_CONTROL;
}

namespace {
std::string statusLine(const SERVICE_STATUS &status) {
  char line[160];
  snprintf(line, sizeof line, "%lu %lu %lu %lu %lu %lu\n", (unsigned long)status.dwCurrentState,
           (unsigned long)status.dwWin32ExitCode, (unsigned long)status.dwServiceSpecificExitCode,
           (unsigned long)status.dwCheckPoint, (unsigned long)status.dwWaitHint,
           (unsigned long)status.dwControlsAccepted);
  return line;
}

std::vector<SERVICE_STATUS> readStatuses(const std::string &path) {
  std::vector<SERVICE_STATUS> history;
  std::string text = readText(path);
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos)
      break;
    unsigned long f[6] = {};
    if (sscanf(text.c_str() + start, "%lu %lu %lu %lu %lu %lu", &f[0], &f[1], &f[2], &f[3], &f[4],
               &f[5]) == 6)
      history.push_back({SERVICE_WIN32_OWN_PROCESS, (DWORD)f[0], (DWORD)f[5], (DWORD)f[1],
                         (DWORD)f[2], (DWORD)f[3], (DWORD)f[4]});
    start = end + 1;
  }
  return history;
}
} // namespace

void standinScmNoteLateStatus(const char *name, const SERVICE_STATUS &status) {
  appendText(standinScmFile(name, "late"), statusLine(status));
}

std::vector<SERVICE_STATUS> standinScmLateStatuses(const char *name) {
  return readStatuses(standinScmFile(name, "late"));
}

std::vector<SERVICE_STATUS> standinScmStatusHistory(const char *name) {
  return readStatuses(standinScmFile(name, "status"));
}

void standinScmAppendStatus(const char *name, const SERVICE_STATUS &status) {
  appendText(standinScmFile(name, "status"), statusLine(status));
}
