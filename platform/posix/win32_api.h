// Native stand-in for the Win32 and C-runtime subset the program uses.
//
// Types, constants and functions carry their Windows names and values so that
// the program's sources compile unchanged on both platforms. The stand-in is
// test equipment: each function implements the Windows semantics the program
// relies on, can be made to fail on request (standin.h), and nothing more.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <pthread.h>

// ---- Basic types ----------------------------------------------------------
typedef uint32_t DWORD;
typedef int BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef int32_t LONG;
typedef LONG LSTATUS;
typedef uintptr_t ULONG_PTR;
typedef intptr_t INT_PTR;
typedef void *HANDLE;
typedef HANDLE HMODULE;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef char *LPSTR;
typedef const char *LPCSTR;
typedef DWORD *LPDWORD;
typedef BYTE *LPBYTE;
typedef const BYTE *LPCBYTE;
typedef void *PSID;
typedef DWORD REGSAM;
typedef DWORD ACCESS_MASK;
typedef unsigned int UINT;

struct StandinHandle;
typedef StandinHandle *SC_HANDLE;
typedef StandinHandle *SERVICE_STATUS_HANDLE;
typedef StandinHandle *HKEY;
typedef HKEY *PHKEY;

#define WINAPI
#define CALLBACK
#define TRUE 1
#define FALSE 0
#define MAX_PATH 260
#define INFINITE 0xFFFFFFFFu
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define INVALID_FILE_ATTRIBUTES ((DWORD)0xFFFFFFFFu)
#define INVALID_FILE_SIZE ((DWORD)0xFFFFFFFFu)

// ---- Error codes (winerror.h) ---------------------------------------------
#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_DATA 13L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_LOCK_VIOLATION 33L
#define ERROR_BAD_NETPATH 53L
#define ERROR_FILE_EXISTS 80L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_CALL_NOT_IMPLEMENTED 120L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define ERROR_MORE_DATA 234L
#define ERROR_SERVICE_REQUEST_TIMEOUT 1053L
#define ERROR_SERVICE_ALREADY_RUNNING 1056L
#define ERROR_INVALID_SERVICE_CONTROL 1052L
#define ERROR_SERVICE_DOES_NOT_EXIST 1060L
#define ERROR_SERVICE_CANNOT_ACCEPT_CTRL 1061L
#define ERROR_SERVICE_NOT_ACTIVE 1062L
#define ERROR_FAILED_SERVICE_CONTROLLER_CONNECT 1063L
#define ERROR_SERVICE_SPECIFIC_ERROR 1066L
#define ERROR_SERVICE_MARKED_FOR_DELETE 1072L
#define ERROR_SERVICE_EXISTS 1073L
#define ERROR_DUPLICATE_SERVICE_NAME 1078L
#define ERROR_INVALID_SERVICE_ACCOUNT 1057L
#define ERROR_NOT_LOCKED 158L

// ---- Files -----------------------------------------------------------------
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define GENERIC_EXECUTE 0x20000000u
#define GENERIC_ALL 0x10000000u
#define FILE_SHARE_READ 0x1u
#define FILE_SHARE_WRITE 0x2u
#define FILE_SHARE_DELETE 0x4u
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_ATTRIBUTE_READONLY 0x1u
#define FILE_ATTRIBUTE_DIRECTORY 0x10u
#define FILE_ATTRIBUTE_ARCHIVE 0x20u
#define FILE_ATTRIBUTE_NORMAL 0x80u
#define LOCKFILE_FAIL_IMMEDIATELY 0x1u
#define LOCKFILE_EXCLUSIVE_LOCK 0x2u

struct SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
};
typedef SECURITY_ATTRIBUTES *LPSECURITY_ATTRIBUTES;

// The offset members sit directly in the record (Windows nests them in an
// anonymous union); programs only assign Offset and OffsetHigh by name.
struct OVERLAPPED {
  ULONG_PTR Internal;
  ULONG_PTR InternalHigh;
  DWORD Offset;
  DWORD OffsetHigh;
  HANDLE hEvent;
};
typedef OVERLAPPED *LPOVERLAPPED;

DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size);
DWORD GetFullPathNameA(LPCSTR fileName, DWORD bufferLength, LPSTR buffer, LPSTR *filePart);
DWORD GetFileAttributesA(LPCSTR fileName);

