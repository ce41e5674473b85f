// The control handler and the stop sequence, called as the dispatcher would,
// with the stop launcher and the test server of a real installation.
#include "runtime_support.h"

#include <gtest/gtest.h>

#include "diag/debug_log.h"
#include "service/service_control.h"

namespace {
struct ServiceControl : testing::Test {
  ServiceBed bed;

  void SetUp() override {
    bed.resolve();
    bed.registerService();
    bed.registerHandler(serviceHandler);
    terminationEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    eventSource = RegisterEventSourceA(nullptr, bed.name.c_str());
    currentServiceState = SERVICE_RUNNING;
    endRequested = 0;
    debug("test set up"); // the log's banner goes before what the tests look at
  }

  void TearDown() override { EXPECT_TRUE(waitForIdle()); }

  bool waitForIdle() { return eventually([] { return stopInProgress.load() == 0; }, 30000); }
  bool terminated() { return WaitForSingleObject(terminationEvent.load(), 0) == WAIT_OBJECT_0; }
  std::string shutdownEvent() const { return "0 MSG_SERVER_SHUTDOWN [" + bed.inst.rootWin + "]"; }
  std::string stopFailedEvent() const { return "1 MSG_STOP_FAILED [" + bed.inst.rootWin + "]"; }

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

  // Stop-pending reports with check points first..last, wait hint 10000.
  static std::vector<std::string> loopReports(int first, int last) {
    std::vector<std::string> out;
    for (int cp = first; cp <= last; ++cp)
      out.push_back("3 0 0 " + std::to_string(cp) + " 10000 261");
    return out;
  }
};
} // namespace

// An interrogate repeats the last report the SCM took, whatever the lock
// shows: only supervision, with its re-probes, decides that the server is gone.
TEST_F(ServiceControl, InterrogateRepeatsTheLastReportAndNeverEndsTheService) {
  serviceHandler(SERVICE_CONTROL_INTERROGATE); // nothing reported yet: nothing to repeat
  EXPECT_TRUE(bed.statuses().empty());
  EXPECT_TRUE(logHas(bed.log(), "No service status to repeat: none has been reported yet."));

  pid_t server = bed.startServer();
  EXPECT_EQ(0, updateServiceStatus(SERVICE_RUNNING, 0, 0, 7, 0, serviceStatusSlot));
  bed.killServer(server);
  EXPECT_EQ(std::vector<std::string>({"serviceHandler called with controlCode=4.",
                                      "serviceHandler: interrogate.",
                                      "serviceHandler returning."}),
            linesOf([] { serviceHandler(SERVICE_CONTROL_INTERROGATE); }));
  EXPECT_EQ(std::vector<std::string>({"4 0 0 7 0 261", "4 0 0 7 0 261"}), bed.statuses());
  EXPECT_TRUE(bed.events().empty());
  EXPECT_FALSE(terminated());
  EXPECT_EQ(0, countOf(bed.log(), "Determining if the server is running."));

  // Supervision's report of the lost server is the one end; an interrogate
  // after it sends nothing.
  EXPECT_TRUE(reportStoppedOutsideScm());
  EXPECT_FALSE(reportStoppedOutsideScm());
  serviceHandler(SERVICE_CONTROL_INTERROGATE);
  EXPECT_EQ(std::vector<std::string>({"4 0 0 7 0 261", "4 0 0 7 0 261", "1 1066 -1 0 0 261"}),
            bed.statuses());
  EXPECT_EQ(std::vector<std::string>({"1 MSG_STOPPED_OUTSIDE_SCM [" + bed.inst.rootWin + "]"}),
            bed.events());
  EXPECT_TRUE(terminated());
  EXPECT_EQ(1, countOf(bed.log(), "Not reporting the service status 1: the service has already "
                                  "stopped."));
  EXPECT_TRUE(standinScmLateStatuses(bed.name.c_str()).empty());
}

