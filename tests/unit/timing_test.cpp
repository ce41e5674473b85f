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
struct ServiceTiming : ServiceRun {};

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
