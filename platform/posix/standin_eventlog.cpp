// Stand-in event log: RegisterEventSourceA, ReportEventA, DeregisterEventSource.
//
// Every accepted report is appended to <root>/eventlog/application, so the
// program run as a child and the test read one log. A record is text with
// every variable part length-prefixed, so strings with any bytes (line feeds,
// quotes, CR) come back unchanged:
//   event <pid> <type> <category> <event id> <sid null 0|1> <raw data size> <strings>\n
//   <length>:<source>\n
//   <length>:<string>\n        (once per insertion string)
// A record is written with one append under an exclusive lock, so reports of
// concurrent threads and processes never interleave.
#include "standin_eventlog.h"

#include "standin.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {
constexpr DWORD kRpcServerUnavailable = 1722;

struct EventSource {
  std::string name;
};

void destroySource(void *object) { delete static_cast<EventSource *>(object); }

std::string logPath() {
  char directory[4200];
  standinRootPath("eventlog", directory, sizeof directory);
  return std::string(directory) + "/application";
}

void appendField(std::string &record, const char *text) {
  size_t length = strlen(text);
  record += std::to_string(length) + ":";
  record.append(text, length);
  record += "\n";
}

// Reads "<length>:<bytes>\n" at `at`; false on a malformed field.
bool readField(const std::string &content, size_t &at, std::string &out) {
  size_t colon = content.find(':', at);
  if (colon == std::string::npos || colon == at)
    return false;
  char *end = nullptr;
  unsigned long length = strtoul(content.c_str() + at, &end, 10);
  if (end != content.c_str() + colon || length >= content.size() - colon - 1 ||
      content[colon + 1 + length] != '\n')
    return false;
  out.assign(content, colon + 1, length);
  at = colon + 1 + length + 1;
  return true;
}
} // namespace

HANDLE RegisterEventSourceA(LPCSTR serverName, LPCSTR sourceName) {
  if (standinFailNow("RegisterEventSourceA"))
    return nullptr;
  if (serverName && *serverName) {
    SetLastError(kRpcServerUnavailable); // there is no other machine here
    return nullptr;
  }
  if (!sourceName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return standinNewHandle(kStandinEventSource, new EventSource{sourceName}, destroySource);
}

BOOL ReportEventA(HANDLE eventLog, WORD type, WORD category, DWORD eventId, PSID userSid,
                  WORD numStrings, DWORD dataSize, LPCSTR *strings, LPVOID rawData) {
  if (standinFailNow("ReportEventA"))
    return FALSE;
  const EventSource *source =
      static_cast<const EventSource *>(standinHandleObject(eventLog, kStandinEventSource));
  if (!source)
    return FALSE; // null or deregistered: ERROR_INVALID_HANDLE
  if ((numStrings > 0 && !strings) || (dataSize > 0 && !rawData)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  for (WORD i = 0; i < numStrings; ++i) {
    if (!strings[i]) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
  }

  char header[160];
  snprintf(header, sizeof header, "event %d %u %u %lu %d %lu %u\n", (int)getpid(), (unsigned)type,
           (unsigned)category, (unsigned long)eventId, userSid ? 0 : 1, (unsigned long)dataSize,
           (unsigned)numStrings);
  std::string record = header;
  appendField(record, source->name.c_str());
  for (WORD i = 0; i < numStrings; ++i)
    appendField(record, strings[i]);

  std::string path = logPath();
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
  if (fd < 0) {
    SetLastError(standinErrorFromErrno(errno));
    return FALSE;
  }
  flock(fd, LOCK_EX);
  bool written = write(fd, record.data(), record.size()) == (ssize_t)record.size();
  int writeErrno = errno;
  flock(fd, LOCK_UN);
  close(fd);
  if (!written) {
    SetLastError(standinErrorFromErrno(writeErrno));
    return FALSE;
  }
  return TRUE;
}

BOOL DeregisterEventSource(HANDLE eventLog) {
  if (standinFailNow("DeregisterEventSource"))
    return FALSE;
  return standinCloseHandle(eventLog, kStandinEventSource) ? TRUE : FALSE;
}

std::vector<StandinEvent> standinReadEvents() {
  std::vector<StandinEvent> events;
  int fd = open(logPath().c_str(), O_RDONLY);
  if (fd < 0)
    return events;
  flock(fd, LOCK_SH);
  std::string content;
  char chunk[4096];
  ssize_t got;
  while ((got = read(fd, chunk, sizeof chunk)) > 0)
    content.append(chunk, (size_t)got);
  flock(fd, LOCK_UN);
  close(fd);

  size_t at = 0;
  while (at < content.size()) {
    size_t lineEnd = content.find('\n', at);
    if (lineEnd == std::string::npos)
      break;
    StandinEvent event;
    unsigned type = 0, category = 0, count = 0;
    unsigned long id = 0, size = 0;
    int sidNull = 0;
    std::string line = content.substr(at, lineEnd - at);
    if (sscanf(line.c_str(), "event %d %u %u %lu %d %lu %u", &event.pid, &type, &category, &id,
               &sidNull, &size, &count) != 7)
      break;
    at = lineEnd + 1;
    event.type = (WORD)type;
    event.category = (WORD)category;
    event.eventId = (DWORD)id;
    event.userSidNull = sidNull != 0;
    event.rawDataSize = (DWORD)size;
    bool whole = readField(content, at, event.source);
    for (unsigned i = 0; whole && i < count; ++i) {
      std::string text;
      whole = readField(content, at, text);
      event.strings.push_back(text);
    }
    if (!whole)
      break;
    events.push_back(event);
  }
  return events;
}

void standinClearEvents() { unlink(logPath().c_str()); }
