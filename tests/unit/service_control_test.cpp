// The control handler and the stop sequence, called as the dispatcher would,
// with the stop launcher and the test server of a real installation: what
// one control does on its own. How stops, system ends and the server's death
// race one another in a running service is checked where serviceMain runs
// (the Orderings table).
// Run under TSan as well: the guard, the state and the event are shared.
#include "runtime_support.h"

#include <gtest/gtest.h>

#include "diag/debug_log.h"
#include "service/service_control.h"

namespace {
struct ServiceControl : testing::Test {
  ServiceBed bed;

  void SetUp() override {
    standinClearTimeline();
    bed.resolve();
    bed.registerService();
    bed.registerHandler(serviceHandler);
    ASSERT_TRUE(createServiceEvents());
    eventSource = RegisterEventSourceA(nullptr, bed.name.c_str());
    resetServiceEnd();
    debug("test set up"); // the log's banner goes before what the tests look at
  }

  void TearDown() override { EXPECT_TRUE(waitForIdle()); }

  bool waitForIdle() { return eventually([] { return !stopUnderWay(); }, 30000); }
  bool terminated() { return WaitForSingleObject(terminationEvent.load(), 0) == WAIT_OBJECT_0; }

  // The handler's lines written by `action` (a stop thread may write its own meanwhile).
  std::vector<std::string> linesOf(const std::function<void()> &action) {
    size_t before = bed.log().size();
    action();
    std::vector<std::string> after = bed.log(), out;
    for (size_t i = before; i < after.size(); ++i)
      if (startsWith(after[i], "serviceHandler"))
        out.push_back(after[i]);
    return out;
  }

  // The handler's lines for `code`: its call, what it did, its return.
  static std::vector<std::string> handled(DWORD code, const std::vector<std::string> &what) {
    std::string call = "serviceHandler called with controlCode=" + std::to_string(code) + ".";
    return joined(joined({call}, what), {"serviceHandler returning."});
  }
};
} // namespace

// An interrogate reports nothing, whatever the lock shows: the SCM answers it
// from the last report it took, and only supervision, with its re-probes,
// decides that the server is gone.
TEST_F(ServiceControl, InterrogateReportsNothingAndNeverEndsTheService) {
  pid_t server = bed.startServer();
  EXPECT_EQ(0, updateServiceStatus(SERVICE_RUNNING, 0, 0, 7, 0, serviceStatusSlot));
  bed.killServer(server);
  EXPECT_EQ(handled(4, {"serviceHandler: interrogate."}),
            linesOf([] { serviceHandler(SERVICE_CONTROL_INTERROGATE); }));
  EXPECT_EQ(std::vector<std::string>({"4 0 0 7 0 261"}), bed.statuses());
  EXPECT_TRUE(bed.events().empty());
  EXPECT_FALSE(terminated());
  EXPECT_EQ(0, countOf(bed.log(), "Determining if the server is running."));

  // Supervision's report of the lost server is the one end; nothing is sent after it.
  EXPECT_EQ(kServiceEnded, serverGone());
  EXPECT_EQ(kServiceEnded, serverGone());
  serviceHandler(SERVICE_CONTROL_INTERROGATE);
  EXPECT_EQ(kReportAfterStopped, updateServiceStatus(SERVICE_RUNNING, 0, 0, 0, 0, serviceStatusSlot));
  EXPECT_EQ(std::vector<std::string>({"4 0 0 7 0 261", "1 1066 -1 0 0 261"}), bed.statuses());
  EXPECT_EQ(std::vector<std::string>({"1 MSG_STOPPED_OUTSIDE_SCM [" + bed.inst.rootWin + "]"}),
            bed.events());
  EXPECT_TRUE(terminated());
  EXPECT_EQ(kEndReported, endOutcome());
  EXPECT_EQ(1, countOf(bed.log(), "Not reporting the service status 4: the service has already "
                                  "stopped."));
  EXPECT_TRUE(standinScmLateStatuses(bed.name.c_str()).empty());
}

// Pause, continue and unknown codes only trace; the extended handler forwards
// every control and answers an unknown one ERROR_CALL_NOT_IMPLEMENTED.
TEST_F(ServiceControl, PauseContinueAndUnknownCodesOnlyTraceThroughEitherHandler) {
  const struct {
    DWORD code, exResult;
    std::vector<std::string> lines;
  } cases[] = {
      {SERVICE_CONTROL_PAUSE, NO_ERROR, handled(2, {"serviceHandler: pause."})},
      {SERVICE_CONTROL_CONTINUE, NO_ERROR, handled(3, {"serviceHandler: continue."})},
      {200, ERROR_CALL_NOT_IMPLEMENTED, handled(200, {})},
      {SERVICE_CONTROL_INTERROGATE, NO_ERROR, handled(4, {"serviceHandler: interrogate."})},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(c.lines, linesOf([&] { serviceHandler(c.code); }));
    EXPECT_EQ(c.lines, linesOf([&] {
                EXPECT_EQ(c.exResult, serviceHandlerEx(c.code, 0, nullptr, nullptr));
              }));
  }
  EXPECT_TRUE(bed.statuses().empty());
  EXPECT_FALSE(serviceEnding());
}

