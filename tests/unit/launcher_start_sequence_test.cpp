// The start sequence: the script, its wait, the probe loop and the
// start-pending reports, with both environment variables.
#include "runtime_support.h"

#include "launcher/start_sequence.h"

namespace {
void WINAPI ignoreControl(DWORD) {}

struct StartSequence : testing::Test {
  ServiceBed bed;
  DWORD checkPoint = 2;

  void SetUp() override {
    unsetenv("VELKOR_WINDOWS_SERVICE_STARTDS_WAIT");
    unsetenv("VELKOR_WINDOWS_SERVICE_START_NTRIES");
    bed.resolve();
    bed.registerService();
    bed.registerHandler(ignoreControl);
  }

  int run() { return doStartApplication(serviceStatusSlot, &checkPoint); }
  std::string command() const {
    return "\"" + bed.inst.rootWin + "\\bat\\start-ds.bat\" --windowsNetStart";
  }
};
} // namespace

TEST_F(StartSequence, ScriptStartsTheServerAndOneProbeSeesIt) {
  EXPECT_EQ(0, run());
  EXPECT_EQ(4u, checkPoint);
  EXPECT_EQ(std::vector<std::string>({"2 0 0 2 330000 0", "2 0 0 3 10000 0"}), bed.statuses());
  EXPECT_EQ("--windowsNetStart\n", bed.scriptCalls());
  EXPECT_TRUE(lockHeld(bed.lockFile()));
  std::vector<std::string> log = bed.log();
  for (const char *line :
       {"doStartApplication", "doStartApplication: VELKOR_WINDOWS_SERVICE_STARTDS_WAIT is not set. "
                              "Using default 300000 milliseconds.",
        "doStartApplication: waited properly for process end.",
        "doStartApplication: exit code of script: 0",
        "VELKOR_WINDOWS_SERVICE_START_NTRIES is not set.  Using default 100 tries.",
        "doStartApplication: server running."})
    EXPECT_TRUE(logHas(log, line)) << line;
  EXPECT_TRUE(logHas(log, "doStartApplication: Launching batch file: " + command()));
  EXPECT_EQ(0, countOf(log, "doStartApplication: the spawn of the batch command worked.  "
                            "Command: '" + command() + "'"));
}

TEST_F(StartSequence, ScriptFailingEndsTheStartWithoutAProbe) {
  bed.script(Script::Exit3);
  EXPECT_EQ(kStartFailed, run());
  EXPECT_EQ(3u, checkPoint);
  EXPECT_EQ(std::vector<std::string>({"2 0 0 2 330000 0"}), bed.statuses());
  std::vector<std::string> log = bed.log();
  EXPECT_TRUE(logHas(log, "doStartApplication: exit code of script: 3"));
  EXPECT_EQ("doStartApplication: batch command spawn failed.  Sent command: '" + command() + "'",
            log.back());
  EXPECT_EQ(0, countOf(log, "Determining if the server is running."));
}

TEST_F(StartSequence, MissingLockFileAtTheFirstProbeEndsTheLoop) {
  bed.script(Script::Exit0);
  EXPECT_EQ(kStartUnconfirmed, run()); // the script ended well
  EXPECT_EQ(4u, checkPoint);
  EXPECT_EQ(2u, bed.statuses().size());
  std::vector<std::string> log = bed.log();
  EXPECT_EQ("doStartApplication: server not running.", log.back());
  EXPECT_EQ(1, countOf(log, "Determining if the server is running."));
}

