// Stand-in code pages and drive letters.
//
// The ANSI code page (GetACP, learn.microsoft.com/windows/win32/api/winnls/nf-winnls-getacp)
// is 1252 unless VELKOR_STANDIN_ACP=932 or standinSetAnsiCodePage selects the
// Japanese one, as a Japanese system locale does on Windows and a ja_JP locale
// does under Wine (measured: tests/wine/test_upgrade.sh, LANG=ja_JP.UTF-8
// makes the program's narrow strings CP932 bytes). Only these two are
// modelled: 1252 is single-byte, 932 is double-byte with the lead bytes
// 0x81-0x9F and 0xE0-0xFC (the "DBCS LEAD BYTE" entries of Microsoft's table,
// unicode.org/Public/MAPPINGS/VENDORS/MICSFT/WINDOWS/CP932.TXT). A trail byte
// can be 0x40-0xFC, 0x5C (the backslash) among them: 表 is 95 5C.
//
// Drives (GetDriveTypeA, QueryDosDeviceA): Z: is a fixed disk; a drive mapped
// with VELKOR_STANDIN_DRIVE_<L> is a fixed disk too, unless
// VELKOR_STANDIN_DRIVE_<L>_KIND says "remote" (a mapped network drive) or
// "subst" (a subst drive onto the mapped directory).
#include "standin.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {
std::atomic<UINT> selectedCodePage{0};

bool isModelledCodePage(UINT codePage) { return codePage == 1252 || codePage == 932; }

// "remote", "subst" or "" for a mapped drive letter.
const char *mappedDriveKind(char letter) {
  char name[] = "VELKOR_STANDIN_DRIVE_X_KIND";
  name[21] = (char)(letter & ~0x20);
  const char *kind = getenv(name);
  return kind ? kind : "";
}

// The drive letter of "X:" or "X:\", else 0.
char driveLetterOf(const char *name, bool withSeparator) {
  if (!name || !name[0] || name[1] != ':')
    return 0;
  if (withSeparator ? (name[2] != '\\' || name[3]) : name[2] != 0)
    return 0;
  char letter = (char)(name[0] & ~0x20);
  return letter >= 'A' && letter <= 'Z' ? letter : 0;
}
} // namespace

void standinSetAnsiCodePage(UINT codePage) { selectedCodePage = codePage; }

UINT GetACP(void) {
  UINT selected = selectedCodePage;
  if (selected)
    return selected;
  const char *configured = getenv("VELKOR_STANDIN_ACP");
  UINT codePage = configured ? (UINT)strtoul(configured, nullptr, 10) : 1252;
  return isModelledCodePage(codePage) ? codePage : 1252;
}

// learn.microsoft.com/windows/win32/api/winnls/nf-winnls-isdbcsleadbyteex:
// CP_ACP names the ANSI code page; a code page the system does not have
// fails with ERROR_INVALID_PARAMETER, the failure a fault rule gives too.
BOOL IsDBCSLeadByteEx(UINT codePage, BYTE testChar) {
  if (standinFailNow("IsDBCSLeadByteEx"))
    return FALSE;
  if (codePage == CP_ACP)
    codePage = GetACP();
  if (!isModelledCodePage(codePage)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (codePage != 932)
    return FALSE;
  return (testChar >= 0x81 && testChar <= 0x9F) || (testChar >= 0xE0 && testChar <= 0xFC);
}

size_t standinCharacterLength(const char *text) {
  // The stand-in's own reading of a path: no fault rule, no trace.
  UINT codePage = GetACP();
  BYTE c = (BYTE)text[0];
  bool lead = codePage == 932 && ((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC));
  return lead && text[1] ? 2 : 1;
}

// learn.microsoft.com/windows/win32/api/fileapi/nf-fileapi-getdrivetypea: the
// root needs its trailing backslash; a path that is not the root of a volume
// gives DRIVE_NO_ROOT_DIR, a share root ("\\server\share\") DRIVE_REMOTE.
// The call has no error return: a fault rule makes it answer DRIVE_UNKNOWN.
UINT GetDriveTypeA(LPCSTR rootPathName) {
  if (standinFailNow("GetDriveTypeA"))
    return DRIVE_UNKNOWN;
  char letter = driveLetterOf(rootPathName, true);
  if (letter == 'Z')
    return DRIVE_FIXED;
  if (letter)
    return !standinMappedDrive(letter) ? DRIVE_NO_ROOT_DIR
           : strcmp(mappedDriveKind(letter), "remote") == 0 ? DRIVE_REMOTE
                                                             : DRIVE_FIXED;
  if (rootPathName && rootPathName[0] == '\\' && rootPathName[1] == '\\') {
    const char *server = rootPathName + 2;
    const char *share = strchr(server, '\\');
    const char *end = share ? strchr(share + 1, '\\') : nullptr;
    if (share && share > server && end && end > share + 1 && !end[1])
      return DRIVE_REMOTE;
  }
  return DRIVE_NO_ROOT_DIR;
}

// learn.microsoft.com/windows/win32/api/fileapi/nf-fileapi-querydosdevicea:
// the current mapping of "X:", as a list of strings ended by an empty one; the
// result counts every character stored, the final terminator included. A
// subst drive maps to "\??\" and its target (learn.microsoft.com/windows/win32/
// api/fileapi/nf-fileapi-definedosdevicew: a target given as a path, as subst
// gives it, is stored as that NT path); a volume to its device.
DWORD QueryDosDeviceA(LPCSTR deviceName, LPSTR targetPath, DWORD max) {
  if (standinFailNow("QueryDosDeviceA"))
    return 0;
  char letter = driveLetterOf(deviceName, false);
  const char *mapped = letter && letter != 'Z' ? standinMappedDrive(letter) : nullptr;
  if (!letter || (letter != 'Z' && !mapped)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return 0;
  }
  char target[600];
  if (mapped && strcmp(mappedDriveKind(letter), "subst") == 0) {
    char windows[512];
    snprintf(windows, sizeof windows, "Z:%s", mapped);
    for (char *p = windows; *p; ++p)
      if (*p == '/')
        *p = '\\';
    snprintf(target, sizeof target, "\\??\\%s", windows);
  } else if (mapped && strcmp(mappedDriveKind(letter), "remote") == 0) {
    snprintf(target, sizeof target, "\\Device\\LanmanRedirector\\;%c:0\\server\\share", letter);
  } else {
    snprintf(target, sizeof target, "\\Device\\HarddiskVolume%d", letter == 'Z' ? 1 : 2);
  }
  size_t length = strlen(target);
  if (!targetPath || length + 2 > max) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  memcpy(targetPath, target, length + 1);
  targetPath[length + 1] = 0;
  return (DWORD)(length + 2);
}
