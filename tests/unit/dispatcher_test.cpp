// main's dispatcher, run as the program itself: every usage error with its
// message and exit code, and the trace that frames every run. This is the one
// table of usage messages; the Wine tests show the same texts' bytes (CR LF)
// through the Windows C runtime.
#include "support.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace {
struct UsageCase {
  std::vector<std::string> args;
  int exitCode; // as a process status: -1 shows as 255
  std::string out;
};

TEST(Dispatcher, EveryUsageErrorPrintsItsMessageAndTheTraceFramesEveryRun) {
  ScratchDir scratch;
  Installation install(scratch);
  const std::vector<UsageCase> cases = {
      {{}, 255, "Subcommand required: create, state, remove, start or cleanup.\n"},
      {{"CREATE"}, 255, "Unknown subcommand: [CREATE]\n"},
      {{"Start", "x"}, 255, "Unknown subcommand: [Start]\n"},
      {{"--debug"}, 255, "Unknown subcommand: [--debug]\n"},
      {{"create", "dir", "name"}, 255,
       "Subcommand create requires instance dir, service name and description.\n"},
      {{"state"}, 255, "Subcommand state requires instance dir.\n"},
      {{"remove"}, 255, "Subcommand remove requires instance dir.\n"},
      {{"start"}, 255, "Subcommand start requires instance dir.\n"},
      {{"isrunning"}, 255, "Subcommand isrunning requires instance dir.\n"},
      {{"cleanup"}, 255, "Subcommand cleanup requires service name.\n"},
      // "--debug" in the position of an argument is that argument; what a
      // subcommand does not use is traced and otherwise ignored.
      {{"cleanup", "--debug", "extra"}, 1, ""},
  };
  for (const UsageCase &c : cases) {
    std::string shown = "[" + (c.args.empty() ? std::string() : c.args[0]) + "...]";
    unlink(install.logPath().c_str());
    RunResult run = runProgram(install.program, c.args);
    EXPECT_EQ(run, (RunResult{c.exitCode, c.out})) << shown;

    // The banner, "main called.", every argument, ..., "main returning %d.";
    // a usage error traces nothing in between.
    std::vector<std::string> want = {
        "--------------- FIRST LOG MESSAGE FROM '" + toWindowsPath(install.program) +
            "' ---------------",
        "main called.", "  argv[0] = '" + install.program + "'"};
    for (size_t i = 0; i < c.args.size(); ++i)
      want.push_back("  argv[" + std::to_string(i + 1) + "] = '" + c.args[i] + "'");
    std::vector<std::string> log = logMessages(install.logPath());
    std::string last = "main returning " + std::to_string((signed char)c.exitCode) + ".";
    ASSERT_GE(log.size(), want.size() + 1) << shown;
    EXPECT_EQ(std::vector<std::string>(log.begin(), log.begin() + (long)want.size()), want) << shown;
    EXPECT_EQ(log.back(), last) << shown;
    if (c.exitCode == 255) {
      EXPECT_EQ(log.size(), want.size() + 1) << shown;
    }
  }
}
} // namespace