// ---- Code pages and drives (standin_codepage.cpp) ---------------------------
#define CP_ACP 0u
#define DRIVE_UNKNOWN 0u
#define DRIVE_NO_ROOT_DIR 1u
#define DRIVE_FIXED 3u
#define DRIVE_REMOTE 4u
UINT GetACP(void);
BOOL IsDBCSLeadByteEx(UINT codePage, BYTE testChar);
UINT GetDriveTypeA(LPCSTR rootPathName);
DWORD QueryDosDeviceA(LPCSTR deviceName, LPSTR targetPath, DWORD max);
DWORD GetTempPathA(DWORD bufferLength, LPSTR buffer);
DWORD GetSystemDirectoryA(LPSTR buffer, DWORD size);
HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                   LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                   DWORD flagsAndAttributes, HANDLE templateFile);
DWORD GetFileSize(HANDLE file, LPDWORD fileSizeHigh);
BOOL DeleteFileA(LPCSTR fileName);
BOOL LockFileEx(HANDLE file, DWORD flags, DWORD reserved, DWORD bytesLow, DWORD bytesHigh,
                LPOVERLAPPED overlapped);
BOOL UnlockFileEx(HANDLE file, DWORD reserved, DWORD bytesLow, DWORD bytesHigh,
                  LPOVERLAPPED overlapped);

// ---- C runtime: descriptors with Windows flag values -------------------------
#define _O_RDONLY 0x0000
#define _O_WRONLY 0x0001
#define _O_RDWR 0x0002
#define _O_APPEND 0x0008
#define _O_NOINHERIT 0x0080
#define _O_CREAT 0x0100
#define _O_TRUNC 0x0200
#define _O_EXCL 0x0400
#define _O_TEXT 0x4000
#define _O_BINARY 0x8000
#define _SH_DENYRW 0x10
#define _SH_DENYWR 0x20
#define _SH_DENYRD 0x30
#define _SH_DENYNO 0x40
#define _S_IREAD 0x0100
#define _S_IWRITE 0x0080

// Share-aware open. In text mode (_O_TEXT) a stream made by _fdopen writes a
// line feed as CR LF, reads CR LF as a line feed and stops at Ctrl-Z, as the
// Windows runtime does.
int _sopen(const char *path, int openFlags, int shareFlags, ...);
FILE *_fdopen(int fd, const char *mode);
int _close(int fd);
int _mkdir(const char *path);
intptr_t _get_osfhandle(int fd);

// ---- Handles, errors, processes, synchronisation ----------------------------
#define STD_INPUT_HANDLE ((DWORD)-10)
#define STD_OUTPUT_HANDLE ((DWORD)-11)
#define STD_ERROR_HANDLE ((DWORD)-12)
#define HANDLE_FLAG_INHERIT 0x1u
#define STARTF_USESTDHANDLES 0x100u
#define DETACHED_PROCESS 0x8u
#define CREATE_NEW_CONSOLE 0x10u
#define WAIT_OBJECT_0 0u
#define WAIT_ABANDONED 0x80u
#define WAIT_TIMEOUT 258u
#define WAIT_FAILED 0xFFFFFFFFu
#define STILL_ACTIVE 259u

struct STARTUPINFOA {
  DWORD cb;
  LPSTR lpReserved;
  LPSTR lpDesktop;
  LPSTR lpTitle;
  DWORD dwX;
  DWORD dwY;
  DWORD dwXSize;
  DWORD dwYSize;
  DWORD dwXCountChars;
  DWORD dwYCountChars;
  DWORD dwFillAttribute;
  DWORD dwFlags;
  WORD wShowWindow;
  WORD cbReserved2;
  LPBYTE lpReserved2;
  HANDLE hStdInput;
  HANDLE hStdOutput;
  HANDLE hStdError;
};
typedef STARTUPINFOA *LPSTARTUPINFOA;

struct PROCESS_INFORMATION {
  HANDLE hProcess;
  HANDLE hThread;
  DWORD dwProcessId;
  DWORD dwThreadId;
};
typedef PROCESS_INFORMATION *LPPROCESS_INFORMATION;

typedef DWORD(WINAPI *LPTHREAD_START_ROUTINE)(LPVOID parameter);

DWORD GetLastError(void);
void SetLastError(DWORD error);
DWORD GetCurrentProcessId(void);
BOOL CloseHandle(HANDLE object);
HANDLE GetStdHandle(DWORD stdHandle);
BOOL SetHandleInformation(HANDLE object, DWORD mask, DWORD flags);
BOOL CreateProcessA(LPCSTR applicationName, LPSTR commandLine,
                    LPSECURITY_ATTRIBUTES processAttributes,
                    LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles,
                    DWORD creationFlags, LPVOID environment, LPCSTR currentDirectory,
                    LPSTARTUPINFOA startupInfo, LPPROCESS_INFORMATION processInformation);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode);
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                    LPCSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, size_t stackSize,
                    LPTHREAD_START_ROUTINE startAddress, LPVOID parameter, DWORD creationFlags,
                    LPDWORD threadId);
void Sleep(DWORD milliseconds);
// Ends the calling process and all its threads with `exitCode`.
[[noreturn]] void ExitProcess(DWORD exitCode);
// Milliseconds since the machine started, wrapping after about 49.7 days.
DWORD GetTickCount(void);

