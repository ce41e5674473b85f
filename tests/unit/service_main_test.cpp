// serviceMain and `start` inside the test process: the stand-in dispatcher
// runs the service as the SCM would, the test drives it with controls and the
// server, and reads back every status and event in order.
#include "runtime_support.h"

#include <gtest/gtest.h>

#include "cli/commands.h"
#include "service/service_control.h"
#include "service/service_main.h"

namespace {
struct ServiceMain : ServiceRun {
  std::string event(int type, const char *symbol) const {
    return std::to_string(type) + " " + symbol + " [" + bed.inst.rootWin + "]";
  }

  // Waits for RUNNING, then stops the service with the launcher.
  std::function<void()> runThenStop() {
    return [this] {
      EXPECT_TRUE(bed.waitForState(SERVICE_RUNNING));
      bed.control(SERVICE_CONTROL_STOP);
    };
  }

  static std::vector<std::string> head(const std::vector<std::string> &all, size_t n) {
    return std::vector<std::string>(all.begin(), all.begin() + (long)std::min(n, all.size()));
  }
};

const std::vector<std::string> kStartReports = {"2 0 0 1 5000 0", "2 0 0 2 330000 0",
                                                "2 0 0 3 10000 0"};
} // namespace

TEST_F(ServiceMain, NormalStartRunsAndStops) {
  EXPECT_EQ(0, runService(runThenStop()));
  std::vector<std::string> statuses = bed.statuses();
  std::vector<std::string> expected = kStartReports;
  expected.push_back("4 0 0 4 0 261");
  expected.push_back("3 0 0 1 30000 261");
  EXPECT_EQ(expected, head(statuses, expected.size()));
  EXPECT_EQ("1 0 0 0 0 261", statuses.back());
  EXPECT_EQ(1, std::count(statuses.begin(), statuses.end(), "1 0 0 0 0 261"));
  EXPECT_EQ(std::vector<std::string>({event(0, "MSG_SERVER_STARTED"),
                                      event(0, "MSG_SERVER_SHUTDOWN")}),
            bed.events());
  EXPECT_FALSE(lockHeld(bed.lockFile()));
  EXPECT_EQ("--windowsNetStart\n", bed.scriptCalls());
  EXPECT_EQ(0, bed.current().dwCheckPoint);

  std::vector<std::string> log = bed.log();
  EXPECT_TRUE(logHas(log, "Refresh period in seconds is 10."));
  EXPECT_TRUE(logHas(log, "Registering the service handler for '" + bed.name + "'"));
  EXPECT_TRUE(logHas(log, "registerServiceHandler returning '0'"));
  // The event source goes only after the stop sequence's last event.
  auto at = [&](const std::string &line) {
    return std::find(log.begin(), log.end(), line) - log.begin();
  };
  EXPECT_LT(at("serviceMain returning."), at("Deregistering the Event Log."));
  EXPECT_EQ("Deregistering the Event Log.", log[log.size() - 1]);
  EXPECT_EQ(0, standinOpenHandleCount(kStandinEventSource));
  EXPECT_EQ(nullptr, instanceDir);
}

TEST_F(ServiceMain, ServerAlreadyRunningIsAdoptedWithoutTheScript) {
  bed.startServer();
  EXPECT_EQ(0, runService(runThenStop()));
  std::vector<std::string> expected = {"2 0 0 1 5000 0", "2 1066 0 0 0 0", "4 0 0 2 0 261",
                                       "3 0 0 1 30000 261"};
  EXPECT_EQ(expected, head(bed.statuses(), expected.size()));
  EXPECT_EQ("", bed.scriptCalls());
  EXPECT_EQ(event(0, "MSG_SERVER_STARTED"), bed.events().front());
}

