// The program's timing, checked through the lengths it asks the platform for
// (recorded before any time scaling), and the order of its events against its
// status reports. The runs are fast because the stand-in scales every sleep
// and wait; the lengths asked for are the real ones.
#include "runtime_support.h"
#include "scm_fixture.h"

#include <gtest/gtest.h>

#include "cli/commands.h"
#include "scm/service_remove.h"

namespace {
// Each start-pending and stop-pending report must be followed by the next
// report before its wait hint runs out. Time is what the threads asked for:
// between the two reports, the sleeps and waits of the thread that makes the
// next one (with the one it may have been in already when the first was
// made). Returns one line per lapse.
std::vector<std::string> lapsedHints(const Story &story) {
  struct Made {
    size_t at;
    int thread;
    std::string text;
  };
  std::vector<Made> reports;
  for (size_t i = 0, n = 0; i < story.calls.size(); ++i)
    if (story.calls[i].call == "SetServiceStatus" && n < story.statuses.size())
      reports.push_back({i, story.calls[i].thread, story.statuses[n++]});
  auto timed = [](const StandinTimedCall &c) {
    return c.requestedMs != kStandinNoLength && c.requestedMs != INFINITE ? (uint64_t)c.requestedMs
                                                                          : 0;
  };
  std::vector<std::string> lapses;
  for (size_t k = 0; k < reports.size(); ++k) {
    unsigned state = 0, checkPoint = 0, hint = 0;
    int win32 = 0, specific = 0;
    sscanf(reports[k].text.c_str(), "%u %d %d %u %u", &state, &win32, &specific, &checkPoint,
           &hint);
    if (state != SERVICE_START_PENDING && state != SERVICE_STOP_PENDING)
      continue;
    if (k + 1 == reports.size()) {
      lapses.push_back(reports[k].text + ": no report followed");
      continue;
    }
    const Made &next = reports[k + 1];
    uint64_t elapsed = 0;
    for (size_t i = reports[k].at + 1; i < next.at; ++i)
      if (story.calls[i].thread == next.thread)
        elapsed += timed(story.calls[i]);
    for (size_t i = reports[k].at; next.thread != reports[k].thread && i-- > 0;)
      if (story.calls[i].thread == next.thread) {
        elapsed += timed(story.calls[i]);
        break;
      }
    if (elapsed > hint)
      lapses.push_back(reports[k].text + " then " + next.text + " after " +
                       std::to_string(elapsed) + " ms");
  }
  return lapses;
}

struct ServiceTiming : ServiceRun {};
} // namespace

// Default timings from start to stop: the script is given 300 s, the first
// supervision wait is the 10 s refresh period, the running service is checked
// every 5 s; the stop pauses 1 s before its first probe. The running report
// precedes MSG_SERVER_STARTED, the stopped report MSG_SERVER_SHUTDOWN, and no
// pending report outlives its wait hint. The service ends clean: the server
// stopped, the event source deregistered after serviceMain's last line.
TEST_F(ServiceTiming, StartRunAndStopAskForTheDefaultDurations) {
  EXPECT_EQ(0, runService([this] {
    EXPECT_TRUE(bed.waitForState(SERVICE_RUNNING));
    waitForPasses(4); // the period's two, two while running
    bed.control(SERVICE_CONTROL_STOP);
  }));
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
  // Every later pass is 5 s too; the last one is ended by the stop. A pass
  // that finds the lock free while the server stops re-probes it 2 s apart;
  // one that finds the stop running waits for the stop's own end, which the
  // stop's probes bound.
  for (size_t i = 11; i < mainStory.size(); ++i)
    EXPECT_TRUE(mainStory[i] == "WaitForSingleObject 5000" || mainStory[i] == "Sleep 2000" ||
                mainStory[i] == "WaitForSingleObject " + std::to_string(INFINITE))
        << mainStory[i];

  int stop = story.threadOf("Sleep", 1000);
  ASSERT_NE(0, stop) << "the stop did not pause 1 s";
  std::vector<std::string> stopStory = story.of(stop);
  ASSERT_GE(stopStory.size(), 4u);
  EXPECT_EQ("Sleep 1000", stopStory[0]);
  EXPECT_EQ("status 3 0 0 2 10000 261", stopStory[1]);
  EXPECT_EQ((std::vector<std::string>{"status 1 0 0 0 0 261", "event MSG_SERVER_SHUTDOWN"}),
            std::vector<std::string>(stopStory.end() - 2, stopStory.end()));
  // Between them only 2 s pauses and the probes' reports.
  for (size_t i = 2; i + 2 < stopStory.size(); ++i)
    EXPECT_TRUE(stopStory[i] == "Sleep 2000" || startsWith(stopStory[i], "status 3 0 0 "))
        << stopStory[i];

  // The stop's first report comes from the handler, right after the running one.
  ASSERT_LE(6u, story.statuses.size());
  EXPECT_EQ("3 0 0 1 30000 261", story.statuses[5]);
  EXPECT_EQ(1, std::count(story.statuses.begin(), story.statuses.end(), "1 0 0 0 0 261"));
  EXPECT_EQ("1 0 0 0 0 261", story.statuses.back());
  EXPECT_EQ(std::vector<std::string>({bed.event(0, "MSG_SERVER_STARTED"),
                                      bed.event(0, "MSG_SERVER_SHUTDOWN")}),
            bed.events());
  EXPECT_FALSE(lockHeld(bed.lockFile()));
  EXPECT_EQ("--windowsNetStart\n", bed.scriptCalls());
  EXPECT_EQ(0, bed.current().dwCheckPoint);
  std::vector<std::string> log = bed.log();
  EXPECT_TRUE(logHas(log, "Refresh period in seconds is 10."));
  EXPECT_TRUE(logHas(log, "Registering the service handler for '" + bed.name + "'"));
  EXPECT_TRUE(logHas(log, "registerServiceHandler returning '0'"));
  auto at = [&](const std::string &line) {
    return std::find(log.begin(), log.end(), line) - log.begin();
  };
  EXPECT_LT(at("serviceMain returning."), at("Deregistering the Event Log."));
  EXPECT_EQ("Deregistering the Event Log.", log.back());
  EXPECT_EQ(0, standinOpenHandleCount(kStandinEventSource));
  EXPECT_EQ(nullptr, instanceDir);
}

