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
// What one thread of this process did, in order: its sleeps and waits with
// the lengths asked for ("Sleep 2000", "WaitForSingleObject 5000"), and,
// given the service's reports, each status it reported ("status <text>") and
// each event it wrote ("event <symbol>"). Sleep(0), a yield, is left out.
struct Story {
  std::vector<StandinTimedCall> calls = standinTimeline();
  std::vector<std::string> statuses;
  std::vector<StandinEvent> events;

  Story() = default;
  explicit Story(const ServiceBed &bed)
      : statuses(bed.statuses()), events(standinReadEvents()) {
    EXPECT_FALSE(standinTimelineOverflowed());
    // Every report and event of the run was made by this process, and none
    // failed, so the n-th call is the n-th record.
    EXPECT_EQ(statuses.size(), count("SetServiceStatus"));
    EXPECT_EQ(events.size(), count("ReportEventA"));
  }

  static std::string symbolOf(const StandinEvent &e) {
    std::string text = eventText(e); // "<type> <symbol> [<string>]..."
    size_t from = text.find(' ') + 1;
    return text.substr(from, text.find(" [") - from);
  }

  size_t count(const std::string &call) const {
    return (size_t)std::count_if(calls.begin(), calls.end(),
                                 [&](const StandinTimedCall &c) { return c.call == call; });
  }

  // The thread that first asked `call` for `ms`; 0 when none did.
  int threadOf(const std::string &call, DWORD ms) const {
    for (const StandinTimedCall &c : calls)
      if (c.call == call && c.requestedMs == ms)
        return c.thread;
    return 0;
  }

  std::vector<std::string> of(int thread) const {
    std::vector<std::string> out;
    size_t status = 0, event = 0;
    for (const StandinTimedCall &c : calls) {
      std::string line;
      if (c.call == "SetServiceStatus" && status < statuses.size())
        line = "status " + statuses[status++];
      else if (c.call == "ReportEventA" && event < events.size())
        line = "event " + symbolOf(events[event++]);
      else if (c.requestedMs != kStandinNoLength && c.requestedMs != 0)
        line = c.call + " " + std::to_string(c.requestedMs);
      if (!line.empty() && c.thread == thread)
        out.push_back(line);
    }
    return out;
  }
};

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

std::vector<std::string> repeated(const std::string &line, size_t times) {
  return std::vector<std::string>(times, line);
}

std::vector<std::string> joined(std::vector<std::string> a, const std::vector<std::string> &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct ServiceTiming : ServiceRun {
  void SetUp() override {
    standinClearTimeline();
    ServiceRun::SetUp();
  }

  // Waits until serviceMain has made `passes` supervision waits of 5 s.
  void waitForPasses(int passes) const {
    EXPECT_TRUE(eventually([&] {
      std::vector<StandinTimedCall> calls = standinTimeline();
      return std::count_if(calls.begin(), calls.end(), [](const StandinTimedCall &c) {
               return c.call == "WaitForSingleObject" && c.requestedMs == 5000;
             }) >= passes;
    }));
  }

  // Replaces the stop launcher with one that leaves the server running.
  void launcherThatDoesNothing() const {
    writeWholeFile(bed.launcherPath(), "#!/bin/sh\nexit 0\n");
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
    waitForPasses(2);
    bed.control(SERVICE_CONTROL_STOP);
  }));
  Story story(bed);
  int serviceThread = story.threadOf("WaitForSingleObject", 300000);
  ASSERT_NE(0, serviceThread) << "the script was not given the default 300 s";
  std::vector<std::string> mainStory = story.of(serviceThread);
  ASSERT_GE(mainStory.size(), 9u);
  EXPECT_EQ(std::vector<std::string>({"status 2 0 0 1 5000 0", "status 2 0 0 2 330000 0",
                                      "WaitForSingleObject 300000", "status 2 0 0 3 10000 0",
                                      "WaitForSingleObject 10000", "status 4 0 0 4 0 261",
                                      "event MSG_SERVER_STARTED", "WaitForSingleObject 5000",
                                      "WaitForSingleObject 5000"}),
            std::vector<std::string>(mainStory.begin(), mainStory.begin() + 9));
  // Every later pass is 5 s too; the last one is ended by the stop. A pass
  // that finds the lock free while the server stops re-probes it 2 s apart.
  for (size_t i = 9; i < mainStory.size(); ++i)
    EXPECT_TRUE(mainStory[i] == "WaitForSingleObject 5000" || mainStory[i] == "Sleep 2000")
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

TEST_F(ServiceTiming, RefreshPeriodSetsTheFirstWaitOnly) {
  setenv("VELKOR_WINDOWS_SERVICE_REFRESH_PERIOD", "3", 1);
  setenv("VELKOR_WINDOWS_SERVICE_STARTDS_WAIT", "123456", 1);
  EXPECT_EQ(0, runService([this] {
    EXPECT_TRUE(bed.waitForState(SERVICE_RUNNING));
    waitForPasses(1);
    bed.control(SERVICE_CONTROL_STOP);
  }));
  Story story(bed);
  int serviceThread = story.threadOf("WaitForSingleObject", 123456);
  ASSERT_NE(0, serviceThread);
  std::vector<std::string> waits = only(story.of(serviceThread), {"WaitForSingleObject"});
  ASSERT_GE(waits.size(), 3u);
  EXPECT_EQ(std::vector<std::string>({"WaitForSingleObject 123456", "WaitForSingleObject 3000",
                                      "WaitForSingleObject 5000"}),
            std::vector<std::string>(waits.begin(), waits.begin() + 3));
}

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

// A stop whose server keeps running probes 30 times, 2 s apart after a 1 s
// pause, then reports running again before it writes MSG_STOP_FAILED.
TEST_F(ServiceTiming, AStopThatFailsProbesTwoSecondsApart) {
  launcherThatDoesNothing();
  EXPECT_EQ(0, runService([this] {
    EXPECT_TRUE(bed.waitForState(SERVICE_RUNNING));
    bed.control(SERVICE_CONTROL_STOP);
    EXPECT_TRUE(eventually([&] { return bed.events().size() == 2; }));
    bed.killScriptServer();
  }));
  Story story(bed);
  std::vector<std::string> stopStory = story.of(story.threadOf("Sleep", 1000));
  std::vector<std::string> expected = {"Sleep 1000"};
  for (int probe = 0; probe < 30; ++probe) {
    expected.push_back("status 3 0 0 " + std::to_string(probe + 2) + " 10000 261");
    expected.push_back("Sleep 2000");
  }
  expected.push_back("status 4 0 0 0 0 261");
  expected.push_back("event MSG_STOP_FAILED");
  EXPECT_EQ(expected, stopStory);
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