TEST_F(ServiceMain, FailedScriptStopsTheServiceWithItsEvent) {
  bed.script(Script::Exit3);
  EXPECT_EQ(0, runService([] {}));
  EXPECT_EQ(std::vector<std::string>({"2 0 0 1 5000 0", "2 0 0 2 330000 0", "1 1066 -1 0 0 261"}),
            bed.statuses());
  EXPECT_EQ(std::vector<std::string>({event(1, "MSG_START_FAILED")}), bed.events());
  EXPECT_TRUE(logHas(bed.log(), "ERROR:  serviceMain: doStartApplication() failed"));
}

TEST_F(ServiceMain, WithoutATerminationEventTheStartFails) {
  standinFailCall("CreateEventA", ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(0, runService([] {}));
  EXPECT_EQ(std::vector<std::string>({"2 0 0 1 5000 0", "2 1066 0 0 0 0", "1 1066 -1 0 0 261"}),
            bed.statuses());
  EXPECT_EQ("", bed.scriptCalls());
  EXPECT_EQ(std::vector<std::string>({event(1, "MSG_START_FAILED")}), bed.events());
  EXPECT_TRUE(logHas(bed.log(), "ERROR:  serviceMain: could not create the termination event.  "
                                "Last error = 8."));
}

// The program cannot find its own service by its command line (here: the
// service was registered under another command line): the name the SCM
// passed to serviceMain still lets it report the failed start.
TEST_F(ServiceMain, WithoutItsOwnNameTheServiceReportsAFailedStartUnderTheScmsName) {
  {
    StandinScmLock lock;
    StandinService service;
    standinScmLoad(bed.name.c_str(), &service);
    service.binaryPath = "\"C:\\elsewhere\\velkor_service.exe\" start \"C:\\elsewhere\"";
    standinScmSave(service);
  }
  // runStart finds no name either; the dispatcher is called as the SCM would.
  SERVICE_TABLE_ENTRYA table[2] = {{&bed.name[0], serviceMain}, {nullptr, nullptr}};
  eventSource = RegisterEventSourceA(nullptr, bed.name.c_str());
  bed.resolve();
  EXPECT_TRUE(StartServiceCtrlDispatcherA(table)); // returns: the end was reported
  EXPECT_TRUE(waitForServiceThreads());
  EXPECT_EQ(std::vector<std::string>({"2 0 0 1 5000 0", "2 1066 0 0 0 0", "1 1066 -1 0 0 261"}),
            bed.statuses());
  EXPECT_EQ(std::vector<std::string>({event(1, "MSG_START_FAILED")}), bed.events());
  std::vector<std::string> log = bed.log();
  EXPECT_TRUE(logHas(log, "serviceMain: could not get service name."));
  EXPECT_TRUE(logHas(log, "Registering the service handler for '" + bed.name + "'"));
  EXPECT_EQ("", bed.scriptCalls());
}

TEST_F(ServiceMain, ServerDyingOutsideTheScmStopsTheServiceWithAnError) {
  EXPECT_EQ(0, runService([this] {
    EXPECT_TRUE(bed.waitForState(SERVICE_RUNNING));
    bed.killScriptServer();
  }));
  std::vector<std::string> statuses = bed.statuses();
  EXPECT_EQ("4 0 0 4 0 261", statuses[3]);
  EXPECT_EQ("1 1066 -1 0 0 261", statuses.back());
  EXPECT_EQ(5u, statuses.size());
  EXPECT_EQ(std::vector<std::string>(
                {event(0, "MSG_SERVER_STARTED"), event(1, "MSG_STOPPED_OUTSIDE_SCM")}),
            bed.events());
  std::vector<std::string> log = bed.log();
  EXPECT_TRUE(logHas(log, "Successfully opened the Service Control Manager."));
  EXPECT_TRUE(logHas(log, "checking in serviceMain serviceHandler: service stopped with error."));
  // Verbose probes: serviceMain's first, the start sequence's one, the three re-probes.
  EXPECT_EQ(5, countOf(log, "Determining if the server is running."));
}

TEST_F(ServiceMain, ServerDyingWhileTheScmStopsTheServiceWritesNoEvent) {
  EXPECT_EQ(0, runService([this] {
    EXPECT_TRUE(bed.waitForState(SERVICE_RUNNING));
    {
      StandinScmLock lock; // the SCM shows the service stop-pending
      StandinService service;
      standinScmLoad(bed.name.c_str(), &service);
      service.status.dwCurrentState = SERVICE_STOP_PENDING;
      standinScmSave(service);
    }
    bed.killScriptServer();
  }));
  EXPECT_EQ("1 0 0 0 0 261", bed.statuses().back());
  EXPECT_EQ(std::vector<std::string>({event(0, "MSG_SERVER_STARTED")}), bed.events());
  EXPECT_EQ(0, countOf(bed.log(), "checking in serviceMain serviceHandler: service stopped with "
                                  "error."));
}

TEST_F(ServiceMain, ServerComingBackDuringTheReprobesKeepsTheServiceRunning) {
  ServiceBed::setTimeScale(0.25); // re-probes 500 ms apart: room for the server to return
  pid_t first = bed.startServer();
  EXPECT_EQ(0, runService([&] {
    EXPECT_TRUE(bed.waitForState(SERVICE_RUNNING));
    size_t probes = countOf(bed.log(), "Determining if the server is running.");
    bed.killServer(first);
    // The first verbose re-probe has found the lock free: the server returns.
    EXPECT_TRUE(eventually(
        [&] { return countOf(bed.log(), "Determining if the server is running.") > (int)probes; }));
    bed.startServer();
    EXPECT_TRUE(eventually([&] {
      return countOf(bed.log(), "Determining if the server is running.") >= (int)probes + 2;
    }));
    bed.control(SERVICE_CONTROL_STOP);
  }));
  EXPECT_EQ(std::vector<std::string>({"2 0 0 1 5000 0", "2 1066 0 0 0 0", "4 0 0 2 0 261",
                                      "3 0 0 1 30000 261"}),
            head(bed.statuses(), 4));
  EXPECT_EQ(std::vector<std::string>({event(0, "MSG_SERVER_STARTED"),
                                      event(0, "MSG_SERVER_SHUTDOWN")}),
            bed.events());
}

TEST_F(ServiceMain, ShutdownRunsOnTheDispatchersThread) {
  EXPECT_EQ(0, runService([this] {
    EXPECT_TRUE(bed.waitForState(SERVICE_RUNNING));
    bed.control(SERVICE_CONTROL_INTERROGATE);
    bed.control(SERVICE_CONTROL_SHUTDOWN);
    // Acknowledged only once the handler, and so the whole sequence, is done.
    EXPECT_EQ((DWORD)SERVICE_STOPPED, bed.current().dwCurrentState);
  }));
  std::vector<std::string> statuses = bed.statuses();
  EXPECT_EQ("4 0 0 0 0 261", statuses[4]); // the interrogate's answer
  EXPECT_EQ("3 0 0 1 30000 261", statuses[5]);
  EXPECT_EQ("1 0 0 0 0 261", statuses.back());
  std::vector<std::string> log = bed.log();
  auto shutdown = std::find(log.begin(), log.end(), "serviceHandler: shutdown");
  auto stopped = std::find(shutdown, log.end(), "doStopApplication: server stopped.");
  auto returned = std::find(shutdown, log.end(), "serviceHandler returning.");
  EXPECT_LT(stopped, returned); // the handler returns after the whole sequence
  EXPECT_EQ(event(0, "MSG_SERVER_SHUTDOWN"), bed.events().back());
}

TEST_F(ServiceMain, PreshutdownStopsTheServiceFromTheStopThread) {
  EXPECT_EQ(0, runService([this] {
    EXPECT_TRUE(bed.waitForState(SERVICE_RUNNING));
    EXPECT_EQ(0u, bed.control(SERVICE_CONTROL_PRESHUTDOWN));
  }));
  std::vector<std::string> statuses = bed.statuses();
  std::vector<std::string> expected = kStartReports;
  expected.push_back("4 0 0 4 0 261");
  expected.push_back("3 0 0 1 30000 261");
  expected.push_back("3 0 0 2 10000 261");
  EXPECT_EQ(expected, head(statuses, expected.size()));
  EXPECT_EQ("1 0 0 0 0 261", statuses.back());
  std::vector<std::string> log = bed.log();
  auto preshutdown = std::find(log.begin(), log.end(), "serviceHandler: preshutdown");
  auto returned = std::find(preshutdown, log.end(), "serviceHandler returning.");
  auto stopped = std::find(preshutdown, log.end(), "doStopApplication: server stopped.");
  EXPECT_LT(returned, stopped); // the handler does not wait for the sequence
  EXPECT_NE(log.end(), stopped);
  EXPECT_EQ(std::vector<std::string>({event(0, "MSG_SERVER_STARTED"),
                                      event(0, "MSG_SERVER_SHUTDOWN")}),
            bed.events());
  EXPECT_FALSE(lockHeld(bed.lockFile()));
}

struct RefreshPeriod : ServiceMain, testing::WithParamInterface<std::pair<const char *, int>> {};

TEST_P(RefreshPeriod, IsParsedAndUsed) {
  if (GetParam().first)
    setenv("VELKOR_WINDOWS_SERVICE_REFRESH_PERIOD", GetParam().first, 1);
  bed.startServer();
  EXPECT_EQ(0, runService(runThenStop()));
  std::vector<std::string> log = bed.log();
  EXPECT_TRUE(logHas(log, "Refresh period in seconds is " + std::to_string(GetParam().second) + "."));
  EXPECT_EQ("1 0 0 0 0 261", bed.statuses().back());
  // With 0 the service waits only for the stop sequence once it runs, and
  // leaves that wait without a word.
  if (GetParam().second == 0) {
    EXPECT_FALSE(logHas(log, "The application has exited."));
  }
}

INSTANTIATE_TEST_SUITE_P(Values, RefreshPeriod,
                         testing::Values(std::make_pair(nullptr, 10), std::make_pair("-5", 10),
                                         std::make_pair("15s", 15), std::make_pair("abc", 0),
                                         std::make_pair("0", 0)));

TEST_F(ServiceMain, RefreshPeriodBeyond32BitMillisecondsIsClampedNotWrapped) {
  // 4294968 s is 4294968000 ms, which wrapped to 32 bits would be 704 ms.
  setenv("VELKOR_WINDOWS_SERVICE_REFRESH_PERIOD", "4294968", 1);
  bed.startServer();
  EXPECT_EQ(0, runService([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // 30 s at this time scale
    // Still start-pending, so the SCM would refuse a stop (no control is
    // accepted yet); the test ends the wait itself.
    EXPECT_EQ((DWORD)ERROR_INVALID_SERVICE_CONTROL, bed.control(SERVICE_CONTROL_STOP));
    SetEvent(terminationEvent.load());
  }));
  EXPECT_EQ(std::vector<std::string>({"2 0 0 1 5000 0", "2 1066 0 0 0 0", "1 0 0 0 0 261"}),
            bed.statuses());
  EXPECT_TRUE(bed.events().empty());
}

// `start`'s wait for the service's threads ends after the longest stop
// sequence (62 s) of elapsed time, however long each of its sleeps really
// lasts: at time scale 0 a sleep takes no time of its own, the clock still
// runs, and counting 10 ms sleeps would wait for 6200 of them.
TEST_F(ServiceMain, TheWaitForTheServiceThreadsIsBoundedByElapsedTime) {
  ServiceBed::setTimeScale(0);
  stopInProgress = 1;
  int sleeps = standinCallCount("Sleep");
  DWORD started = GetTickCount();
  EXPECT_FALSE(waitForServiceThreads());
  EXPECT_GE(GetTickCount() - started, 62000u);
  EXPECT_LT(standinCallCount("Sleep") - sleeps, 6200);
  stopInProgress = 0;
  EXPECT_TRUE(waitForServiceThreads());
}
