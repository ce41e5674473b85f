// Stand-in registry: HKEY_LOCAL_MACHINE kept as files under <root>/registry/hklm,
// so a test and the program it runs as a child read and write one machine.
//
// A key is a directory; its subkeys are directories and its values files named
// "=" followed by the value's name. A value file holds the type (4 bytes, host
// order) and then the data exactly as written, so type, bytes and size come
// back as they went in. Names are compared without regard to case, as on
// Windows: they are stored in lower case, with '/', '%', '=' and control
// characters (and a leading '.') written as %XX.
//
// A registry call returns its error (LSTATUS); it does not set the last error.
// Every call can be failed through the stand-in's fault rules.
//
// Limits of the stand-in: HKEY_LOCAL_MACHINE is the only predefined key; a
// stored name may not exceed 255 bytes (ERROR_INVALID_PARAMETER); a handle to
// a deleted key sees a key recreated under the same path.
#include "standin.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {
constexpr LSTATUS kErrorBadPathname = 161;
constexpr LSTATUS kErrorKeyDeleted = 1018;
constexpr size_t kMaxStoredName = 255;

struct RegKey {
  std::string path; // POSIX directory of the key
  REGSAM access;
};

void destroyKey(void *object) { delete static_cast<RegKey *>(object); }

std::string machineRoot() {
  char root[4200];
  standinRootPath("registry/hklm", root, sizeof root);
  return root;
}

// One name as it is stored: lower case, unsafe bytes as %XX.
bool storedName(const char *name, size_t length, std::string &out) {
  out.clear();
  for (size_t i = 0; i < length; ++i) {
    unsigned char c = (unsigned char)name[i];
    if (c >= 'A' && c <= 'Z')
      c = (unsigned char)(c - 'A' + 'a');
    if (c < 0x20 || c == 0x7f || c == '/' || c == '%' || c == '=' || (i == 0 && c == '.')) {
      char escaped[4];
      snprintf(escaped, sizeof escaped, "%%%02X", c);
      out += escaped;
    } else {
      out += (char)c;
    }
  }
  return out.size() <= kMaxStoredName;
}

// The directory of the key `subKey` below `base` (HKEY_LOCAL_MACHINE or an
// open key). Components are separated by backslashes; an empty component is
// a bad path name, as on Windows.
LSTATUS keyDirectory(HKEY base, LPCSTR subKey, std::string &out, std::vector<std::string> *parts) {
  if (base == HKEY_LOCAL_MACHINE) {
    out = machineRoot();
  } else {
    const RegKey *key = static_cast<const RegKey *>(standinHandleObject(base, kStandinRegKey));
    if (!key)
      return ERROR_INVALID_HANDLE;
    out = key->path;
  }
  if (!subKey || !*subKey)
    return ERROR_SUCCESS;
  const char *start = subKey;
  for (;;) {
    const char *end = strchr(start, '\\');
    size_t length = end ? (size_t)(end - start) : strlen(start);
    if (length == 0)
      return kErrorBadPathname;
    std::string name;
    if (!storedName(start, length, name))
      return ERROR_INVALID_PARAMETER;
    out += "/" + name;
    if (parts)
      parts->push_back(out);
    if (!end)
      break;
    start = end + 1;
  }
  return ERROR_SUCCESS;
}

bool isDirectory(const std::string &path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The key of an open handle, with the access it was opened for.
LSTATUS openKey(HKEY key, REGSAM needed, const RegKey **out) {
  const RegKey *object = static_cast<const RegKey *>(standinHandleObject(key, kStandinRegKey));
  if (!object)
    return ERROR_INVALID_HANDLE;
  if ((object->access & needed) != needed)
    return ERROR_ACCESS_DENIED;
  if (!isDirectory(object->path))
    return kErrorKeyDeleted;
  *out = object;
  return ERROR_SUCCESS;
}

LSTATUS valueFile(const RegKey *key, LPCSTR valueName, std::string &out) {
  std::string name;
  const char *text = valueName ? valueName : "";
  if (!storedName(text, strlen(text), name))
    return ERROR_INVALID_PARAMETER;
  out = key->path + "/=" + name;
  return ERROR_SUCCESS;
}

HKEY newKeyHandle(const std::string &path, REGSAM access) {
  return static_cast<HKEY>(standinNewHandle(kStandinRegKey, new RegKey{path, access}, destroyKey));
}
} // namespace

LSTATUS RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD, REGSAM desired, PHKEY result) {
  DWORD error = 0;
  if (standinFault("RegOpenKeyExA", &error))
    return (LSTATUS)error;
  if (!result)
    return ERROR_INVALID_PARAMETER;
  std::string path;
  LSTATUS status = keyDirectory(key, subKey, path, nullptr);
  if (status != ERROR_SUCCESS)
    return status;
  if (!isDirectory(path))
    return ERROR_FILE_NOT_FOUND;
  *result = newKeyHandle(path, desired);
  return ERROR_SUCCESS;
}

