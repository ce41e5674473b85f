// `start` as its own process: refused by the dispatcher when no SCM started
// it, or before it for an odd or over-long directory; run from end to end
// when the stand-in SCM starts it, also when its installation is removed
// while it runs.
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

  // A service process that never reported its end would wait for ever, as
  // on Windows: it goes with the test.
  void TearDown() override {
    StandinService service;
    if (standinScmLoad(bed.name.c_str(), &service) && service.hostPid > 0 &&
        kill(service.hostPid, SIGKILL) == 0)
      ADD_FAILURE() << "the service process was still running";
  }

  RunResult sc(const std::vector<std::string> &args) {
    return runProgram(fixturePath("velkor_sc"), args);
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
  std::string calls = bed.scratch.path("calls");
  RunResult result = runProgram(bed.inst.program, {"start", bed.inst.rootWin},
                                {"VELKOR_STANDIN_CALLS=" + calls});
  EXPECT_EQ(1, result.exitCode);
  EXPECT_TRUE(standinReadEvents().empty());
  EXPECT_TRUE(logHas(bed.log(), "startService: Could not get service name."));
  // The program's own calls, traced by the child itself.
  std::string traced = readWholeFile(calls);
  EXPECT_NE(std::string::npos, traced.find(" OpenSCManagerA 1 ")) << "the lookup was traced";
  EXPECT_EQ(std::string::npos, traced.find("StartServiceCtrlDispatcherA"));
  EXPECT_EQ(std::string::npos, traced.find("RegisterEventSourceA"));
}

// The whole run as its own process (its reports and events in order are
// checked in the Orderings table, where `start` runs in the test): the
// process ends once the service stopped, holding only what lives as long as
// the service.
TEST_F(StartProcess, ScmStartsSupervisesAndStopsTheServiceProcess) {
  std::string report = bed.scratch.path("handles");
  setenv("VELKOR_STANDIN_HANDLE_REPORT", report.c_str(), 1);
  EXPECT_EQ("started\n", sc({"start", bed.name}).out);
  RunResult running = sc({"wait", bed.name, "4", "20000"});
  EXPECT_EQ(0, running.exitCode);
  EXPECT_EQ("state=4 win32=0 specific=0 checkpoint=5 hint=0 accepted=261\n", running.out);
  EXPECT_TRUE(lockHeld(bed.lockFile()));
  RunResult stop = sc({"control", bed.name, "1"});
  EXPECT_EQ(0, stop.exitCode) << stop.out;
  EXPECT_EQ("state=1 win32=0 specific=0 checkpoint=0 hint=0 accepted=261\n",
            sc({"wait", bed.name, "1", "20000"}).out);
  EXPECT_EQ(1, sc({"control", bed.name, "4"}).exitCode) << "a stopped service takes no control";
  EXPECT_FALSE(lockHeld(bed.lockFile()));
  EXPECT_TRUE(eventually([&] { return bed.log().back() == "main returning 0."; }));
  StandinService service;
  standinScmLoad(bed.name.c_str(), &service);
  EXPECT_EQ(0, service.hostPid);
  // The service process ends holding only what lives as long as the service:
  // its status handle and the four events its threads wait on.
  // (written as the process exits, just after its last log line)
  EXPECT_TRUE(eventually([&] { return !readWholeFile(report).empty(); }));
  std::string handles = readWholeFile(report);
  std::vector<std::string> kinds;
  for (size_t at = 0; at < handles.size();) {
    size_t end = handles.find('\n', at);
    std::string line = handles.substr(at, end - at);
    kinds.push_back(line.substr(line.find(' ') + 1));
    at = end == std::string::npos ? handles.size() : end + 1;
  }
  EXPECT_EQ(std::vector<std::string>({"event 4", "status 1"}), kinds) << handles;
  unsetenv("VELKOR_STANDIN_HANDLE_REPORT");
}