namespace {
constexpr DWORD kNeverRuns = INFINITE;

// One setting of the refresh period, with the registration's preshutdown
// timeout, which the service also reads at start.
struct PeriodCase {
  const char *name;
  const char *refreshPeriod; // null: not set
  int loggedSeconds;
  bool serverAlreadyRunning;
  DWORD firstPassMs; // the supervision's waits before the running report, or kNeverRuns
  DWORD preshutdownMs;
  // The first pass finds the lock free; the server is back for the last
  // re-probe, 6 s later, still start-pending.
  bool backDuringTheReprobes = false;
  friend void PrintTo(const PeriodCase &c, std::ostream *os) { *os << c.name; }
};

struct RefreshPeriod : ServiceTiming, testing::WithParamInterface<PeriodCase> {};
} // namespace

// The period is read from the environment (an unset or negative one is 10 s,
// one that is no number 0) and honoured, the script wait too. The
// start-pending reports come at most 5 s apart until the running one, and the
// stop's at most 2 s apart: no wait hint lapses. A period beyond the largest
// whose milliseconds fit in 32 bits is clamped, not wrapped (it would be
// 704 ms). With 0 the service waits only for the stop sequence once it runs,
// and leaves that wait without a word. A preshutdown timeout shorter than a
// stop may take (an earlier release's, Windows' default) is named in a
// warning at start. A server found gone before the running report is
// re-probed with start-pending reports.
TEST_P(RefreshPeriod, IsReadHonouredAndKeepsEveryPendingReportWithinItsWaitHint) {
  const PeriodCase &c = GetParam();
  if (c.refreshPeriod)
    setenv("VELKOR_WINDOWS_SERVICE_REFRESH_PERIOD", c.refreshPeriod, 1);
  setenv("VELKOR_WINDOWS_SERVICE_STARTDS_WAIT", "123456", 1);
  {
    StandinScmLock lock;
    StandinService service;
    standinScmLoad(bed.name.c_str(), &service);
    service.preshutdownTimeout = c.preshutdownMs;
    standinScmSave(service);
  }
  pid_t first = c.serverAlreadyRunning ? bed.startServer() : 0;
  EXPECT_EQ(0, runService([&] {
    if (c.backDuringTheReprobes) {
      EXPECT_TRUE(bed.beforeTheProbeAfter(
          bed.lockFreeLine(),
          [&] {
            EXPECT_TRUE(eventually([&] { return logHas(bed.log(), "Refresh period in seconds is 10."); }));
            bed.killServer(first);
          },
          [&] { bed.startServer(); }, 2));
    }
    if (c.firstPassMs != kNeverRuns) {
      EXPECT_TRUE(bed.waitForState(SERVICE_RUNNING, 60000));
      bed.control(SERVICE_CONTROL_STOP);
      return;
    }
    waitForPasses(6);
    // Still start-pending: the SCM would refuse a stop; the test ends the wait.
    EXPECT_EQ((DWORD)ERROR_INVALID_SERVICE_CONTROL, bed.control(SERVICE_CONTROL_STOP));
    SetEvent(terminationEvent.load());
  }));
  Story story(bed);
  EXPECT_EQ(std::vector<std::string>(), lapsedHints(story));
  EXPECT_EQ("1 0 0 0 0 261", story.statuses.back());
  std::vector<std::string> log = bed.log();
  EXPECT_TRUE(logHas(log, "Refresh period in seconds is " + std::to_string(c.loggedSeconds) + "."));
  // The warning also goes to the event log, where administrators look.
  std::vector<std::string> events = bed.events();
  EXPECT_EQ(c.preshutdownMs < 63000 ? 1 : 0,
            std::count_if(events.begin(), events.end(), [](const std::string &e) {
              return startsWith(e, "2 other [Warning: the preshutdown timeout of the service");
            }));
  EXPECT_FALSE(c.loggedSeconds == 0 && logHas(log, "The application has exited."));
  std::string timeout = std::to_string(c.preshutdownMs) + " ms";
  EXPECT_EQ(1, countOf(log, c.preshutdownMs < 63000
                                ? "Warning: the preshutdown timeout of the service '" + bed.name +
                                      "' is " + timeout +
                                      ", shorter than the 63000 ms a stop may take; run create "
                                      "again to bring it up to date."
                                : "The preshutdown timeout of the service '" + bed.name + "' is " +
                                      timeout + "."));

  // The service thread: from its first supervision wait to the running report.
  std::vector<std::string> mainStory = story.of(story.threadOf("SetServiceStatus", kStandinNoLength));
  std::vector<std::string> waits;
  for (const std::string &line : mainStory) {
    if (startsWith(line, "status 4 "))
      break;
    if (startsWith(line, "WaitForSingleObject ") && line != "WaitForSingleObject 123456")
      waits.push_back(line);
  }
  EXPECT_EQ(!c.serverAlreadyRunning, std::count(mainStory.begin(), mainStory.end(),
                                                "WaitForSingleObject 123456") == 1);
  if (c.firstPassMs == kNeverRuns) {
    ASSERT_GE(waits.size(), 6u);
    EXPECT_EQ(repeated("WaitForSingleObject 5000", waits.size()), waits);
    return;
  }
  DWORD total = 0;
  for (const std::string &w : waits)
    total += (DWORD)atol(w.c_str() + strlen("WaitForSingleObject "));
  EXPECT_EQ(c.firstPassMs, total);
}

