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
  // Waits for RUNNING, then stops the service with the launcher; a service
  // the SCM never sees running fails the test and its run is ended.
  std::function<void()> runThenStop() {
    return [this] {
      if (bed.waitForState(SERVICE_RUNNING)) {
        bed.control(SERVICE_CONTROL_STOP);
        return;
      }
      ADD_FAILURE() << "the SCM never took a running report";
      SetEvent(terminationEvent.load());
    };
  }

  static std::vector<std::string> head(const std::vector<std::string> &all, size_t n) {
    return std::vector<std::string>(all.begin(), all.begin() + (long)std::min(n, all.size()));
  }
};
} // namespace

TEST_F(ServiceMain, FailedScriptStopsTheServiceWithItsEvent) {
  bed.script(Script::Exit3);
  EXPECT_EQ(0, runService([] {}));
  EXPECT_EQ(std::vector<std::string>({"2 0 0 1 5000 0", "2 0 0 2 330000 0", "1 1066 -1 0 0 261"}),
            bed.statuses());
  EXPECT_EQ(std::vector<std::string>({bed.event(1, "MSG_START_FAILED")}), bed.events());
  EXPECT_TRUE(logHas(bed.log(), "ERROR:  serviceMain: doStartApplication() failed"));
}

TEST_F(ServiceMain, WithoutATerminationEventTheStartFails) {
  standinFailCall("CreateEventA", ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(0, runService([] {}));
  EXPECT_EQ(std::vector<std::string>({"2 0 0 1 5000 0", "2 1066 0 0 0 0", "1 1066 -1 0 0 261"}),
            bed.statuses());
  EXPECT_EQ("", bed.scriptCalls());
  EXPECT_EQ(std::vector<std::string>({bed.event(1, "MSG_START_FAILED")}), bed.events());
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
  // serviceMain's event follows the report: the wait for its end covers it.
  EXPECT_TRUE(waitForServiceThreads());
  EXPECT_TRUE(logHas(bed.log(), "serviceMain returning."));
  EXPECT_EQ(std::vector<std::string>({"2 0 0 1 5000 0", "2 1066 0 0 0 0", "1 1066 -1 0 0 261"}),
            bed.statuses());
  EXPECT_EQ(std::vector<std::string>({bed.event(1, "MSG_START_FAILED")}), bed.events());
  std::vector<std::string> log = bed.log();
  EXPECT_TRUE(logHas(log, "serviceMain: could not get service name."));
  EXPECT_TRUE(logHas(log, "Registering the service handler for '" + bed.name + "'"));
  EXPECT_EQ("", bed.scriptCalls());
}

// A server already running is adopted without the script: start-pending all
// along the refresh period, a new check point every 5 s. One that comes back
// during the re-probes keeps the service running.
TEST_F(ServiceMain, AServerAlreadyRunningIsAdoptedAndOneComingBackKeepsTheServiceRunning) {
  ServiceBed::setTimeScale(0.25);
  pid_t first = bed.startServer();
  EXPECT_EQ(0, runService([&] {
    EXPECT_TRUE(bed.waitForState(SERVICE_RUNNING));
    int probes = countOf(bed.log(), "Determining if the server is running.");
    long seen = 0;
    // The first verbose re-probe finds the lock free: the server returns
    // before the second, which finds it, and supervision goes back to its passes.
    EXPECT_TRUE(bed.beforeTheProbeAfter(
        bed.lockFreeLine(), [&] { bed.killServer(first); },
        [&] { seen = passes(); bed.startServer(); }));
    waitForPasses(seen + 1);
    EXPECT_EQ(probes + 2, countOf(bed.log(), "Determining if the server is running."));
    bed.control(SERVICE_CONTROL_STOP);
  }));
  EXPECT_EQ(std::vector<std::string>({"2 0 0 1 5000 0", "2 0 0 2 10000 0", "2 0 0 3 10000 0",
                                      "4 0 0 4 0 261", "3 0 0 1 30000 261"}),
            head(bed.statuses(), 5));
  EXPECT_EQ("", bed.scriptCalls());
  EXPECT_EQ(std::vector<std::string>({bed.event(0, "MSG_SERVER_STARTED"),
                                      bed.event(0, "MSG_SERVER_SHUTDOWN")}),
            bed.events());
}

// `start`'s wait for the service's threads is one wait on their signal,
// bounded; it ends at once when they are done.
TEST_F(ServiceMain, TheWaitForTheServiceThreadsIsOneBoundedWaitOnTheirSignal) {
  ASSERT_TRUE(createServiceEvents());
  resetServiceEnd();
  serviceWorkBegins();
  int waits = standinCallCount("WaitForSingleObject");
  EXPECT_FALSE(waitForServiceThreads());
  EXPECT_EQ(waits + 1, standinCallCount("WaitForSingleObject"));
  EXPECT_EQ(10000u, standinTimeline().back().requestedMs);
  serviceWorkEnds();
  EXPECT_TRUE(waitForServiceThreads());
}

namespace {
// One ordering of the service's possible ends against supervision's passes
// and re-probes: what the driver does once the service runs, and the
// reports the SCM takes after the running one, with the events after
// MSG_SERVER_STARTED.
struct Ending {
  const char *name;
  double timeScale;
  std::function<void(ServiceBed &)> drive;
  std::vector<std::string> reportsAfterRunning; // "..." stands for the stop's loop reports
  std::vector<std::string> events;
  int stopSequences; // how many stop sequences ran
  // What else the row shows in the debug log and the run's record.
  std::function<void(ServiceBed &, const std::vector<std::string> &)> logCheck =
      [](ServiceBed &, const auto &) {};
  // What the thread of the first stop sequence did from its first pause on, when given.
  std::vector<std::string> stopStory = {};
  const char *refreshPeriod = "1"; // null: the default
  friend void PrintTo(const Ending &e, std::ostream *os) { *os << e.name; }
};

// Where `line` first comes after `from` in the log.
long at(const std::vector<std::string> &log, const std::string &line, const std::string &from) {
  auto start = std::find(log.begin(), log.end(), from);
  EXPECT_NE(log.end(), start) << from;
  return std::find(start, log.end(), line) - log.begin();
}

const std::string kOutside = "1 1066 -1 0 0 261";
const std::string kClean = "1 0 0 0 0 261";
const std::string kLoop = "...";

// A stop whose server never lets go, on its thread: a 1 s pause, 30 probes
// 2 s apart each after its report, then `end`.
std::vector<std::string> failingStop(const std::vector<std::string> &end) {
  std::vector<std::string> story = {"Sleep 1000"};
  for (int checkPoint = 2; checkPoint <= 31; ++checkPoint)
    story = joined(story, {"status 3 0 0 " + std::to_string(checkPoint) + " 10000 261",
                           "Sleep 2000"});
  return joined(story, end);
}

// Whether the first stop sequence ran on a thread of its own rather than on
// the handler's, which reported its start.
bool sequenceOnItsOwnThread(const ServiceBed &bed) {
  Story story(bed);
  int reporter = 0;
  for (size_t i = 0, n = 0; i < story.calls.size() && n < story.statuses.size() && !reporter; ++i)
    if (story.calls[i].call == "SetServiceStatus" && story.statuses[n++] == "3 0 0 1 30000 261")
      reporter = story.calls[i].thread;
  int sequence = story.threadOf("Sleep", 1000);
  EXPECT_TRUE(reporter && sequence) << "no stop sequence";
  return reporter != sequence;
}

// A whole run with the default period: the script is given 300 s, the first
// supervision waits are the 10 s period in two reported slices, the running
// service is checked every 5 s; the stop pauses 1 s before its first probe,
// then probes 2 s apart. The running report precedes MSG_SERVER_STARTED, the
// stopped report MSG_SERVER_SHUTDOWN, and no pending report outlives its
// wait hint. The service ends clean: the event source deregistered after
// serviceMain's last line, the launcher given its arguments.
void checkWholeRun(ServiceBed &bed, const std::vector<std::string> &log) {
  Story story(bed);
  EXPECT_EQ(std::vector<std::string>(), lapsedHints(story));
  int serviceThread = story.threadOf("WaitForSingleObject", 300000);
  ASSERT_NE(0, serviceThread) << "the script was not given the default 300 s";
  std::vector<std::string> mainStory = story.of(serviceThread);
  ASSERT_GE(mainStory.size(), 11u);
  EXPECT_EQ(std::vector<std::string>({"status 2 0 0 1 5000 0", "status 2 0 0 2 330000 0",
                                      "WaitForSingleObject 300000", "status 2 0 0 3 10000 0",
                                      "WaitForSingleObject 5000", "status 2 0 0 4 10000 0",
                                      "WaitForSingleObject 5000", "status 4 0 0 5 0 261",
                                      "event MSG_SERVER_STARTED", "WaitForSingleObject 5000",
                                      "WaitForSingleObject 5000"}),
            std::vector<std::string>(mainStory.begin(), mainStory.begin() + 11));
  // Every later pass is 5 s too. A pass that finds the stop running waits
  // for its end, which the stop's probes bound, and then for its report.
  for (size_t i = 11; i < mainStory.size(); ++i)
    EXPECT_TRUE(mainStory[i] == "WaitForSingleObject 5000" ||
                mainStory[i] == "WaitForSingleObject " + std::to_string(INFINITE) ||
                mainStory[i] == "WaitForSingleObject 30000")
        << mainStory[i];
  std::vector<std::string> stopStory = story.of(story.threadOf("Sleep", 1000));
  ASSERT_GE(stopStory.size(), 4u);
  EXPECT_EQ("Sleep 1000", stopStory[0]);
  EXPECT_EQ("status 3 0 0 2 10000 261", stopStory[1]);
  EXPECT_EQ((std::vector<std::string>{"status 1 0 0 0 0 261", "event MSG_SERVER_SHUTDOWN"}),
            std::vector<std::string>(stopStory.end() - 2, stopStory.end()));
  for (size_t i = 2; i + 2 < stopStory.size(); ++i)
    EXPECT_TRUE(stopStory[i] == "Sleep 2000" || startsWith(stopStory[i], "status 3 0 0 "))
        << stopStory[i];
  EXPECT_TRUE(sequenceOnItsOwnThread(bed));
  EXPECT_EQ("--windowsNetStart\n", bed.scriptCalls());
  EXPECT_EQ(0u, bed.current().dwCheckPoint);
  EXPECT_TRUE(logHas(log, "Refresh period in seconds is 10."));
  EXPECT_TRUE(logHas(log, "Registering the service handler for '" + bed.name + "'"));
  EXPECT_TRUE(logHas(log, "registerServiceHandler returning '0'"));
  EXPECT_EQ("Deregistering the Event Log.", log.back());
  EXPECT_GT((long)log.size(), at(log, "Deregistering the Event Log.", "serviceMain returning."));
  EXPECT_EQ(0, standinOpenHandleCount(kStandinEventSource));
  EXPECT_EQ(nullptr, instanceDir);
  EXPECT_TRUE(eventually([&] {
    return readWholeFile(bed.inst.root + "/lib/winlauncher.calls") ==
           "[stop] [" + bed.inst.rootWin + "\\.]\r\n";
  }));
  EXPECT_TRUE(logHas(log, "doStopApplication: launching '\"" + bed.inst.rootWin +
                              "\\lib\\winlauncher.exe\" stop \"" + bed.inst.rootWin + "\\.\"'."));
  // The server's end during the held probe (the launcher made it let go) is the stop's end.
  EXPECT_EQ(1, countOf(log, "doStopApplication: server stopped."));
  EXPECT_EQ(2, countOf(log, "serviceHandler: a stop is already in progress."));
  EXPECT_EQ(0, countOf(log, "checking in serviceMain: error interrogating status."));
}

std::vector<Ending> endings() {
  auto dieThen = [](DWORD code) {
    return [code](ServiceBed &bed) {
      EXPECT_TRUE(bed.beforeTheProbeAfter( // held before the second re-probe
          bed.lockFreeLine(), [&] { bed.killScriptServer(); }, [&] { bed.control(code); }));
    };
  };
  const std::string spawned = "doStopApplication: the spawn of the process worked.";
  // A shutdown runs on the dispatcher's thread: it is acknowledged once the
  // whole sequence is done, whether the server stopped or not.
  auto shutdown = [](bool fails) {
    return [fails](ServiceBed &bed) {
      bed.launcherIgnoresStop(fails);
      EXPECT_EQ(0u, bed.control(SERVICE_CONTROL_SHUTDOWN));
      EXPECT_EQ((DWORD)SERVICE_STOPPED, bed.current().dwCurrentState);
    };
  };
  // A preshutdown's handler returns at once; while its sequence runs the SCM
  // refuses a stop, and one that reached the handler would start nothing.
  auto preshutdownFailing = [spawned](ServiceBed &bed) {
    bed.launcherIgnoresStop();
    EXPECT_TRUE(bed.beforeTheProbeAfter(
        spawned, [&] { EXPECT_EQ(0u, bed.control(SERVICE_CONTROL_PRESHUTDOWN)); },
        [&] {
          EXPECT_EQ((DWORD)ERROR_SERVICE_CANNOT_ACCEPT_CTRL, bed.control(SERVICE_CONTROL_STOP));
          serviceHandler(SERVICE_CONTROL_STOP);
        }));
  };
  auto preshutdownCheck = [](const std::string &later) {
    return [later](ServiceBed &bed, const std::vector<std::string> &log) {
      EXPECT_LT(at(log, "serviceHandler returning.", "serviceHandler: preshutdown"),
                at(log, later, "serviceHandler: preshutdown"));
      EXPECT_TRUE(sequenceOnItsOwnThread(bed));
    };
  };
  // A stop whose server never lets go, and the system's end during it.
  auto failingStopThen = [](DWORD code) {
    return [code](ServiceBed &bed) {
      bed.launcherIgnoresStop();
      // The system's notification, during the stop's probes.
      EXPECT_TRUE(bed.beforeTheProbeAfter(
          bed.lockHeldLine(), [&] { bed.control(SERVICE_CONTROL_STOP); },
          [&] { serviceHandlerEx(code, 0, nullptr, nullptr); }));
      EXPECT_TRUE(bed.waitForEvent("MSG_STOP_FAILED"));
      if (bed.current().dwCurrentState != SERVICE_STOPPED) { // absorbed: end the run
        bed.launcherIgnoresStop(false);
        bed.control(SERVICE_CONTROL_STOP);
      }
    };
  };
  auto onceInProgress = [](ServiceBed &, const std::vector<std::string> &log) {
    EXPECT_EQ(1, countOf(log, "serviceHandler: a stop is already in progress."));
  };
  const std::vector<std::string> failedStopEnd = {"status 1 1066 -1 0 0 261",
                                                  "event MSG_STOP_FAILED"};
  return {
      // An interrogate that reaches the handler while the stopped report is
      // being sent (Wine's dispatcher holds its lock around the handler, and
      // the stopped report enters that lock) neither waits for the report
      // nor holds it up.
      {"Dies", 0.25,
       [](ServiceBed &bed) {
         standinBeforeStoppedReport([&bed] {
           int before = countOf(bed.log(), "serviceHandler: interrogate.");
           standinScmPostControl(bed.name.c_str(), SERVICE_CONTROL_INTERROGATE);
           EXPECT_TRUE(eventually(
               [&] { return countOf(bed.log(), "serviceHandler: interrogate.") > before; }, 10000));
         });
         bed.killScriptServer();
       },
       {kOutside}, {"MSG_STOPPED_OUTSIDE_SCM"}, 0,
       [](ServiceBed &bed, const std::vector<std::string> &log) {
         EXPECT_TRUE(logHas(log, "checking in serviceMain serviceHandler: service stopped with "
                                 "error."));
         // Verbose probes: serviceMain's first, the start's one, the three re-probes,
         // 2 s apart after the pass that found the lock free, before the report and its event.
         EXPECT_EQ(5, countOf(log, "Determining if the server is running."));
         Story story(bed);
         std::vector<std::string> mainStory = story.of(story.threadOf("WaitForSingleObject", 300000));
         ASSERT_GE(mainStory.size(), 6u);
         EXPECT_EQ(joined({"WaitForSingleObject 5000"},
                          joined(repeated("Sleep 2000", 3), {"status 1 1066 -1 0 0 261",
                                                             "event MSG_STOPPED_OUTSIDE_SCM"})),
                   std::vector<std::string>(mainStory.end() - 6, mainStory.end()));
       }},
      {"DiesThenStopBeforeThePass", 0.25,
       [](ServiceBed &bed) {
         bed.killScriptServer();
         bed.control(SERVICE_CONTROL_STOP);
       },
       {kOutside}, {"MSG_STOPPED_OUTSIDE_SCM"}, 0},
      {"DiesThenStopDuringTheReprobes", 0.25, dieThen(SERVICE_CONTROL_STOP), {kOutside},
       {"MSG_STOPPED_OUTSIDE_SCM"}, 0},
      {"DiesThenInterrogateDuringTheReprobes", 0.25, dieThen(SERVICE_CONTROL_INTERROGATE),
       {kOutside}, {"MSG_STOPPED_OUTSIDE_SCM"}, 0},
      {"DiesThenShutdownDuringTheReprobes", 0.25, dieThen(SERVICE_CONTROL_SHUTDOWN), {kOutside},
       {"MSG_STOPPED_OUTSIDE_SCM"}, 0},
      {"DiesThenPreshutdownDuringTheReprobes", 0.25, dieThen(SERVICE_CONTROL_PRESHUTDOWN),
       {kOutside}, {"MSG_STOPPED_OUTSIDE_SCM"}, 0},
      // The SCM shows the service stop-pending, but no stop of this process
      // runs (a running report after a failed stop was refused): a server
      // that dies then stopped on its own.
      {"DiesWhileTheScmShowsItStopPending", 0.01,
       [](ServiceBed &bed) {
         {
           StandinScmLock lock;
           StandinService service;
           standinScmLoad(bed.name.c_str(), &service);
           service.status.dwCurrentState = SERVICE_STOP_PENDING;
           standinScmSave(service);
         }
         bed.killScriptServer();
       },
       {kOutside}, {"MSG_STOPPED_OUTSIDE_SCM"}, 0},
      // A stop held at its first probe for 150 s of the service's time,
      // longer than any stop takes, is waited for on its signal: supervision
      // neither probes nor passes its time meanwhile. The SCM refuses
      // interrogates during it; a shutdown and a stop that reach the handler
      // start nothing more.
      {"Stop", 0.01,
       [spawned](ServiceBed &bed) {
         ServiceRun::waitForPasses(4); // the period's two, two while running
         long seen = 0;
         EXPECT_TRUE(bed.beforeTheProbeAfter(
             spawned, [&] { bed.control(SERVICE_CONTROL_STOP); },
             [&] {
               seen = ServiceRun::passes();
               size_t mark = standinTimeline().size();
               EXPECT_EQ((DWORD)ERROR_SERVICE_CANNOT_ACCEPT_CTRL,
                         bed.control(SERVICE_CONTROL_INTERROGATE));
               serviceHandler(SERVICE_CONTROL_SHUTDOWN);
               serviceHandler(SERVICE_CONTROL_STOP);
               std::this_thread::sleep_for(std::chrono::milliseconds(1500));
               EXPECT_LE(ServiceRun::passes(), seen + 1) << "supervision went on during the stop";
               // At most the pass it was in and its re-probes: then it waits
               // for the stop's signal, asking for no time of its own.
               std::vector<StandinTimedCall> calls = standinTimeline();
               int supervision = Story().threadOf("WaitForSingleObject", 5000);
               uint64_t asked = 0;
               for (auto c = calls.begin() + (long)mark; c != calls.end(); ++c)
                 if (c->thread == supervision && c->requestedMs != kStandinNoLength &&
                     c->requestedMs != INFINITE)
                   asked += c->requestedMs;
               EXPECT_GE(5000u + 3 * 2000u, asked)
                   << "supervision passed its own time during the stop";
             }));
       },
       {"3 0 0 1 30000 261", kLoop, kClean}, {"MSG_SERVER_SHUTDOWN"}, 1, checkWholeRun, {},
       nullptr},
      {"Shutdown", 0.01, shutdown(false), {"3 0 0 1 30000 261", kLoop, kClean},
       {"MSG_SERVER_SHUTDOWN"}, 1,
       [](ServiceBed &, const std::vector<std::string> &log) {
         EXPECT_LT(at(log, "doStopApplication: server stopped.", "serviceHandler: shutdown"),
                   at(log, "serviceHandler returning.", "serviceHandler: shutdown"));
       }},
      // A system end whose stop fails still ends the service, with an error.
      {"ShutdownWhoseStopFails", 0.01, shutdown(true), {"3 0 0 1 30000 261", kLoop, kOutside},
       {"MSG_STOP_FAILED"}, 1, [](ServiceBed &, const auto &) {}, failingStop(failedStopEnd)},
      {"Preshutdown", 0.01,
       [](ServiceBed &bed) { EXPECT_EQ(0u, bed.control(SERVICE_CONTROL_PRESHUTDOWN)); },
       {"3 0 0 1 30000 261", kLoop, kClean}, {"MSG_SERVER_SHUTDOWN"}, 1,
       preshutdownCheck("doStopApplication: server stopped.")},
      {"PreshutdownWhoseStopFails", 0.01, preshutdownFailing,
       {"3 0 0 1 30000 261", kLoop, kOutside}, {"MSG_STOP_FAILED"}, 1,
       [preshutdownCheck, onceInProgress](ServiceBed &bed, const std::vector<std::string> &log) {
         preshutdownCheck("serviceHandler called with controlCode=1.")(bed, log);
         onceInProgress(bed, log);
       },
       failingStop(failedStopEnd)},
      // A stop whose server never lets go reports running again before its
      // event, and the service runs on (a stop that reaches the handler
      // meanwhile starts nothing); the next stop starts afresh.
      {"FailingStopThenStop", 0.01,
       [spawned](ServiceBed &bed) {
         bed.launcherIgnoresStop();
         EXPECT_TRUE(bed.beforeTheProbeAfter(
             spawned, [&] { bed.control(SERVICE_CONTROL_STOP); },
             [] { serviceHandler(SERVICE_CONTROL_STOP); }));
         EXPECT_TRUE(bed.waitForEvent("MSG_STOP_FAILED"));
         EXPECT_EQ((DWORD)SERVICE_RUNNING, bed.current().dwCurrentState);
         EXPECT_EQ(0, countOf(bed.log(), "Faking a service termination so serviceMain can return."));
         bed.launcherIgnoresStop(false);
         bed.control(SERVICE_CONTROL_STOP);
       },
       {"3 0 0 1 30000 261", kLoop, "4 0 0 0 0 261", "3 0 0 1 30000 261", kLoop, kClean},
       {"MSG_STOP_FAILED", "MSG_SERVER_SHUTDOWN"}, 2,
       [](ServiceBed &, const std::vector<std::string> &log) {
         EXPECT_EQ(1, countOf(log, "serviceHandler: a stop is already in progress."));
         EXPECT_TRUE(logHas(log, "doStopApplication: server NOT stopped."));
         EXPECT_TRUE(logHas(log, "serviceHandler: The server could not be stopped."));
       },
       failingStop({"status 4 0 0 0 0 261", "event MSG_STOP_FAILED"})},
      // The SCM refuses the running report after a failed stop: it is made
      // again a pass later, and the server's death is then an unexpected
      // end, not the end of a stop the SCM thinks is still running.
      {"FailingStopWhoseRunningReportIsRefusedThenDies", 0.01,
       [](ServiceBed &bed) {
         bed.launcherIgnoresStop();
         // The stop's 31 reports come first; the 32nd is the running one.
         standinFailCall("SetServiceStatus", ERROR_INVALID_DATA,
                         standinCallCount("SetServiceStatus") + 32);
         bed.control(SERVICE_CONTROL_STOP);
         EXPECT_TRUE(bed.waitForEvent("MSG_STOP_FAILED"));
         EXPECT_TRUE(bed.waitForState(SERVICE_RUNNING));
         bed.killScriptServer();
       },
       {"3 0 0 1 30000 261", kLoop, "4 0 0 0 0 261", kOutside},
       {"MSG_STOP_FAILED", "MSG_STOPPED_OUTSIDE_SCM"}, 1,
       [](ServiceBed &, const std::vector<std::string> &log) {
         EXPECT_TRUE(logHas(log, "doStopApplication: the running report was refused; it is made "
                                 "again on the next pass."));
       }},
      // A system end that comes while a stop fails is not absorbed: once the
      // stop's budget is spent the service ends, with an error.
      {"FailingStopThenShutdown", 0.01, failingStopThen(SERVICE_CONTROL_SHUTDOWN),
       {"3 0 0 1 30000 261", kLoop, kOutside}, {"MSG_STOP_FAILED"}, 1, onceInProgress,
       failingStop(failedStopEnd)},
      {"FailingStopThenPreshutdown", 0.01, failingStopThen(SERVICE_CONTROL_PRESHUTDOWN),
       {"3 0 0 1 30000 261", kLoop, kOutside}, {"MSG_STOP_FAILED"}, 1, onceInProgress,
       failingStop(failedStopEnd)},
  };
}

struct ServiceEnding : ServiceMain, testing::WithParamInterface<Ending> {};

// The reports after the first running one, with each run of stop-loop reports shown as "...".
std::vector<std::string> afterRunning(const std::vector<std::string> &all) {
  std::vector<std::string> out;
  auto at = std::find_if(all.begin(), all.end(),
                         [](const std::string &s) { return startsWith(s, "4 "); });
  for (auto it = at == all.end() ? at : at + 1; it != all.end(); ++it) {
    bool loop = startsWith(*it, "3 0 0 ") && *it != "3 0 0 1 30000 261";
    if (loop && !out.empty() && out.back() == kLoop)
      continue;
    out.push_back(loop ? kLoop : *it);
  }
  return out;
}
} // namespace

// Whatever the order, the SCM takes exactly one SERVICE_STOPPED, the last
// report; after it the process neither reports nor probes nor waits on the
// supervision's or the stop's timings. The end is faked once for
// serviceMain, which returns; only a stop that failed leaves the server
// running.
TEST_P(ServiceEnding, EndsWithOneStoppedReportAndNothingAfterIt) {
  const Ending &ending = GetParam();
  if (ending.refreshPeriod)
    setenv("VELKOR_WINDOWS_SERVICE_REFRESH_PERIOD", ending.refreshPeriod, 1);
  ServiceBed::setTimeScale(ending.timeScale);
  standinClearTimeline();
  // Interrogates all along, back to back, as several clients would send them.
  std::atomic<bool> done{false};
  std::thread interrogator([&] {
    while (!done && bed.current().dwCurrentState != SERVICE_STOPPED) {
      long seq = standinScmPostControl(bed.name.c_str(), SERVICE_CONTROL_INTERROGATE);
      eventually([&] { return done || standinScmLastAck(bed.name.c_str()) >= seq; }, 60000);
    }
  });
  EXPECT_EQ(0, runService([&] {
    EXPECT_TRUE(bed.waitForState(SERVICE_RUNNING));
    ending.drive(bed);
  }));
  done = true;
  interrogator.join();
  standinBeforeStoppedReport(nullptr);
  std::vector<std::string> statuses = bed.statuses();
  EXPECT_EQ(ending.reportsAfterRunning, afterRunning(statuses));
  EXPECT_EQ(1, std::count_if(statuses.begin(), statuses.end(),
                             [](const std::string &s) { return startsWith(s, "1 "); }));
  EXPECT_TRUE(standinScmLateStatuses(bed.name.c_str()).empty());
  std::vector<std::string> events = {bed.event(0, "MSG_SERVER_STARTED")};
  for (const std::string &symbol : ending.events)
    events.push_back(bed.event(symbol == "MSG_SERVER_SHUTDOWN" ? 0 : 1, symbol.c_str()));
  EXPECT_EQ(events, bed.events());

  std::vector<StandinTimedCall> calls = standinTimeline();
  auto stopped = std::find_if(calls.begin(), calls.end(),
                              [](const StandinTimedCall &c) { return c.call == "SetServiceStatus"; });
  // The stopped report is the last the SCM took; refused calls come on top.
  int refused = countOf(bed.log(), "ERROR:  Failed to set the service status.  Last error = 13.");
  for (int n = (int)statuses.size() + refused; n > 1 && stopped != calls.end(); --n)
    stopped = std::find_if(stopped + 1, calls.end(),
                           [](const StandinTimedCall &c) { return c.call == "SetServiceStatus"; });
  ASSERT_NE(calls.end(), stopped);
  for (auto it = stopped + 1; it != calls.end(); ++it) {
    EXPECT_NE("SetServiceStatus", it->call);
    // `start`'s wait for the threads' last lines is signalled, not a timing.
    bool tail = it->call == "WaitForSingleObject" && it->requestedMs == 10000;
    EXPECT_FALSE(!tail && it->requestedMs != kStandinNoLength && it->requestedMs >= 1000)
        << it->call << " " << it->requestedMs << " after the end";
  }
  std::vector<std::string> log = bed.log();
  ending.logCheck(bed, log);
  auto end = std::find_if(log.begin(), log.end(), [](const std::string &line) {
    return startsWith(line, "Updating the service status.  statusToSet=1 ");
  });
  EXPECT_EQ(0, std::count(end, log.end(), "Determining if the server is running."))
      << "a probe after the end";
  EXPECT_EQ(1, countOf(log, "Faking a service termination so serviceMain can return."));
  EXPECT_EQ(0, countOf(log, "Not reporting the service status 1: the service has already stopped."));
  EXPECT_EQ(ending.stopSequences, countOf(log, "doStopApplication"));
  EXPECT_TRUE(logHas(log, "serviceMain returning."));
  if (!ending.stopStory.empty()) { // up to the thread's last report or event
    Story story(bed);
    std::vector<std::string> of = story.of(story.threadOf("Sleep", 1000));
    auto last = std::find_if(of.rbegin(), of.rend(), [](const std::string &line) {
                  return !startsWith(line, "Sleep ") && !startsWith(line, "WaitForSingleObject ");
                }).base();
    EXPECT_EQ(ending.stopStory,
              std::vector<std::string>(std::find(of.begin(), last, "Sleep 1000"), last));
  }
  EXPECT_EQ(!ending.events.empty() && ending.events.back() == "MSG_STOP_FAILED",
            lockHeld(bed.lockFile()));
}

INSTANTIATE_TEST_SUITE_P(Orderings, ServiceEnding, testing::ValuesIn(endings()),
                         [](const testing::TestParamInfo<Ending> &info) {
                           return std::string(info.param.name);
                         });

// A refused running report is not counted: no MSG_SERVER_STARTED until the
// SCM has taken one; it is made again a pass later, start-pending meanwhile.
TEST_F(ServiceMain, ARefusedRunningReportIsMadeAgainBeforeTheEvent) {
  setenv("VELKOR_WINDOWS_SERVICE_REFRESH_PERIOD", "1", 1);
  // The fourth report is the running one, after the start's three.
  standinFailCall("SetServiceStatus", ERROR_INVALID_DATA, standinCallCount("SetServiceStatus") + 4);
  EXPECT_EQ(0, runService(runThenStop()));
  EXPECT_EQ(std::vector<std::string>({"2 0 0 1 5000 0", "2 0 0 2 330000 0", "2 0 0 3 10000 0",
                                      "2 0 0 4 10000 0", "4 0 0 5 0 261", "3 0 0 1 30000 261"}),
            head(bed.statuses(), 6));
  EXPECT_EQ(std::vector<std::string>({bed.event(0, "MSG_SERVER_STARTED"),
                                      bed.event(0, "MSG_SERVER_SHUTDOWN")}),
            bed.events());
  std::vector<std::string> log = bed.log();
  EXPECT_TRUE(logHas(log, "ERROR:  Failed to set the service status.  Last error = 13."));
  EXPECT_TRUE(logHas(log, "serviceMain: the running report was refused; it is made again on "
                          "the next pass."));
}

// Supervision whose wait fails cannot go on: rather than leave the server
// running unwatched behind a clean stop, the service stops it and ends with
// an error.
TEST_F(ServiceMain, SupervisionThatCannotWaitStopsTheServerAndEndsWithAnError) {
  setenv("VELKOR_WINDOWS_SERVICE_REFRESH_PERIOD", "0", 1);
  bed.startServer();
  // The wait of the refresh period (0 ms), then the one for the stop (no limit).
  standinFailCall("WaitForSingleObject", ERROR_INVALID_HANDLE,
                  standinCallCount("WaitForSingleObject") + 2);
  EXPECT_EQ(0, runService([] {}));
  std::vector<std::string> statuses = bed.statuses();
  EXPECT_EQ(std::vector<std::string>({"2 0 0 1 5000 0", "4 0 0 2 0 261", "3 0 0 1 30000 261",
                                      "3 0 0 2 10000 261"}),
            head(statuses, 4));
  EXPECT_EQ(kOutside, statuses.back());
  EXPECT_EQ(std::vector<std::string>(
                {bed.event(0, "MSG_SERVER_STARTED"),
                 "1 other [Velkor in " + bed.inst.rootWin +
                     " could not be supervised; the service stopped it.]"}),
            bed.events());
  EXPECT_FALSE(lockHeld(bed.lockFile()));
  EXPECT_TRUE(logHas(bed.log(), "ERROR:  serviceMain: the wait of the supervision failed.  Last "
                                "error = 6.  The server cannot be supervised; stopping it."));
}
