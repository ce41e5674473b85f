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
// The entries of `all` that start with one of `prefixes`, in order.
std::vector<std::string> only(const std::vector<std::string> &all,
                              const std::vector<std::string> &prefixes) {
  std::vector<std::string> out;
  for (const std::string &line : all)
    for (const std::string &prefix : prefixes)
      if (startsWith(line, prefix)) {
        out.push_back(line);
        break;
      }
  return out;
}

struct ServiceTiming : ServiceRun {
  // Waits until serviceMain has made `passes` supervision waits of 5 s.
  void waitForPasses(int passes) const {
    EXPECT_TRUE(eventually([&] {
      std::vector<StandinTimedCall> calls = standinTimeline();
      return std::count_if(calls.begin(), calls.end(), [](const StandinTimedCall &c) {
               return c.call == "WaitForSingleObject" && c.requestedMs == 5000;
             }) >= passes;
    }));
  }
};
} // namespace

// Default timings from start to stop: the script is given 300 s, the first
// supervision wait is the 10 s refresh period, the running service is checked
// every 5 s; the stop pauses 1 s before its first probe. The running report
// precedes MSG_SERVER_STARTED, the stopped report MSG_SERVER_SHUTDOWN.
TEST_F(ServiceTiming, StartRunAndStopAskForTheDefaultDurations) {
  EXPECT_EQ(0, runService([this] {
    EXPECT_TRUE(bed.waitForState(SERVICE_RUNNING));
    waitForPasses(4); // the period's two, two while running
    bed.control(SERVICE_CONTROL_STOP);
  }));
  Story story(bed);
  int serviceThread = story.threadOf("WaitForSingleObject", 300000);
  ASSERT_NE(0, serviceThread) << "the script was not given the default 300 s";
  std::vector<std::string> mainStory = story.of(serviceThread);
  ASSERT_GE(mainStory.size(), 9u);
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
  // one that finds the stop running waits for its end, 10 ms at a time.
  for (size_t i = 11; i < mainStory.size(); ++i)
    EXPECT_TRUE(mainStory[i] == "WaitForSingleObject 5000" || mainStory[i] == "Sleep 2000" ||
                mainStory[i] == "Sleep 10")
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
}

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

struct HintCase {
  const char *refreshPeriod;
  bool serverAlreadyRunning;
  DWORD firstPassMs; // the supervision's first wait: the period, or 0 when it never ends
};

struct WaitHints : ServiceTiming, testing::WithParamInterface<HintCase> {};
} // namespace

// At every refresh period the start-pending reports come at most 5 s apart
// until the running one, and the stop's at most 2 s apart: no wait hint
// lapses. The periods are honoured (the script wait too); one beyond the
// largest whose milliseconds fit in 32 bits is clamped, not wrapped (it
// would be 704 ms).
TEST_P(WaitHints, NoPendingReportOutlivesItsWaitHint) {
  const HintCase &c = GetParam();
  setenv("VELKOR_WINDOWS_SERVICE_REFRESH_PERIOD", c.refreshPeriod, 1);
  setenv("VELKOR_WINDOWS_SERVICE_STARTDS_WAIT", "123456", 1);
  if (c.serverAlreadyRunning)
    bed.startServer();
  EXPECT_EQ(0, runService([&] {
    if (c.firstPassMs) {
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
  std::vector<std::string> mainStory = story.of(story.threadOf("WaitForSingleObject", 5000));
  // The service thread: from its first supervision wait to the running report.
  std::vector<std::string> waits;
  bool on = false;
  for (const std::string &line : mainStory) {
    if (startsWith(line, "status 4 "))
      break;
    on = on || (startsWith(line, "WaitForSingleObject ") && line != "WaitForSingleObject 123456");
    if (on && startsWith(line, "WaitForSingleObject "))
      waits.push_back(line);
  }
  EXPECT_EQ(!c.serverAlreadyRunning, std::count(mainStory.begin(), mainStory.end(),
                                                "WaitForSingleObject 123456") == 1);
  if (!c.firstPassMs) {
    ASSERT_GE(waits.size(), 6u);
    EXPECT_EQ(repeated("WaitForSingleObject 5000", waits.size()), waits);
    EXPECT_EQ("1 0 0 0 0 261", story.statuses.back());
    return;
  }
  DWORD total = 0;
  for (const std::string &w : waits)
    total += (DWORD)atol(w.c_str() + strlen("WaitForSingleObject "));
  EXPECT_EQ(c.firstPassMs, total);
}

INSTANTIATE_TEST_SUITE_P(Periods, WaitHints,
                         testing::Values(HintCase{"1", false, 1000}, HintCase{"10", false, 10000},
                                         HintCase{"30", false, 30000},
                                         HintCase{"10", true, 10000},
                                         HintCase{"4294967", false, 0},
                                         HintCase{"4294968", true, 0}));

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
// for its tries, then reports the failed start before MSG_START_FAILED.
TEST_F(ServiceTiming, StartProbesFiveSecondsApart) {
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
                                      "status 1 1066 -1 0 0 261", "event MSG_START_FAILED"}),
            mainStory);
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
  EXPECT_EQ(repeated("Sleep 1000", 90), only(story.of(story.threadOf("Sleep", 1000)), {"Sleep"}));
}
