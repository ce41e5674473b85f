// Placeholder until the event-log source key is built: every call fails.
#include "event_log.h"

#include "debug_log.h"

HANDLE eventSource = nullptr;

bool createEventLogKey(const char *serviceName) {
  debugError("createEventLogKey('%s'): not part of this build.", serviceName);
  return false;
}

bool removeEventLogKey(const char *serviceName) {
  debugError("removeEventLogKey('%s'): not part of this build.", serviceName);
  return false;
}