LSTATUS RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD, LPSTR, DWORD, REGSAM desired,
                        LPSECURITY_ATTRIBUTES, PHKEY result, LPDWORD disposition) {
  DWORD error = 0;
  if (standinFault("RegCreateKeyExA", &error))
    return (LSTATUS)error;
  if (!result)
    return ERROR_INVALID_PARAMETER;
  std::string path;
  std::vector<std::string> parts;
  LSTATUS status = keyDirectory(key, subKey, path, &parts);
  if (status != ERROR_SUCCESS)
    return status;
  std::string base;
  keyDirectory(key, nullptr, base, nullptr);
  if (!isDirectory(base))
    return kErrorKeyDeleted; // an open key that has been deleted since
  bool created = false; // whether the last component, the key itself, was made here
  for (const std::string &part : parts) {
    created = mkdir(part.c_str(), 0777) == 0;
    if (!created && errno != EEXIST)
      return (LSTATUS)standinErrorFromErrno(errno);
  }
  if (!isDirectory(path))
    return ERROR_FILE_NOT_FOUND;
  if (disposition)
    *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  *result = newKeyHandle(path, desired);
  return ERROR_SUCCESS;
}

LSTATUS RegSetValueExA(HKEY key, LPCSTR valueName, DWORD, DWORD type, const BYTE *data,
                       DWORD dataSize) {
  DWORD error = 0;
  if (standinFault("RegSetValueExA", &error))
    return (LSTATUS)error;
  if (!data && dataSize > 0)
    return ERROR_INVALID_PARAMETER;
  const RegKey *object = nullptr;
  LSTATUS status = openKey(key, KEY_SET_VALUE, &object);
  if (status != ERROR_SUCCESS)
    return status;
  std::string file;
  status = valueFile(object, valueName, file);
  if (status != ERROR_SUCCESS)
    return status;
  // Written aside and renamed into place, so a reader in another process sees
  // the old value or the new one, never half of one.
  // ('%' never appears raw in a stored name, so the aside name is no value's.)
  std::string temporary = file + "%new" + std::to_string(getpid());
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (fd < 0)
    return (LSTATUS)standinErrorFromErrno(errno);
  std::string content(reinterpret_cast<const char *>(&type), sizeof type);
  if (dataSize > 0)
    content.append(reinterpret_cast<const char *>(data), dataSize);
  bool written = write(fd, content.data(), content.size()) == (ssize_t)content.size();
  int writeErrno = errno;
  close(fd);
  if (!written || rename(temporary.c_str(), file.c_str()) != 0) {
    int err = written ? errno : writeErrno;
    unlink(temporary.c_str());
    return (LSTATUS)standinErrorFromErrno(err);
  }
  return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                         LPDWORD dataSize) {
  DWORD error = 0;
  if (standinFault("RegQueryValueExA", &error))
    return (LSTATUS)error;
  if (reserved || (data && !dataSize))
    return ERROR_INVALID_PARAMETER;
  const RegKey *object = nullptr;
  LSTATUS status = openKey(key, KEY_QUERY_VALUE, &object);
  if (status != ERROR_SUCCESS)
    return status;
  std::string file;
  status = valueFile(object, valueName, file);
  if (status != ERROR_SUCCESS)
    return status;
  int fd = open(file.c_str(), O_RDONLY);
  if (fd < 0)
    return errno == ENOENT ? ERROR_FILE_NOT_FOUND : (LSTATUS)standinErrorFromErrno(errno);
  std::string content;
  char chunk[4096];
  ssize_t got;
  while ((got = read(fd, chunk, sizeof chunk)) > 0)
    content.append(chunk, (size_t)got);
  close(fd);
  if (got < 0 || content.size() < sizeof(DWORD))
    return ERROR_INVALID_DATA;
  DWORD storedType;
  memcpy(&storedType, content.data(), sizeof storedType);
  DWORD storedSize = (DWORD)(content.size() - sizeof storedType);
  if (type)
    *type = storedType;
  if (!dataSize)
    return ERROR_SUCCESS;
  if (data && *dataSize < storedSize) {
    *dataSize = storedSize;
    return ERROR_MORE_DATA;
  }
  if (data && storedSize > 0)
    memcpy(data, content.data() + sizeof storedType, storedSize);
  *dataSize = storedSize;
  return ERROR_SUCCESS;
}

LSTATUS RegCloseKey(HKEY key) {
  DWORD error = 0;
  if (standinFault("RegCloseKey", &error))
    return (LSTATUS)error;
  if (key == HKEY_LOCAL_MACHINE)
    return ERROR_SUCCESS; // closing a predefined key is allowed and does nothing
  return standinCloseHandle(key, kStandinRegKey) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

// Deletes a key that has no subkeys, with its values. Open handles to it stay
// valid and report ERROR_KEY_DELETED, as on Windows.
LSTATUS RegDeleteKeyA(HKEY key, LPCSTR subKey) {
  DWORD error = 0;
  if (standinFault("RegDeleteKeyA", &error))
    return (LSTATUS)error;
  std::string path;
  LSTATUS status = keyDirectory(key, subKey, path, nullptr);
  if (status != ERROR_SUCCESS)
    return status;
  if (path == machineRoot())
    return ERROR_ACCESS_DENIED;
  DIR *directory = opendir(path.c_str());
  if (!directory)
    return errno == ENOENT || errno == ENOTDIR ? ERROR_FILE_NOT_FOUND
                                               : (LSTATUS)standinErrorFromErrno(errno);
  std::vector<std::string> values;
  bool hasSubkeys = false;
  while (struct dirent *entry = readdir(directory)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..")
      continue;
    if (name[0] == '=')
      values.push_back(path + "/" + name);
    else if (isDirectory(path + "/" + name))
      hasSubkeys = true;
  }
  closedir(directory);
  if (hasSubkeys)
    return ERROR_ACCESS_DENIED;
  for (const std::string &value : values)
    unlink(value.c_str());
  if (rmdir(path.c_str()) != 0)
    return (LSTATUS)standinErrorFromErrno(errno);
  return ERROR_SUCCESS;
}
