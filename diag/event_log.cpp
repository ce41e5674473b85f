// The event source key of a service: created by `create`, removed with the
// service. The key names this program file as the message file and the
// category file of the source, so the event viewer finds the catalogue that
// is compiled into it.
//
// Both operations run on the main thread of a command-line subcommand only;
// `eventSource` is written by the `start` subcommand before the dispatcher
// runs and read by every reporter afterwards.
#include "event_log.h"

#include "debug_log.h"

HANDLE eventSource = nullptr;

namespace {
constexpr size_t kKeyPathSize = 512;
constexpr DWORD kTypesSupported =
    EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
constexpr DWORD kCategoryCount = 1;

// The key path of the service's source under HKEY_LOCAL_MACHINE. False when
// it does not fit: a cut path would name some other key.
bool formatKeyPath(char *keyPath, const char *serviceName) {
  if (boundedFormat(keyPath, kKeyPathSize, "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\%s",
                    serviceName) < 0) {
    debugError("The registry key path for service '%s' is too long.", serviceName);
    return false;
  }
  return true;
}

// Writes one value; on failure traces it with the value's name and the status.
bool setValue(HKEY key, const char *name, DWORD type, const BYTE *data, DWORD size) {
  LSTATUS status = RegSetValueExA(key, name, 0, type, data, size);
  if (status != ERROR_SUCCESS) {
    debugError("RegSetValueEx('%s') failed, result=%d.", name, (int)status);
    return false;
  }
  return true;
}
} // namespace

bool createEventLogKey(const char *serviceName) {
  debug("Creating registry key for service '%s'.", serviceName);

  char programPath[MAX_PATH];
  DWORD pathLength = GetModuleFileNameA(nullptr, programPath, MAX_PATH);
  // A cut or missing path would register a message file that does not exist;
  // it is refused below, once we know the key has to be written.
  DWORD pathError = (pathLength == 0 || pathLength >= MAX_PATH) ? GetLastError() : 0;
  bool havePath = pathLength > 0 && pathLength < MAX_PATH;

  char keyPath[kKeyPathSize];
  if (!formatKeyPath(keyPath, serviceName)) {
    debugError("Could not create a registry key.");
    return false;
  }

  // Any key that opens counts as present; its values are left as they are.
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
    debug("The registry key for service '%s' already exists.", serviceName);
    RegCloseKey(key);
    return true;
  }

  if (!havePath) {
    debugError("GetModuleFileName failed, Last error = %d.", (int)pathError);
    debugError("Could not create a registry key.");
    return false;
  }

  key = nullptr;
  LSTATUS status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                   KEY_WRITE, nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) {
    debugError("RegCreateKeyEx failed, result=%d.", (int)status);
    debugError("Could not create a registry key.");
    return false;
  }

  // The strings are stored with their terminator. The first value that fails
  // ends the writing; what was written stays (no rollback), and a later
  // create finds the key and leaves it as it is.
  const DWORD pathSize = (DWORD)strlen(programPath) + 1;
  const BYTE *pathData = reinterpret_cast<const BYTE *>(programPath);
  bool ok = setValue(key, "EventMessageFile", REG_EXPAND_SZ, pathData, pathSize) &&
            setValue(key, "TypesSupported", REG_DWORD,
                     reinterpret_cast<const BYTE *>(&kTypesSupported), sizeof kTypesSupported) &&
            setValue(key, "CategoryMessageFile", REG_EXPAND_SZ, pathData, pathSize) &&
            setValue(key, "CategoryCount", REG_DWORD,
                     reinterpret_cast<const BYTE *>(&kCategoryCount), sizeof kCategoryCount);
  RegCloseKey(key);
  if (!ok) {
    debugError("Could not create a registry key.");
    return false;
  }
  return true;
}

bool removeEventLogKey(const char *serviceName) {
  debug("Removing registry key for service '%s'.", serviceName);

  char keyPath[kKeyPathSize];
  if (!formatKeyPath(keyPath, serviceName))
    return false;

  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
    debug("The registry key for service '%s' does not exist, so we do not need to remove it.",
          serviceName);
    return true;
  }
  RegCloseKey(key);

  LSTATUS status = RegDeleteKeyA(HKEY_LOCAL_MACHINE, keyPath);
  if (status != ERROR_SUCCESS) {
    debugError("RegDeleteKey('%s') failed, result=%d.", keyPath, (int)status);
    return false;
  }
  return true;
}
