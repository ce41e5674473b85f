// Temporary: the stand-in event log is being built on its own branch. Until
// it arrives, ReportEventA exists here as a weak definition that refuses
// every report, as Windows does for a source that is not registered. The
// real definition overrides it; delete this file when the event log lands.
#include "standin.h"

__attribute__((weak)) BOOL ReportEventA(HANDLE, WORD, WORD, DWORD, PSID, WORD, DWORD, LPCSTR *,
                                        LPVOID) {
  if (standinFailNow("ReportEventA"))
    return FALSE;
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}