// The server let its lock go before the stop came: it stopped on its own,
// and the service ends as supervision would have ended it.
TEST_F(ServiceControl, StopAfterTheServerStoppedReportsAnUnexpectedEnd) {
  bed.startServer(false);
  serviceHandler(SERVICE_CONTROL_STOP);
  ASSERT_TRUE(waitForIdle());
  EXPECT_EQ(std::vector<std::string>({"1 1066 -1 0 0 261"}), bed.statuses());
  EXPECT_EQ(std::vector<std::string>({"1 MSG_STOPPED_OUTSIDE_SCM [" + bed.inst.rootWin + "]"}),
            bed.events());
  EXPECT_TRUE(terminated());
  std::vector<std::string> log = bed.log();
  EXPECT_TRUE(logHas(log, "serviceHandler: the server had already stopped."));
  EXPECT_EQ(0, countOf(log, "doStopApplication"));
}

// A start that failed after its script ran stops what the script may have
// left running, on the calling thread, and ends with the failed start; a
// server that keeps its lock adds the failed stop.
TEST_F(ServiceControl, AFailedStartStopsWhatItLeftAndEndsWithTheStartFailure) {
  for (bool released : {true, false}) {
    SCOPED_TRACE(released ? "released" : "never released");
    bed.registerService();
    bed.registerHandler(serviceHandler);
    resetServiceEnd();
    ResetEvent(terminationEvent.load());
    pid_t server = bed.startServer();
    bed.launcherIgnoresStop(!released);
    size_t before = bed.statuses().size(), eventsBefore = bed.events().size();
    serviceStop(kStopFailedStart); // the whole sequence runs on this thread
    EXPECT_FALSE(stopUnderWay());
    std::vector<std::string> statuses = bed.statuses();
    statuses.erase(statuses.begin(), statuses.begin() + (long)before);
    // Released: from the first probe on; never: after all 30 probes.
    if (released)
      EXPECT_GE(31u, statuses.size());
    else
      EXPECT_EQ(32u, statuses.size());
    ASSERT_LE(3u, statuses.size());
    EXPECT_EQ("3 0 0 1 30000 261", statuses.front());
    EXPECT_EQ("1 1066 -1 0 0 261", statuses.back());
    std::vector<std::string> events = bed.events();
    events.erase(events.begin(), events.begin() + (long)eventsBefore);
    std::vector<std::string> expected = {bed.event(1, "MSG_START_FAILED")};
    if (!released)
      expected.push_back(bed.event(1, "MSG_STOP_FAILED"));
    EXPECT_EQ(expected, events);
    EXPECT_TRUE(terminated());
    EXPECT_NE(released, lockHeld(bed.lockFile()));
    bed.killServer(server);
  }
}

TEST_F(ServiceControl, MissingLauncherFailsAtOnceWithOnlyTheFirstReport) {
  unlink(bed.launcherPath().c_str());
  serviceHandler(SERVICE_CONTROL_STOP);
  ASSERT_TRUE(waitForIdle());
  EXPECT_EQ(std::vector<std::string>({"3 0 0 1 30000 261", "4 0 0 0 0 261"}), bed.statuses());
  EXPECT_EQ(std::vector<std::string>({bed.event(1, "MSG_STOP_FAILED")}), bed.events());
  EXPECT_TRUE(logHas(bed.log(), "doStopApplication: spawn failed.  Sent command: \"" +
                                    bed.inst.rootWin + "\\lib\\winlauncher.exe\" stop \"" +
                                    bed.inst.rootWin + "\\.\""));
}

TEST_F(ServiceControl, WithoutAStopThreadTheStopRunsOnTheHandlersThread) {
  bed.startServer();
  standinFailCall("CreateThread", ERROR_NOT_ENOUGH_MEMORY, standinCallCount("CreateThread") + 1);
  serviceHandler(SERVICE_CONTROL_STOP);
  EXPECT_FALSE(stopUnderWay());
  EXPECT_EQ("1 0 0 0 0 261", bed.statuses().back());
  EXPECT_TRUE(logHas(bed.log(), "ERROR:  Failed to create the stop thread.  Last error = 8.  "
                                "Stopping synchronously."));
}

TEST_F(ServiceControl, BeforeTheSlotIsSetControlsReportNothing) {
  serviceStatusSlot = nullptr;
  bed.startServer(false);
  serviceHandler(SERVICE_CONTROL_INTERROGATE);
  serviceHandler(SERVICE_CONTROL_STOP);
  ASSERT_TRUE(waitForIdle());
  EXPECT_TRUE(bed.statuses().empty());
  EXPECT_TRUE(terminated());
}