INSTANTIATE_TEST_SUITE_P(
    Periods, RefreshPeriod,
    testing::Values(PeriodCase{"Unset", nullptr, 10, true, 10000, 90000},
                    PeriodCase{"UnsetWithTheServerBackDuringTheReprobes", nullptr, 10, true,
                               20000, 90000, true},
                    PeriodCase{"Negative", "-5", 10, true, 10000, 180000},
                    PeriodCase{"TrailingText", "15s", 15, true, 15000, 10000},
                    PeriodCase{"NoNumber", "abc", 0, true, 0, 90000},
                    PeriodCase{"Zero", "0", 0, true, 0, 90000},
                    PeriodCase{"One", "1", 1, false, 1000, 90000},
                    PeriodCase{"Thirty", "30", 30, false, 30000, 90000},
                    PeriodCase{"Largest", "4294967", 4294967, false, kNeverRuns, 90000},
                    PeriodCase{"BeyondTheLargest", "4294968", 4294968, true, kNeverRuns, 90000}),
    [](const testing::TestParamInfo<PeriodCase> &info) { return std::string(info.param.name); });

// A server that dies outside the SCM is probed three more times, 2 s apart,
// before the service reports the failure, and only then writes its event.
TEST_F(ServiceTiming, ADeadServerIsReprobedThreeTimesTwoSecondsApart) {
  EXPECT_EQ(0, runService([this] {
    EXPECT_TRUE(bed.waitForState(SERVICE_RUNNING));
    bed.killScriptServer();
  }));
  Story story(bed);
  std::vector<std::string> mainStory = story.of(story.threadOf("WaitForSingleObject", 300000));
  ASSERT_GE(mainStory.size(), 5u);
  EXPECT_EQ(joined(repeated("Sleep 2000", 3), {"status 1 1066 -1 0 0 261", "event MSG_STOPPED_OUTSIDE_SCM"}),
            std::vector<std::string>(mainStory.end() - 5, mainStory.end()));
  EXPECT_EQ("WaitForSingleObject 5000", mainStory[mainStory.size() - 6]);
}

