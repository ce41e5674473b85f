// The control handler and the stop sequence, called as the dispatcher would,
// with the stop launcher and the test server of a real installation. A stop
// hands the sequence to its own thread, so the handler returns while it runs
// and controls and the server's end can race it. The SCM itself delivers
// nothing while the service is stop-pending; the guard still keeps a second
// sequence out when a control reaches the handler directly.
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
  std::string stopFailedEvent() const { return bed.event(1, "MSG_STOP_FAILED"); }

  // Hands the handler a control the way the SCM does: only when the state
  // the service last reported lets it through; else the SCM's refusal.
  DWORD deliver(DWORD control) {
    DWORD refusal = standinScmControlRefusal(bed.current(), control);
    if (!refusal)
      serviceHandler(control);
    return refusal;
  }

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

  // The handler's lines for a stop that comes while one runs.
  static std::vector<std::string> alreadyStopping() {
    return handled(1, {"serviceHandler: a stop is already in progress."});
  }

  // The handler's lines for `code`, whose stop is held at its first probe while `act` runs;
  // `code` is a stop or a preshutdown, whose sequence runs on the stop thread.
  std::vector<std::string> heldStop(DWORD code, const std::function<void()> &act) {
    std::vector<std::string> lines;
    EXPECT_TRUE(bed.beforeTheProbeAfter(
        bed.lockHeldLine(), [&] { lines = linesOf([code] { serviceHandler(code); }); }, act));
    return lines;
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

// The launcher makes the server let go; a shutdown and a stop that reach the
// handler while the sequence runs start nothing more.
TEST_F(ServiceControl, StopLauncherMakesTheServerReleaseAndControlsDuringItAddNothing) {
  bed.startServer();
  heldStop(SERVICE_CONTROL_STOP, [] {
    serviceHandler(SERVICE_CONTROL_SHUTDOWN);
    serviceHandler(SERVICE_CONTROL_STOP);
  });
  ASSERT_TRUE(waitForIdle());
  EXPECT_FALSE(lockHeld(bed.lockFile()));
  std::vector<std::string> statuses = bed.statuses();
  EXPECT_EQ("3 0 0 1 30000 261", statuses.front());
  EXPECT_EQ("1 0 0 0 0 261", statuses.back());
  EXPECT_EQ(std::vector<std::string>({bed.event(0, "MSG_SERVER_SHUTDOWN")}), bed.events());
  EXPECT_TRUE(terminated());
  EXPECT_EQ(kEndReported, endOutcome());
  // The launcher is not waited for; it gets its arguments all the same.
  EXPECT_TRUE(eventually([&] {
    return readWholeFile(bed.inst.root + "/lib/winlauncher.calls") ==
           "[stop] [" + bed.inst.rootWin + "\\.]\r\n";
  }));
  std::vector<std::string> log = bed.log();
  EXPECT_TRUE(logHas(log, "doStopApplication: launching '\"" + bed.inst.rootWin +
                              "\\lib\\winlauncher.exe\" stop \"" + bed.inst.rootWin + "\\.\"'."));
  EXPECT_TRUE(logHas(log, "doStopApplication: server stopped."));
  EXPECT_EQ(1, countOf(log, "Faking a service termination so serviceMain can return."));
  EXPECT_EQ(1, countOf(log, "doStopApplication"));
  EXPECT_EQ(2, countOf(log, "serviceHandler: a stop is already in progress."));
}

// A stop whose server never lets go probes 30 times, 2 s apart after a 1 s
// pause, then reports running again before it writes MSG_STOP_FAILED: the
// service runs on and the next stop starts afresh. A shutdown that comes
// while it fails is not absorbed: once the stop's budget is spent the
// service ends, with an error.
TEST_F(ServiceControl, StopNeverReleasedRunsAgainUnlessTheSystemEndsMeanwhile) {
  bed.startServer();
  bed.launcherIgnoresStop();
  heldStop(SERVICE_CONTROL_STOP, [&] { // a second stop while the first runs changes nothing
    EXPECT_EQ(alreadyStopping(), linesOf([] { serviceHandler(SERVICE_CONTROL_STOP); }));
  });
  ASSERT_TRUE(waitForIdle());

  Story story(bed);
  std::vector<std::string> stopStory = {"Sleep 1000"};
  for (int checkPoint = 2; checkPoint <= 31; ++checkPoint)
    stopStory = joined(stopStory, {"status 3 0 0 " + std::to_string(checkPoint) + " 10000 261",
                                   "Sleep 2000"});
  stopStory = joined(stopStory, {"status 4 0 0 0 0 261", "event MSG_STOP_FAILED"});
  EXPECT_EQ(stopStory, story.of(story.threadOf("Sleep", 1000)));
  std::vector<std::string> expected = {"3 0 0 1 30000 261"};
  for (const std::string &line : stopStory)
    if (startsWith(line, "status "))
      expected.push_back(line.substr(7));
  EXPECT_EQ(expected, bed.statuses());
  EXPECT_EQ(std::vector<std::string>({stopFailedEvent()}), bed.events());
  EXPECT_FALSE(terminated());
  EXPECT_EQ((DWORD)SERVICE_RUNNING, bed.current().dwCurrentState);
  std::vector<std::string> log = bed.log();
  EXPECT_TRUE(logHas(log, "doStopApplication: server NOT stopped."));
  EXPECT_TRUE(logHas(log, "serviceHandler: The server could not be stopped."));
  EXPECT_EQ(0, countOf(log, "Faking a service termination so serviceMain can return."));

  heldStop(SERVICE_CONTROL_STOP, [&] {
    EXPECT_EQ(handled(5, {"serviceHandler: shutdown",
                          "serviceHandler: a stop is already in progress."}),
              linesOf([] { serviceHandler(SERVICE_CONTROL_SHUTDOWN); }));
  });
  ASSERT_TRUE(waitForIdle());
  std::vector<std::string> statuses = bed.statuses();
  ASSERT_EQ(expected.size() * 2, statuses.size());
  EXPECT_EQ("3 0 0 1 30000 261", statuses[expected.size()]);
  EXPECT_EQ("3 0 0 31 10000 261", statuses[statuses.size() - 2]);
  EXPECT_EQ("1 1066 -1 0 0 261", statuses.back());
  EXPECT_TRUE(terminated());
  EXPECT_EQ(std::vector<std::string>({stopFailedEvent(), stopFailedEvent()}), bed.events());
}

namespace {
struct SystemEnd : ServiceControl, testing::WithParamInterface<DWORD> {};
} // namespace

// A shutdown runs the stop on the calling thread: the handler returns when
// the sequence is over. A preshutdown stops like a stop (on the stop thread,
// the handler returns at once), and the one-stop guard covers it. Either
// ends the service even when the stop fails.
TEST_P(SystemEnd, StopsOnceAndEndsTheServiceEvenWhenTheStopFails) {
  const DWORD code = GetParam();
  bed.startServer();
  bed.launcherIgnoresStop();
  if (code == SERVICE_CONTROL_SHUTDOWN) {
    serviceHandler(code); // the whole stop runs on this thread
    EXPECT_FALSE(stopUnderWay());
  } else {
    // While it runs: the SCM refuses a stop; one that reached the handler
    // would change nothing.
    std::vector<std::string> lines = heldStop(code, [&] {
      EXPECT_EQ((DWORD)ERROR_SERVICE_CANNOT_ACCEPT_CTRL,
                standinScmControlRefusal(bed.current(), SERVICE_CONTROL_STOP));
      EXPECT_EQ(alreadyStopping(), linesOf([] { serviceHandler(SERVICE_CONTROL_STOP); }));
    });
    EXPECT_EQ(handled(15, {"serviceHandler: preshutdown", "serviceHandler: stop"}), lines);
  }
  ASSERT_TRUE(waitForIdle());
  std::vector<std::string> statuses = bed.statuses();
  ASSERT_EQ(32u, statuses.size());
  EXPECT_EQ("3 0 0 1 30000 261", statuses[0]);
  EXPECT_EQ("3 0 0 31 10000 261", statuses[30]);
  EXPECT_EQ("1 1066 -1 0 0 261", statuses.back());
  EXPECT_TRUE(terminated());
  EXPECT_EQ((DWORD)SERVICE_STOPPED, bed.current().dwCurrentState);
  EXPECT_EQ(std::vector<std::string>({stopFailedEvent()}), bed.events());
  std::vector<std::string> log = bed.log();
  EXPECT_EQ(1, countOf(log, "doStopApplication"));
  EXPECT_TRUE(logHas(log, "Faking a service termination so serviceMain can return."));
}

INSTANTIATE_TEST_SUITE_P(Controls, SystemEnd,
                         testing::Values(SERVICE_CONTROL_SHUTDOWN, SERVICE_CONTROL_PRESHUTDOWN),
                         [](const testing::TestParamInfo<DWORD> &info) {
                           return info.param == SERVICE_CONTROL_SHUTDOWN ? "Shutdown"
                                                                         : "Preshutdown";
                         });

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
      expected.push_back(stopFailedEvent());
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
  EXPECT_EQ(std::vector<std::string>({stopFailedEvent()}), bed.events());
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

TEST_F(ServiceControl, InterrogatesDuringAStopAreRefusedAndNothingFollowsTheStoppedReport) {
  bed.startServer();
  {
    StandinScmLock lock; // the SCM shows the service running
    StandinService service;
    standinScmLoad(bed.name.c_str(), &service);
    service.status.dwCurrentState = SERVICE_RUNNING;
    service.status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    standinScmSave(service);
  }
  EXPECT_EQ(0, updateServiceStatus(SERVICE_RUNNING, 0, 0, 0, 0, serviceStatusSlot));
  EXPECT_EQ(0u, deliver(SERVICE_CONTROL_INTERROGATE)); // reports nothing
  int refused = 0; // at least the one while the sequence's first probe is held
  EXPECT_TRUE(bed.beforeTheProbeAfter(
      bed.lockHeldLine(), [&] { EXPECT_EQ(0u, deliver(SERVICE_CONTROL_STOP)); },
      [&] { refused = deliver(SERVICE_CONTROL_INTERROGATE) == ERROR_SERVICE_CANNOT_ACCEPT_CTRL; }));
  while (stopUnderWay())
    refused += deliver(SERVICE_CONTROL_INTERROGATE) == ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
  EXPECT_LT(0, refused);
  EXPECT_TRUE(terminated());
  EXPECT_FALSE(lockHeld(bed.lockFile()));
  EXPECT_EQ(1, countOf(bed.log(), "serviceHandler: interrogate."));
  std::vector<std::string> statuses = bed.statuses();
  EXPECT_EQ("4 0 0 0 0 261", statuses[0]);
  EXPECT_EQ("3 0 0 1 30000 261", statuses[1]);
  EXPECT_EQ("1 0 0 0 0 261", statuses.back());
  EXPECT_EQ(1, std::count(statuses.begin(), statuses.end(), "1 0 0 0 0 261"));
  EXPECT_TRUE(standinScmLateStatuses(bed.name.c_str()).empty());
}

TEST_F(ServiceControl, ServerDyingDuringTheStopCountsAsStopped) {
  pid_t server = bed.startServer();
  serviceHandler(SERVICE_CONTROL_STOP); // stop-pending: the stop thread runs
  bed.killServer(server);
  ASSERT_TRUE(waitForIdle());
  EXPECT_EQ(1, countOf(bed.log(), "doStopApplication: server stopped."));
  EXPECT_TRUE(terminated());
  EXPECT_EQ(std::vector<std::string>({bed.event(0, "MSG_SERVER_SHUTDOWN")}), bed.events());
}