// A slim reader/writer lock, used exclusively: a waiter sleeps until the
// holder releases it. Natively a mutex; Windows' is one pointer in size.
struct SRWLOCK {
  pthread_mutex_t mutex;
};
typedef SRWLOCK *PSRWLOCK;
#define SRWLOCK_INIT {PTHREAD_MUTEX_INITIALIZER}
void AcquireSRWLockExclusive(PSRWLOCK lock);
void ReleaseSRWLockExclusive(PSRWLOCK lock);

// ---- Registry ----------------------------------------------------------------
#define HKEY_LOCAL_MACHINE ((HKEY)(uintptr_t)0x80000002u)
#define KEY_QUERY_VALUE 0x0001u
#define KEY_SET_VALUE 0x0002u
#define KEY_CREATE_SUB_KEY 0x0004u
#define KEY_READ 0x20019u
#define KEY_WRITE 0x20006u
#define KEY_ALL_ACCESS 0xF003Fu
#define REG_OPTION_NON_VOLATILE 0x0u
#define REG_NONE 0u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_BINARY 3u
#define REG_DWORD 4u
#define REG_CREATED_NEW_KEY 1u
#define REG_OPENED_EXISTING_KEY 2u

LSTATUS RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM desired, PHKEY result);
LSTATUS RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options,
                        REGSAM desired, LPSECURITY_ATTRIBUTES attributes, PHKEY result,
                        LPDWORD disposition);
LSTATUS RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE *data,
                       DWORD dataSize);
LSTATUS RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                         LPDWORD dataSize);
LSTATUS RegCloseKey(HKEY key);
LSTATUS RegDeleteKeyA(HKEY key, LPCSTR subKey);

// ---- Event log -----------------------------------------------------------------
#define EVENTLOG_SUCCESS 0x0000
#define EVENTLOG_ERROR_TYPE 0x0001
#define EVENTLOG_WARNING_TYPE 0x0002
#define EVENTLOG_INFORMATION_TYPE 0x0004

HANDLE RegisterEventSourceA(LPCSTR serverName, LPCSTR sourceName);
BOOL ReportEventA(HANDLE eventLog, WORD type, WORD category, DWORD eventId, PSID userSid,
                  WORD numStrings, DWORD dataSize, LPCSTR *strings, LPVOID rawData);
BOOL DeregisterEventSource(HANDLE eventLog);

// ---- Service Control Manager ------------------------------------------------------
#define SC_MANAGER_CONNECT 0x0001u
#define SC_MANAGER_CREATE_SERVICE 0x0002u
#define SC_MANAGER_ENUMERATE_SERVICE 0x0004u
#define SC_MANAGER_ALL_ACCESS 0xF003Fu
#define SERVICE_QUERY_CONFIG 0x0001u
#define SERVICE_CHANGE_CONFIG 0x0002u
#define SERVICE_QUERY_STATUS 0x0004u
#define SERVICE_START 0x0010u
#define SERVICE_STOP 0x0020u
#define SERVICE_INTERROGATE 0x0080u
#define SERVICE_ALL_ACCESS 0xF01FFu
#define DELETE 0x00010000u

#define SERVICE_KERNEL_DRIVER 0x1u
#define SERVICE_FILE_SYSTEM_DRIVER 0x2u
#define SERVICE_WIN32_OWN_PROCESS 0x10u
#define SERVICE_WIN32_SHARE_PROCESS 0x20u
#define SERVICE_WIN32 0x30u
#define SERVICE_ACTIVE 0x1u
#define SERVICE_INACTIVE 0x2u
#define SERVICE_STATE_ALL 0x3u
#define SERVICE_BOOT_START 0x0u
#define SERVICE_SYSTEM_START 0x1u
#define SERVICE_AUTO_START 0x2u
#define SERVICE_DEMAND_START 0x3u
#define SERVICE_DISABLED 0x4u
#define SERVICE_ERROR_IGNORE 0x0u
#define SERVICE_ERROR_NORMAL 0x1u
#define SERVICE_NO_CHANGE 0xFFFFFFFFu
#define SERVICE_CONFIG_DESCRIPTION 1u
#define SERVICE_CONFIG_PRESHUTDOWN_INFO 7u

#define SERVICE_STOPPED 0x1u
#define SERVICE_START_PENDING 0x2u
#define SERVICE_STOP_PENDING 0x3u
#define SERVICE_RUNNING 0x4u
#define SERVICE_CONTINUE_PENDING 0x5u
#define SERVICE_PAUSE_PENDING 0x6u
#define SERVICE_PAUSED 0x7u

#define SERVICE_ACCEPT_STOP 0x1u
#define SERVICE_ACCEPT_PAUSE_CONTINUE 0x2u
#define SERVICE_ACCEPT_SHUTDOWN 0x4u
#define SERVICE_ACCEPT_PRESHUTDOWN 0x100u

