// Shared helpers of the native tests: scratch directories, files, the debug
// log, and running the program as a child process on the stand-in machine.
#pragma once

#include "diag/debug_log.h"
#include "platform/posix/standin.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

// A fresh directory under the temp directory, removed with everything in it.
class ScratchDir {
public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir &) = delete;
  ScratchDir &operator=(const ScratchDir &) = delete;
  // POSIX path of the directory, or of `sub` below it ("a/b").
  std::string path(const std::string &sub = "") const;
  // The same in Windows form on drive Z: ("Z:\...\a\b").
  std::string win(const std::string &sub = "") const;
  void makeDir(const std::string &sub) const;
  void writeFile(const std::string &sub, const std::string &content) const;
  std::string readFile(const std::string &sub) const;
  bool exists(const std::string &sub) const;

private:
  std::string root_;
};

std::string readWholeFile(const std::string &posixPath);
void writeWholeFile(const std::string &posixPath, const std::string &content);
std::string toWindowsPath(const std::string &posixPath);
// 0 when a call succeeded, else the last error it left:
// EXPECT_EQ(lastErrorOf(DeleteFileA(path)), (DWORD)ERROR_ACCESS_DENIED).
inline DWORD lastErrorOf(bool succeeded) { return succeeded ? 0 : GetLastError(); }
// Drops every earlier rule and count, then fails `call` (occurrences from here).
// Its arguments are read before the counts are dropped: an occurrence that
// depends on standinCallCount is given after a standinClearFaults() of its own.
inline void failAfresh(const char *call, DWORD error, int first = 1, int count = 1) {
  standinClearFaults();
  standinFailCall(call, error, first, count);
}
inline bool startsWith(const std::string &text, const std::string &prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}
// True when the key below HKEY_LOCAL_MACHINE opens.
bool registryKeyExists(const std::string &path);
// The path below HKEY_LOCAL_MACHINE of a service's event-log source key.
std::string eventSourceKey(const std::string &service);

// The debug log's lines (CR LF separated) with their "<time>: (pid=N)  "
// prefix removed; error lines keep their "ERROR:  " tag.
std::vector<std::string> logMessages(const std::string &posixLogPath);
// True when some message of the log equals `message`.
bool logHas(const std::vector<std::string> &messages, const std::string &message);

// An installation laid out as the program expects: <root>/lib holds a copy of
// the native program, <root>/logs the debug log.
struct Installation {
  explicit Installation(const ScratchDir &scratch, const std::string &sub = "install",
                        bool withLogs = true);
  std::string root;    // POSIX
  std::string rootWin; // Windows form
  std::string program; // POSIX path of the copied program
  std::string logPath() const { return root + "/logs/native-windows.out"; }
  // Makes GetModuleFileNameA in this (test) process answer the copied program.
  void actAsProgram() const;
};

// A test acting as the program of a fresh installation, with the debug log
// and the stand-in's faults and module name reset around it.
class InstallationTest : public testing::Test {
protected:
  void SetUp() override {
    resetDebugLogForTest();
    standinClearFaults();
    install.actAsProgram();
  }
  void TearDown() override {
    standinClearFaults();
    standinSetModuleFileName(nullptr);
    resetDebugLogForTest();
  }
  std::vector<std::string> log() const { return logMessages(install.logPath()); }
  ScratchDir scratch;
  Installation install{scratch};
};

struct RunResult {
  int exitCode; // the low 8 bits, as a process status: -1 shows as 255
  std::string out;
};
inline bool operator==(const RunResult &a, const RunResult &b) {
  return a.exitCode == b.exitCode && a.out == b.out;
}
inline void PrintTo(const RunResult &r, std::ostream *os) {
  *os << "exit " << r.exitCode << ", out \"" << r.out << "\"";
}
// Runs `program` with args (argv[0] is the program) and extra "NAME=value"
// environment entries; standard output is captured.
RunResult runProgram(const std::string &program, const std::vector<std::string> &args,
                     const std::vector<std::string> &environment = {});

// Sanitized children: every process the tests start inherits sanitizer
// options that make a report end it with kSanitizerExitCode (a code the
// program never uses) and write the report under <machine>/sanitizers.
constexpr int kSanitizerExitCode = 99;
void routeChildSanitizerReports(const std::string &machineRoot);
// Waits, up to `boundMs` of real time, until no process of the program that
// runs on this machine (a service the stand-in SCM started, say) is left;
// false when some still runs.
bool waitForProgramProcesses(const std::string &machineRoot, int boundMs);
// The sanitizer reports children wrote since the last call (which removes
// them), concatenated; empty when there were none.
std::string takeChildSanitizerReports(const std::string &machineRoot);