// When the SCM can be told nothing more, the process ends rather than wait
// for ever in the dispatcher; the SCM then records that it ended
// unexpectedly (the stand-in's ERROR_PROCESS_ABORTED).
TEST_F(StartProcess, AServiceThatCannotReportItsEndEndsItsProcess) {
  struct Case {
    const char *fault;
    bool runs; // reaches RUNNING first, then the server dies
    const char *line;
  } cases[] = {
      {"RegisterServiceCtrlHandlerExA 5", false,
       "ERROR:  serviceMain: could not register the service handler.  Last error = 5.  "
       "Ending the process."},
      // The sixth report is the stopped one after the server died: refused, and every later one.
      {"SetServiceStatus 6 6 0 velkor_service", true,
       "ERROR:  serviceMain: the SCM did not take the report that the service stopped.  "
       "Ending the process."},
  };
  std::string faults = std::string(standinRoot()) + "/faults";
  for (const Case &c : cases) {
    writeWholeFile(faults, std::string(c.fault) + "\n");
    EXPECT_EQ("started\n", sc({"start", bed.name}).out);
    if (c.runs) {
      EXPECT_EQ(0, sc({"wait", bed.name, "4", "20000"}).exitCode);
      bed.killScriptServer();
    }
    RunResult ended = sc({"wait", bed.name, "1", "20000"});
    EXPECT_EQ("state=1 win32=1067 specific=0 checkpoint=0 hint=0 accepted=0\n", ended.out)
        << c.fault;
    EXPECT_TRUE(logHas(bed.log(), c.line)) << c.fault;
    EXPECT_NE("main returning 0.", bed.log().back());
    unlink(bed.lockFile().c_str());
  }
  unlink(faults.c_str());
}

TEST_F(StartProcess, AnOddDirectoryIsRefusedBeforeTheDispatcher) {
  for (const std::string &odd : {std::string("say \"hi\" %s%n ^& caf\xe9"), std::string(10000, 'q')}) {
    RunResult refused = runProgram(bed.inst.program, {"start", odd});
    EXPECT_EQ(255, refused.exitCode);
    EXPECT_EQ("The instance dir '" + odd + "' is not valid.\n", refused.out);
  }
  EXPECT_TRUE(bed.events().empty()) << "nothing is reported before the event source exists";
}

// With its installation gone the service cannot tell whether the server runs
// (the lock file cannot be opened), so it stays running; a stop cannot run
// the stop launcher and is refused (the service reports running again); a
// shutdown ends it. The process never dies on its own.
TEST_F(StartProcess, InstallationRemovedWhileTheServiceRuns) {
  ASSERT_EQ("started\n", sc({"start", bed.name}).out);
  ASSERT_EQ(0, sc({"wait", bed.name, "4", "20000"}).exitCode);
  ASSERT_EQ(0, system(("rm -rf '" + bed.inst.root + "'").c_str()));
  // The test server ends once its instance root is gone: the lock is free.
  usleep(300 * 1000); // supervision probes many times at this time scale
  EXPECT_EQ((DWORD)SERVICE_RUNNING, bed.current().dwCurrentState);

  RunResult stop = sc({"control", bed.name, "1"});
  EXPECT_EQ(0, stop.exitCode) << stop.out;
  EXPECT_TRUE(eventually([&] {
    std::vector<std::string> events = bed.events();
    return !events.empty() && events.back().rfind("1 MSG_STOP_FAILED", 0) == 0;
  })) << "the stop launcher is gone";
  EXPECT_EQ(0, sc({"wait", bed.name, "4", "20000"}).exitCode) << "running again";

  sc({"control", bed.name, "5"});
  RunResult ended = sc({"wait", bed.name, "1", "20000"});
  EXPECT_EQ(0, ended.exitCode);
  EXPECT_EQ(std::string::npos, ended.out.find("win32=1067")) << "the process died: " << ended.out;
  StandinService service;
  ASSERT_TRUE(standinScmLoad(bed.name.c_str(), &service));
  EXPECT_TRUE(eventually([&] {
    standinScmLoad(bed.name.c_str(), &service);
    return service.hostPid == 0;
  })) << "the service process ends";
}