// A script that ends without starting the server: the start probes 5 s apart
// for its tries; then whatever the script may have left running is stopped
// (stop-pending with progress) before the failed start is reported and
// MSG_START_FAILED written.
TEST_F(ServiceTiming, StartProbesFiveSecondsApartThenStopsWhatTheScriptLeft) {
  bed.script(Script::Exit0);
  writeWholeFile(bed.lockFile(), ""); // there, but nobody holds it
  setenv("VELKOR_WINDOWS_SERVICE_START_NTRIES", "3", 1);
  EXPECT_EQ(0, runService([] {}));
  Story story(bed);
  std::vector<std::string> mainStory = story.of(story.threadOf("WaitForSingleObject", 300000));
  EXPECT_EQ(std::vector<std::string>({"status 2 0 0 1 5000 0", "status 2 0 0 2 330000 0",
                                      "WaitForSingleObject 300000", "status 2 0 0 3 10000 0",
                                      "Sleep 5000", "status 2 0 0 4 10000 0", "Sleep 5000",
                                      "status 2 0 0 5 10000 0", "Sleep 5000",
                                      "status 3 0 0 1 30000 261", "Sleep 1000",
                                      "status 3 0 0 2 10000 261", "status 1 1066 -1 0 0 261",
                                      "event MSG_START_FAILED"}),
            mainStory);
  EXPECT_TRUE(eventually([&] {
    return readWholeFile(bed.inst.root + "/lib/winlauncher.calls") ==
           "[stop] [" + bed.inst.rootWin + "\\.]\r\n";
  }));
}

// Supervision before the running report whose probes get no answer (the lock
// file is gone): each such pass is followed by a whole pass of 5 s with its
// start-pending report, whatever the period (0 here: no spin), and after as
// many of them as the start has tries the start has failed: the server is
// stopped and the service ends with MSG_START_FAILED.
TEST_F(ServiceTiming, UnansweredProbesBeforeRunningWaitWholePassesAndEndAfterTheTries) {
  setenv("VELKOR_WINDOWS_SERVICE_REFRESH_PERIOD", "0", 1);
  setenv("VELKOR_WINDOWS_SERVICE_START_NTRIES", "3", 1);
  std::string lock = bed.lockFile();
  writeWholeFile(lock, ""); // the server's, once it runs
  EXPECT_EQ(0, runService([&] {
    // The start's probe finds the server; then the lock file becomes a
    // folder, which no probe can open.
    EXPECT_TRUE(bed.beforeTheProbeAfter("doStartApplication: waited properly for process end.",
                                        [] {}, [&] {
                                          unlink(lock.c_str());
                                          mkdir(lock.c_str(), 0755);
                                        }));
    if (!bed.waitForState(SERVICE_STOPPED, 20000))
      SetEvent(terminationEvent.load()); // still start-pending: end the run
  }));
  Story story(bed);
  std::vector<std::string> mainStory = story.of(story.threadOf("WaitForSingleObject", 300000));
  auto from = std::find(mainStory.begin(), mainStory.end(), "status 2 0 0 3 10000 0");
  EXPECT_EQ(std::vector<std::string>({"status 2 0 0 3 10000 0", "status 2 0 0 4 10000 0",
                                      "WaitForSingleObject 5000", "status 2 0 0 5 10000 0",
                                      "WaitForSingleObject 5000", "status 3 0 0 1 30000 261",
                                      "Sleep 1000", "status 3 0 0 2 10000 261",
                                      "status 1 1066 -1 0 0 261", "event MSG_START_FAILED"}),
            std::vector<std::string>(from, mainStory.end()));
  EXPECT_EQ(3, countOf(bed.log(), "checking in serviceMain: error interrogating status."));
  EXPECT_TRUE(logHas(bed.log(), "ERROR:  serviceMain: the server was never seen running."));
  rmdir(lock.c_str());
}

namespace {
struct RemoveTiming : ScmTest {};
} // namespace

// `remove` polls a stopping service once a second, 90 times at most.
TEST_F(RemoveTiming, PollsAStoppingServiceOnceASecond) {
  standinSetTimeScale(0);
  standinClearTimeline();
  addService("velkor", "C:\\svc.exe", [](StandinService &s) {
    s.status.dwCurrentState = SERVICE_RUNNING;
    s.status.dwControlsAccepted = SERVICE_ACCEPT_STOP;
    s.stopAnswer = SERVICE_STOP_PENDING;
    s.hostPid = (int)getpid();
  });
  EXPECT_EQ(0, removeServiceWithName("velkor"));
  Story story;
  std::vector<std::string> sleeps;
  for (const std::string &line : story.of(story.threadOf("Sleep", 1000)))
    if (startsWith(line, "Sleep"))
      sleeps.push_back(line);
  EXPECT_EQ(repeated("Sleep 1000", 90), sleeps);
}
