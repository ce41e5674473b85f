// The stand-in's event log as the tests see it: every report made on this
// machine, by any process, in the order they were made.
#pragma once

#include "win32_api.h"

#include <string>
#include <vector>

struct StandinEvent {
  int pid;              // the reporting process
  std::string source;   // the name the source was registered under
  WORD type;            // EVENTLOG_SUCCESS, EVENTLOG_ERROR_TYPE, ...
  WORD category;
  DWORD eventId;
  bool userSidNull;
  DWORD rawDataSize;
  std::vector<std::string> strings; // the insertion strings, byte for byte
};

// Every report recorded so far (empty when there is none).
std::vector<StandinEvent> standinReadEvents();
// Forgets every recorded report.
void standinClearEvents();
