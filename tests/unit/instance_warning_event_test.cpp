// The warning event sent while the instance root named by instance.loc
// cannot be resolved: once per process, its exact text, and its cut at 519
// characters, read back from the stand-in event log.
#if __has_include("platform/posix/standin_eventlog.h")
#include "diag/debug_log.h"
#include "diag/event_log.h"
#include "instance/instance_paths.h"
#include "instance_support.h"
#include "platform/posix/standin_eventlog.h"

#include <gtest/gtest.h>

namespace {
class InstanceWarningEvent : public testing::Test {
protected:
  void SetUp() override {
    resetDebugLogForTest();
    install.actAsProgram();
  }
  void TearDown() override {
    freeInstancePaths();
    if (eventSource)
      DeregisterEventSource(eventSource);
    eventSource = nullptr;
    standinSetModuleFileName(nullptr);
    resetDebugLogForTest();
  }
  static std::string warningText(const std::string &dirWin) {
    return "Could not resolve the Velkor instance root from '" + dirWin +
           "\\instance.loc'; probing the install root '" + dirWin +
           "' until the instance root becomes available.";
  }
  ScratchDir scratch;
  Installation install{scratch};
};

TEST_F(InstanceWarningEvent, SentOnceWithItsTextWhileTheRootIsMissing) {
  writeWholeFile(install.root + "/instance.loc", "..\\missing\r\n");
  eventSource = RegisterEventSourceA(nullptr, "VelkorTest");
  ASSERT_NE(eventSource, nullptr);
  ASSERT_EQ(initInstanceDir(install.rootWin.c_str()), 1);
  getInstanceRoot();
  getInstanceRoot();
  std::vector<StandinEvent> events = standinReadEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].source, "VelkorTest");
  EXPECT_EQ(events[0].type, EVENTLOG_WARNING_TYPE);
  EXPECT_EQ(events[0].category, EVENT_CATEGORY);
  EXPECT_EQ(events[0].eventId, (DWORD)MSG_GENERIC);
  EXPECT_TRUE(events[0].userSidNull);
  EXPECT_EQ(events[0].strings, std::vector<std::string>{warningText(install.rootWin)});
  EXPECT_EQ(events[0].rawDataSize, 0u);
  EXPECT_EQ(instanceRootWarned.load(), 1);
}

TEST_F(InstanceWarningEvent, AReportThatFailedIsMadeOnALaterCall) {
  writeWholeFile(install.root + "/instance.loc", "..\\missing\r\n");
  ASSERT_EQ(initInstanceDir(install.rootWin.c_str()), 1); // no source yet: lost
  EXPECT_TRUE(standinReadEvents().empty());
  eventSource = RegisterEventSourceA(nullptr, "VelkorTest");
  getInstanceRoot();
  getInstanceRoot();
  EXPECT_EQ(standinReadEvents().size(), 1u);
}

TEST_F(InstanceWarningEvent, TextIsCutAt519Characters) {
  std::string sub = makeDirOfWindowsLength(scratch, 245, "long");
  scratch.writeFile(sub + "/instance.loc", "..\\missing\r\n");
  eventSource = RegisterEventSourceA(nullptr, "VelkorTest");
  ASSERT_EQ(initInstanceDir(scratch.win(sub).c_str()), 1);
  std::vector<StandinEvent> events = standinReadEvents();
  ASSERT_EQ(events.size(), 1u);
  ASSERT_EQ(events[0].strings.size(), 1u);
  EXPECT_EQ(events[0].strings[0], warningText(scratch.win(sub)).substr(0, 519));
}
} // namespace
#endif