#define SERVICE_CONTROL_STOP 0x1u
#define SERVICE_CONTROL_PAUSE 0x2u
#define SERVICE_CONTROL_CONTINUE 0x3u
#define SERVICE_CONTROL_INTERROGATE 0x4u
#define SERVICE_CONTROL_SHUTDOWN 0x5u
#define SERVICE_CONTROL_PRESHUTDOWN 0xFu

struct SERVICE_STATUS {
  DWORD dwServiceType;
  DWORD dwCurrentState;
  DWORD dwControlsAccepted;
  DWORD dwWin32ExitCode;
  DWORD dwServiceSpecificExitCode;
  DWORD dwCheckPoint;
  DWORD dwWaitHint;
};
typedef SERVICE_STATUS *LPSERVICE_STATUS;

struct ENUM_SERVICE_STATUSA {
  LPSTR lpServiceName;
  LPSTR lpDisplayName;
  SERVICE_STATUS ServiceStatus;
};
typedef ENUM_SERVICE_STATUSA *LPENUM_SERVICE_STATUSA;

struct QUERY_SERVICE_CONFIGA {
  DWORD dwServiceType;
  DWORD dwStartType;
  DWORD dwErrorControl;
  LPSTR lpBinaryPathName;
  LPSTR lpLoadOrderGroup;
  DWORD dwTagId;
  LPSTR lpDependencies;
  LPSTR lpServiceStartName;
  LPSTR lpDisplayName;
};
typedef QUERY_SERVICE_CONFIGA *LPQUERY_SERVICE_CONFIGA;

struct SERVICE_DESCRIPTIONA {
  LPSTR lpDescription;
};

struct SERVICE_PRESHUTDOWN_INFO {
  DWORD dwPreshutdownTimeout;
};
typedef SERVICE_PRESHUTDOWN_INFO *LPSERVICE_PRESHUTDOWN_INFO;

typedef void(WINAPI *LPSERVICE_MAIN_FUNCTIONA)(DWORD argc, LPSTR *argv);
typedef void(WINAPI *LPHANDLER_FUNCTION)(DWORD control);
typedef DWORD(WINAPI *LPHANDLER_FUNCTION_EX)(DWORD control, DWORD eventType, LPVOID eventData,
                                             LPVOID context);

struct SERVICE_TABLE_ENTRYA {
  LPSTR lpServiceName;
  LPSERVICE_MAIN_FUNCTIONA lpServiceProc;
};

SC_HANDLE OpenSCManagerA(LPCSTR machineName, LPCSTR databaseName, DWORD desiredAccess);
BOOL EnumServicesStatusA(SC_HANDLE manager, DWORD serviceType, DWORD serviceState,
                         LPENUM_SERVICE_STATUSA services, DWORD bufSize, LPDWORD bytesNeeded,
                         LPDWORD servicesReturned, LPDWORD resumeHandle);
SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR serviceName, DWORD desiredAccess);
BOOL QueryServiceConfigA(SC_HANDLE service, LPQUERY_SERVICE_CONFIGA config, DWORD bufSize,
                         LPDWORD bytesNeeded);
SC_HANDLE CreateServiceA(SC_HANDLE manager, LPCSTR serviceName, LPCSTR displayName,
                         DWORD desiredAccess, DWORD serviceType, DWORD startType,
                         DWORD errorControl, LPCSTR binaryPathName, LPCSTR loadOrderGroup,
                         LPDWORD tagId, LPCSTR dependencies, LPCSTR serviceStartName,
                         LPCSTR password);
BOOL ChangeServiceConfigA(SC_HANDLE service, DWORD serviceType, DWORD startType,
                          DWORD errorControl, LPCSTR binaryPathName, LPCSTR loadOrderGroup,
                          LPDWORD tagId, LPCSTR dependencies, LPCSTR serviceStartName,
                          LPCSTR password, LPCSTR displayName);
BOOL ChangeServiceConfig2A(SC_HANDLE service, DWORD infoLevel, LPVOID info);
BOOL QueryServiceConfig2A(SC_HANDLE service, DWORD infoLevel, LPBYTE buffer, DWORD bufSize,
                          LPDWORD bytesNeeded);
BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status);
BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status);
BOOL DeleteService(SC_HANDLE service);
BOOL CloseServiceHandle(SC_HANDLE object);
BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA *serviceTable);
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(LPCSTR serviceName, LPHANDLER_FUNCTION handler);
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExA(LPCSTR serviceName,
                                                    LPHANDLER_FUNCTION_EX handler, LPVOID context);
BOOL SetServiceStatus(SERVICE_STATUS_HANDLE statusHandle, LPSERVICE_STATUS status);
BOOL StartServiceA(SC_HANDLE service, DWORD numServiceArgs, LPCSTR *serviceArgVectors);
