// The service entry point: start, supervision, end.
#pragma once

#include "../platform/win32.h"

void WINAPI serviceMain(DWORD argc, LPSTR *argv);