TEST_F(ServiceControl, PauseContinueAndUnknownCodesOnlyTrace) {
  EXPECT_EQ(std::vector<std::string>({"serviceHandler called with controlCode=2.",
                                      "serviceHandler: pause.", "serviceHandler returning."}),
            linesOf([] { serviceHandler(SERVICE_CONTROL_PAUSE); }));
  EXPECT_EQ(std::vector<std::string>({"serviceHandler called with controlCode=3.",
                                      "serviceHandler: continue.", "serviceHandler returning."}),
            linesOf([] { serviceHandler(SERVICE_CONTROL_CONTINUE); }));
  EXPECT_EQ(std::vector<std::string>(
                {"serviceHandler called with controlCode=200.", "serviceHandler returning."}),
            linesOf([] { serviceHandler(200); }));
  EXPECT_TRUE(bed.statuses().empty());
  EXPECT_EQ((DWORD)SERVICE_RUNNING, currentServiceState.load());
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

TEST_F(ServiceControl, StopLauncherMakesTheServerRelease) {
  bed.startServer();
  serviceHandler(SERVICE_CONTROL_STOP);
  ASSERT_TRUE(waitForIdle());
  EXPECT_FALSE(lockHeld(bed.lockFile()));
  std::vector<std::string> statuses = bed.statuses();
  EXPECT_EQ("3 0 0 1 30000 261", statuses.front());
  EXPECT_EQ("1 0 0 0 0 261", statuses.back());
  EXPECT_EQ(std::vector<std::string>({shutdownEvent()}), bed.events());
  EXPECT_TRUE(terminated());
  EXPECT_EQ((DWORD)SERVICE_STOPPED, currentServiceState.load());
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
}

// A stop whose server never lets go leaves the service running; the next
// stop starts afresh. A shutdown that comes while it fails is not absorbed:
// once the stop's budget is spent the service ends, with an error.
TEST_F(ServiceControl, StopNeverReleasedRunsAgainUnlessTheSystemEndsMeanwhile) {
  ServiceBed::setTimeScale(0.05); // the stop loop runs about 3 s
  bed.startServer();
  writeWholeFile(bed.inst.root + "/lib/winlauncher.ignore", "");
  serviceHandler(SERVICE_CONTROL_STOP);
  ASSERT_TRUE(eventually([&] { return bed.statuses().size() >= 3; }));
  // A second stop while the first runs changes nothing.
  EXPECT_EQ(std::vector<std::string>({"serviceHandler called with controlCode=1.",
                                      "serviceHandler: a stop is already in progress.",
                                      "serviceHandler returning."}),
            linesOf([] { serviceHandler(SERVICE_CONTROL_STOP); }));
  ASSERT_TRUE(waitForIdle());

  std::vector<std::string> expected = {"3 0 0 1 30000 261"};
  for (const std::string &s : loopReports(2, 31))
    expected.push_back(s);
  expected.push_back("4 0 0 0 0 261");
  EXPECT_EQ(expected, bed.statuses());
  EXPECT_EQ(std::vector<std::string>({stopFailedEvent()}), bed.events());
  EXPECT_FALSE(terminated());
  EXPECT_EQ((DWORD)SERVICE_RUNNING, currentServiceState.load());
  std::vector<std::string> log = bed.log();
  EXPECT_TRUE(logHas(log, "doStopApplication: server NOT stopped."));
  EXPECT_TRUE(logHas(log, "serviceHandler: The server could not be stopped."));
  EXPECT_EQ(0, countOf(log, "Faking a service termination so serviceMain can return."));

  serviceHandler(SERVICE_CONTROL_STOP);
  ASSERT_TRUE(eventually([&] { return bed.statuses().size() >= expected.size() + 3; }));
  EXPECT_EQ(std::vector<std::string>({"serviceHandler called with controlCode=5.",
                                      "serviceHandler: shutdown",
                                      "serviceHandler: a stop is already in progress.",
                                      "serviceHandler returning."}),
            linesOf([] { serviceHandler(SERVICE_CONTROL_SHUTDOWN); }));
  ASSERT_TRUE(waitForIdle());
  std::vector<std::string> statuses = bed.statuses();
  ASSERT_EQ(expected.size() * 2, statuses.size());
  EXPECT_EQ("3 0 0 1 30000 261", statuses[expected.size()]);
  EXPECT_EQ("3 0 0 31 10000 261", statuses[statuses.size() - 2]);
  EXPECT_EQ("1 1066 -1 0 0 261", statuses.back());
  EXPECT_TRUE(terminated());
  EXPECT_EQ(std::vector<std::string>({stopFailedEvent(), stopFailedEvent()}), bed.events());
}

TEST_F(ServiceControl, ShutdownRunsOnTheCallingThreadAndEndsTheServiceEvenWhenItFails) {
  bed.startServer();
  writeWholeFile(bed.inst.root + "/lib/winlauncher.ignore", "");
  serviceHandler(SERVICE_CONTROL_SHUTDOWN); // returns only when the sequence is over
  EXPECT_EQ(0, stopInProgress.load());
  std::vector<std::string> statuses = bed.statuses();
  ASSERT_EQ(32u, statuses.size());
  EXPECT_EQ("3 0 0 31 10000 261", statuses[30]);
  EXPECT_EQ("1 1066 -1 0 0 261", statuses.back());
  EXPECT_TRUE(terminated());
  EXPECT_EQ(std::vector<std::string>({stopFailedEvent()}), bed.events());
  EXPECT_TRUE(logHas(bed.log(), "Faking a service termination so serviceMain can return."));
}

// A preshutdown stops like a stop (on the stop thread, the handler returns at
// once) and ends like a shutdown; the one-stop guard covers it.
TEST_F(ServiceControl, PreshutdownRunsOnTheStopThreadAndEndsTheServiceEvenWhenItFails) {
  bed.startServer();
  writeWholeFile(bed.inst.root + "/lib/winlauncher.ignore", "");
  EXPECT_EQ(std::vector<std::string>({"serviceHandler called with controlCode=15.",
                                      "serviceHandler: preshutdown", "serviceHandler: stop",
                                      "serviceHandler returning."}),
            linesOf([] { serviceHandler(SERVICE_CONTROL_PRESHUTDOWN); }));
  // While it runs: the SCM refuses a stop; one that reached the handler
  // would change nothing.
  EXPECT_EQ((DWORD)ERROR_SERVICE_CANNOT_ACCEPT_CTRL,
            standinScmControlRefusal(bed.current(), SERVICE_CONTROL_STOP));
  EXPECT_EQ(std::vector<std::string>({"serviceHandler called with controlCode=1.",
                                      "serviceHandler: a stop is already in progress.",
                                      "serviceHandler returning."}),
            linesOf([] { serviceHandler(SERVICE_CONTROL_STOP); }));
  ASSERT_TRUE(waitForIdle());
  std::vector<std::string> statuses = bed.statuses();
  ASSERT_EQ(32u, statuses.size());
  EXPECT_EQ("3 0 0 1 30000 261", statuses[0]);
  EXPECT_EQ("3 0 0 31 10000 261", statuses[30]);
  EXPECT_EQ("1 1066 -1 0 0 261", statuses.back());
  EXPECT_TRUE(terminated());
  EXPECT_EQ((DWORD)SERVICE_STOPPED, currentServiceState.load());
  EXPECT_EQ(std::vector<std::string>({stopFailedEvent()}), bed.events());
  EXPECT_EQ(1, countOf(bed.log(), "doStopApplication"));
}

TEST_F(ServiceControl, TheExtendedHandlerForwardsEveryControl) {
  EXPECT_EQ((DWORD)NO_ERROR, serviceHandlerEx(SERVICE_CONTROL_PAUSE, 0, nullptr, nullptr));
  EXPECT_EQ((DWORD)ERROR_CALL_NOT_IMPLEMENTED, serviceHandlerEx(200, 0, nullptr, nullptr));
  EXPECT_EQ(std::vector<std::string>({"serviceHandler called with controlCode=4.",
                                      "serviceHandler: interrogate.",
                                      "serviceHandler returning."}),
            linesOf([] {
              EXPECT_EQ((DWORD)NO_ERROR,
                        serviceHandlerEx(SERVICE_CONTROL_INTERROGATE, 0, nullptr, nullptr));
            }));
  EXPECT_EQ(3, countOf(bed.log(), "serviceHandler returning."));
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
  EXPECT_EQ(0, stopInProgress.load());
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
