// main's dispatcher, run as the program itself: usage messages, exit codes,
// and the trace that frames every run.
#include "support.h"

#include <gtest/gtest.h>

namespace {
struct UsageCase {
  std::vector<std::string> args;
  std::string out;
};

TEST(Dispatcher, EveryUsageErrorPrintsItsMessageAndExitsMinusOne) {
  ScratchDir scratch;
  Installation install(scratch);
  const std::vector<UsageCase> cases = {
      {{}, "Subcommand required: create, state, remove, start or cleanup.\n"},
      {{"CREATE"}, "Unknown subcommand: [CREATE]\n"},
      {{"Start", "x"}, "Unknown subcommand: [Start]\n"},
      {{"--debug"}, "Unknown subcommand: [--debug]\n"},
      {{"create", "dir", "name"}, "Subcommand create requires instance dir, service name and description.\n"},
      {{"state"}, "Subcommand state requires instance dir.\n"},
      {{"remove"}, "Subcommand remove requires instance dir.\n"},
      {{"start"}, "Subcommand start requires instance dir.\n"},
      {{"isrunning"}, "Subcommand isrunning requires instance dir.\n"},
      {{"cleanup"}, "Subcommand cleanup requires service name.\n"},
  };
  for (const UsageCase &c : cases) {
    RunResult run = runProgram(install.program, c.args);
    EXPECT_EQ(run.exitCode, 255) << c.out;
    EXPECT_EQ(run.out, c.out);
  }
}

TEST(Dispatcher, TraceFramesTheRunFromMainCalledToMainReturning) {
  ScratchDir scratch;
  Installation install(scratch);
  RunResult run = runProgram(install.program, {"state"});
  ASSERT_EQ(run.exitCode, 255);
  std::vector<std::string> messages = logMessages(install.logPath());
  ASSERT_EQ(messages.size(), 5u);
  EXPECT_EQ(messages[0].rfind("--------------- FIRST LOG MESSAGE FROM '", 0), 0u);
  EXPECT_EQ(messages[1], "main called.");
  EXPECT_EQ(messages[2], "  argv[0] = '" + install.program + "'");
  EXPECT_EQ(messages[3], "  argv[1] = 'state'");
  EXPECT_EQ(messages[4], "main returning -1.");
}

TEST(Dispatcher, NoArgumentStillTracesEntryZero) {
  ScratchDir scratch;
  Installation install(scratch);
  runProgram(install.program, {});
  std::vector<std::string> messages = logMessages(install.logPath());
  ASSERT_EQ(messages.size(), 4u);
  EXPECT_EQ(messages[1], "main called.");
  EXPECT_EQ(messages[3], "main returning -1.");
}

TEST(Dispatcher, ExtraArgumentsAreTracedAndTheUsageCheckCountsOnlyWhatIsNeeded) {
  ScratchDir scratch;
  Installation install(scratch);
  RunResult run = runProgram(install.program, {"cleanup", "--debug"});
  // "--debug" in the position of an argument is that argument.
  EXPECT_NE(run.out, "Subcommand cleanup requires service name.\n");
  std::vector<std::string> messages = logMessages(install.logPath());
  EXPECT_TRUE(logHas(messages, "  argv[2] = '--debug'"));
  EXPECT_EQ(messages.back().rfind("main returning ", 0), 0u);
}
} // namespace