// Each try ends with its sleep, the last one too; tries below one mean 100.
TEST_F(StartSequence, TriesUsedUpEndWithTheirSleepAndBelowOneMeanOneHundred) {
  ServiceBed::setTimeScale(0.0005);
  bed.script(Script::Exit0);
  bed.startServer(false); // the lock file exists, nobody holds it
  std::vector<std::string> log;
  for (const std::string value : {"1", "0", "-4", "abc"}) {
    SCOPED_TRACE(value);
    setenv("VELKOR_WINDOWS_SERVICE_START_NTRIES", value.c_str(), 1);
    checkPoint = 2;
    EXPECT_EQ(kStartUnconfirmed, run()); // the script ended well
    EXPECT_EQ(2u + 1u + (value == "1" ? 1u : 100u), checkPoint);
    log = bed.log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ("Sleeping for 5 seconds to allow the process to get the lock.  0 tries remaining.",
              log[log.size() - 2]);
    EXPECT_EQ("doStartApplication: server not running.", log.back());
    if (value == "1") {
      EXPECT_TRUE(logHas(log, "VELKOR_WINDOWS_SERVICE_START_NTRIES env var set to 1"));
      EXPECT_EQ(std::vector<std::string>({"2 0 0 2 330000 0", "2 0 0 3 10000 0"}), bed.statuses());
    }
  }
  EXPECT_EQ(3, countOf(log, "Sleeping for 5 seconds to allow the process to get the lock.  "
                            "99 tries remaining."));
}

TEST_F(StartSequence, ScriptWaitIsParsedAndItsHintComputedIn32Bits) {
  bed.script(Script::Exit3); // no probes: the wait and its report are what count
  struct Case {
    const char *value;
    const char *waitLine;
    DWORD hint;
  } cases[] = {
      {"0", "waitForProcess: wait time is: 300000", 330000},
      {"abc", "waitForProcess: wait time is: 300000", 330000},
      {"120000xyz", "waitForProcess: wait time is: 120000", 150000},
      {"-1", "waitForProcess: wait time is: -1", 29999},
      {"99999999999", "waitForProcess: wait time is: 2147483647", 2147513647u},
      {"-99999999999", "waitForProcess: wait time is: -2147483648", 2147513648u},
  };
  for (const Case &c : cases) {
    setenv("VELKOR_WINDOWS_SERVICE_STARTDS_WAIT", c.value, 1);
    EXPECT_EQ(1, run());
    std::vector<SERVICE_STATUS> history = standinScmStatusHistory(bed.name.c_str());
    EXPECT_EQ(c.hint, history.back().dwWaitHint) << c.value;
    std::vector<std::string> log = bed.log();
    EXPECT_TRUE(logHas(log, std::string("doStartApplication: VELKOR_WINDOWS_SERVICE_STARTDS_WAIT "
                                        "env var set to ") + c.value));
    EXPECT_TRUE(logHas(log, c.waitLine)) << c.value;
  }
}

TEST_F(StartSequence, ServerTakingItsLockDuringTheThirdSleepIsSeenByTheFourthProbe) {
  ServiceBed::setTimeScale(0.1);
  bed.script(Script::Exit0);
  writeWholeFile(bed.inst.root + "/bat/start-ds.bat", "#!/bin/sh\nsleep 3\n");
  setenv("VELKOR_WINDOWS_SERVICE_STARTDS_WAIT", "100", 1);
  bed.startServer(false);
  std::thread start;
  int started = -1;
  EXPECT_TRUE(bed.beforeTheProbeAfter(
      "Sleeping for 5 seconds to allow the process to get the lock.  97 tries remaining.",
      [&] { start = std::thread([&] { started = run(); }); }, [&] { bed.startServer(); }));
  start.join();
  EXPECT_EQ(0, started);
  std::vector<std::string> log = bed.log();
  EXPECT_TRUE(logHas(log, "waitForProcess: Process timed out."));
  EXPECT_TRUE(logHas(log, "doStartApplication: the spawn of the batch command worked.  "
                          "Command: '" + command() + "'"));
  EXPECT_EQ(0, countOf(log, "doStartApplication: waited properly for process end."));
  EXPECT_EQ(4, countOf(log, "Determining if the server is running."));
  EXPECT_EQ(7u, checkPoint); // the script's report and four probes
}

TEST_F(StartSequence, WithoutASlotNothingIsReportedAndTheCounterStays) {
  EXPECT_EQ(0, doStartApplication(nullptr, &checkPoint));
  EXPECT_EQ(2u, checkPoint);
  EXPECT_EQ(0, doStartApplication(serviceStatusSlot, nullptr));
  EXPECT_TRUE(bed.statuses().empty());
}
