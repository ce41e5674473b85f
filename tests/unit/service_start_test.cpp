// `start` as its own process: refused by the dispatcher when no SCM started
// it, and run from end to end when the stand-in SCM starts it.
#include "runtime_support.h"

#include <gtest/gtest.h>

namespace {
struct StartProcess : testing::Test {
  ServiceBed bed;

  void SetUp() override {
    unsetenv("VELKOR_STANDIN_SERVICE");
    bed.registerService(0); // registered, not running
    unsetenv("VELKOR_STANDIN_SERVICE");
  }

  RunResult sc(const std::vector<std::string> &args) {
    return runProgram(fixturePath("velkor_sc"), args);
  }

  std::string event(int type, const char *symbol) const {
    return std::to_string(type) + " " + symbol + " [" + bed.inst.rootWin + "]";
  }
};
} // namespace

TEST_F(StartProcess, FromAConsoleTheDispatcherRefusesWithItsMessageAndEvent) {
  struct Case {
    const char *fault; // a rule for <root>/faults, or null
    const char *message;
  } cases[] = {
      {nullptr, "startService: StartServiceCtrlDispatcher did not work: "
                "ERROR_FAILED_SERVICE_CONTROLLER_CONNECT."},
      {"StartServiceCtrlDispatcherA 13",
       "startService: StartServiceCtrlDispatcher did not work: ERROR_INVALID_DATA."},
      {"StartServiceCtrlDispatcherA 1056",
       "startService: StartServiceCtrlDispatcher did not work: ERROR_SERVICE_ALREADY_RUNNING."},
      {"StartServiceCtrlDispatcherA 5", "startService: StartServiceCtrlDispatcher did not work."},
  };
  std::string faults = std::string(standinRoot()) + "/faults";
  for (const Case &c : cases) {
    standinClearEvents();
    writeWholeFile(faults, c.fault ? std::string(c.fault) + "\n" : "");
    RunResult result = runProgram(bed.inst.program, {"start", bed.inst.rootWin});
    EXPECT_EQ(1, result.exitCode) << c.message;
    EXPECT_EQ("", result.out);
    std::vector<StandinEvent> events = standinReadEvents();
    ASSERT_EQ(1u, events.size()) << c.message;
    EXPECT_EQ(EVENTLOG_ERROR_TYPE, events[0].type);
    EXPECT_EQ((DWORD)MSG_START_FAILED, events[0].eventId);
    EXPECT_EQ(EVENT_CATEGORY, events[0].category);
    EXPECT_EQ(bed.name, events[0].source);
    EXPECT_EQ(std::vector<std::string>({bed.inst.rootWin, c.message}), events[0].strings);
    std::vector<std::string> log = bed.log();
    EXPECT_TRUE(logHas(log, "ERROR:  startService: For instance dir '" + bed.inst.rootWin +
                                "', " + c.message));
    EXPECT_EQ("Deregistering the Event Log.", log[log.size() - 2]);
    EXPECT_EQ("main returning 1.", log.back());
  }
  unlink(faults.c_str());
}

TEST_F(StartProcess, WithoutARegisteredServiceThereIsNoEventAndNoDispatcher) {
  standinScmErase(bed.name.c_str());
  RunResult result = runProgram(bed.inst.program, {"start", bed.inst.rootWin});
  EXPECT_EQ(1, result.exitCode);
  EXPECT_TRUE(standinReadEvents().empty());
  EXPECT_TRUE(logHas(bed.log(), "startService: Could not get service name."));
  EXPECT_EQ(0, standinCallCount("StartServiceCtrlDispatcherA"));
}

TEST_F(StartProcess, ScmStartsSupervisesAndStopsTheServiceProcess) {
  std::string report = bed.scratch.path("handles");
  setenv("VELKOR_STANDIN_HANDLE_REPORT", report.c_str(), 1);
  EXPECT_EQ("started\n", sc({"start", bed.name}).out);
  RunResult running = sc({"wait", bed.name, "4", "20000"});
  EXPECT_EQ(0, running.exitCode);
  EXPECT_EQ("state=4 win32=0 specific=0 checkpoint=4 hint=0 accepted=5\n", running.out);
  EXPECT_TRUE(lockHeld(bed.lockFile()));
  EXPECT_EQ("state=3 win32=0 specific=0 checkpoint=1 hint=30000 accepted=5\n",
            sc({"control", bed.name, "1"}).out);
  EXPECT_EQ(0, sc({"wait", bed.name, "1", "20000"}).exitCode);
  EXPECT_FALSE(lockHeld(bed.lockFile()));
  EXPECT_TRUE(eventually([&] { return bed.log().back() == "main returning 0."; }));
  EXPECT_EQ(std::vector<std::string>({event(0, "MSG_SERVER_STARTED"),
                                      event(0, "MSG_SERVER_SHUTDOWN")}),
            bed.events());
  StandinService service;
  standinScmLoad(bed.name.c_str(), &service);
  EXPECT_EQ(0, service.hostPid);
  // The service process ends holding only what lives as long as the service:
  // its status handle and the termination event.
  std::string handles = readWholeFile(report);
  std::vector<std::string> kinds;
  for (size_t at = 0; at < handles.size();) {
    size_t end = handles.find('\n', at);
    std::string line = handles.substr(at, end - at);
    kinds.push_back(line.substr(line.find(' ') + 1));
    at = end == std::string::npos ? handles.size() : end + 1;
  }
  EXPECT_EQ(std::vector<std::string>({"event 1", "status 1"}), kinds) << handles;
  unsetenv("VELKOR_STANDIN_HANDLE_REPORT");
}

TEST_F(StartProcess, KilledServerStopsTheServiceWith1066AndMinusOne) {
  EXPECT_EQ("started\n", sc({"start", bed.name}).out);
  EXPECT_EQ(0, sc({"wait", bed.name, "4", "20000"}).exitCode);
  bed.killScriptServer();
  RunResult stopped = sc({"wait", bed.name, "1", "20000"});
  EXPECT_EQ("state=1 win32=1066 specific=-1 checkpoint=0 hint=0 accepted=5\n", stopped.out);
  EXPECT_TRUE(eventually([&] { return bed.events().size() == 2; }));
  EXPECT_EQ(event(1, "MSG_STOPPED_OUTSIDE_SCM"), bed.events().back());
}
