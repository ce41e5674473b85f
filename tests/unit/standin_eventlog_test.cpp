// The stand-in event log: reports are recorded whole, across processes, and
// refused on a handle that is not a live event source.
#include "platform/posix/standin_eventlog.h"
#include "support.h"

#include <sys/wait.h>
#include <unistd.h>

namespace {
class StandinEventLogTest : public testing::Test {
protected:
  void TearDown() override {
    standinClearFaults();
    EXPECT_EQ(standinOpenHandleCount(kStandinEventSource), 0);
  }
};

TEST_F(StandinEventLogTest, AReportOfAnyProcessIsRecordedWithEveryFieldAndStringsOfAnyBytes) {
  HANDLE source = RegisterEventSourceA(nullptr, "velkor \"svc\"\nname");
  ASSERT_NE(source, nullptr);
  const char *strings[] = {"C:\\velkor", "two\nlines\r\n", "", "12:34\n5:x", "\"quoted\" 'too'"};
  char raw[3] = {1, 2, 3};
  int sid = 0;
  ASSERT_TRUE(ReportEventA(source, EVENTLOG_WARNING_TYPE, 4000, 0x4FA00005, nullptr, 5, 0, strings,
                           nullptr));
  ASSERT_TRUE(ReportEventA(source, EVENTLOG_SUCCESS, 7, 0xCFA00006, &sid, 0, sizeof raw, nullptr, raw));
  EXPECT_TRUE(DeregisterEventSource(source));

  std::vector<StandinEvent> events = standinReadEvents();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].pid, (int)getpid());
  EXPECT_EQ(events[0].source, "velkor \"svc\"\nname");
  EXPECT_EQ(events[0].type, EVENTLOG_WARNING_TYPE);
  EXPECT_EQ(events[0].category, 4000);
  EXPECT_EQ(events[0].eventId, 0x4FA00005u);
  EXPECT_TRUE(events[0].userSidNull);
  EXPECT_EQ(events[0].rawDataSize, 0u);
  EXPECT_EQ(events[0].strings,
            std::vector<std::string>(std::begin(strings), std::end(strings)));
  EXPECT_EQ(events[1].type, EVENTLOG_SUCCESS);
  EXPECT_EQ(events[1].category, 7);
  EXPECT_EQ(events[1].eventId, 0xCFA00006u);
  EXPECT_FALSE(events[1].userSidNull);
  EXPECT_EQ(events[1].rawDataSize, 3u);
  EXPECT_TRUE(events[1].strings.empty());

  // Another process's reports are read back too.
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    HANDLE other = RegisterEventSourceA(nullptr, "child");
    const char *text[] = {"from the child"};
    bool ok = other && ReportEventA(other, EVENTLOG_ERROR_TYPE, 4000, 3, nullptr, 1, 0, text, nullptr);
    _exit(ok && DeregisterEventSource(other) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_EQ(status, 0);
  events = standinReadEvents();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[2].pid, (int)child);
  EXPECT_EQ(events[2].source, "child");
  EXPECT_EQ(events[2].strings, std::vector<std::string>{"from the child"});

  standinClearEvents();
  EXPECT_TRUE(standinReadEvents().empty());
}

TEST_F(StandinEventLogTest, AReportOnANullOrDeregisteredSourceAndAFaultFailAndRecordNothing) {
  const char *strings[] = {"x"};
  auto report = [&](HANDLE source) {
    return ReportEventA(source, EVENTLOG_ERROR_TYPE, 4000, 1, nullptr, 1, 0, strings, nullptr);
  };
  SetLastError(0);
  EXPECT_EQ(lastErrorOf(report(nullptr)), (DWORD)ERROR_INVALID_HANDLE);

  HANDLE source = RegisterEventSourceA(nullptr, "svc");
  ASSERT_NE(source, nullptr);
  ASSERT_TRUE(DeregisterEventSource(source));
  SetLastError(0);
  EXPECT_EQ(lastErrorOf(report(source)), (DWORD)ERROR_INVALID_HANDLE);
  EXPECT_EQ(lastErrorOf(DeregisterEventSource(source)), (DWORD)ERROR_INVALID_HANDLE);
  EXPECT_TRUE(standinReadEvents().empty());

  EXPECT_EQ(RegisterEventSourceA("\\\\elsewhere", "svc"), nullptr) << "only the local machine";

  // Every call fails on request with the chosen error.
  standinFailCall("RegisterEventSourceA", 1502, standinCallCount("RegisterEventSourceA") + 1);
  EXPECT_EQ(RegisterEventSourceA(nullptr, "svc"), nullptr);
  EXPECT_EQ(GetLastError(), 1502u);
  source = RegisterEventSourceA(nullptr, "svc");
  ASSERT_NE(source, nullptr);
  standinFailCall("ReportEventA", 1502, standinCallCount("ReportEventA") + 1);
  EXPECT_EQ(lastErrorOf(report(source)), 1502u);
  EXPECT_TRUE(standinReadEvents().empty());
  standinFailCall("DeregisterEventSource", 1502, standinCallCount("DeregisterEventSource") + 1);
  EXPECT_FALSE(DeregisterEventSource(source));
  EXPECT_TRUE(DeregisterEventSource(source)) << "the failed call left the source registered";
}
} // namespace
