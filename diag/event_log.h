// The Windows Application event log: the event source key of a service and
// the process-wide source that the running service reports to.
#pragma once

#include "../platform/win32.h"
#include "messages.h" // event ids, generated from resources/messages.mc

// The source registered by the `start` subcommand, or null (every report on
// a null source fails and is lost).
extern HANDLE eventSource;

// The category of every report. The catalogue holds no text for it.
constexpr WORD EVENT_CATEGORY = 4000;

// Creates HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\<name>
// with its four values; true when the key existed or was created whole.
bool createEventLogKey(const char *serviceName);
// Deletes that key; true when it was absent or has been deleted.
bool removeEventLogKey(const char *serviceName);
