// Status reports: the record sent, the trace lines, the end of reporting
// with the stopped report, and a refused report.
#include "runtime_support.h"

#include <gtest/gtest.h>

#include "service/service_status.h"

namespace {
void WINAPI ignoreControl(DWORD) {}

struct ServiceStatus : testing::Test {
  ServiceBed bed;
  void SetUp() override {
    bed.registerService();
    bed.registerHandler(ignoreControl);
  }
};
} // namespace

// Each report as the SCM receives it and as the log shows it: start-pending
// accepts no controls and says so; a service-specific -1 keeps all its bits
// and is logged signed; the stopped report is the last one sent.
TEST_F(ServiceStatus, EachReportIsSentAndTracedAsTheScmReadsIt) {
  const struct {
    DWORD state, win32, specific, checkPoint, hint;
    const char *sent, *traced;
    bool startPendingLine;
  } reports[] = {
      {SERVICE_START_PENDING, 0, 0, 7, 5000, "2 0 0 7 5000 0",
       "statusToSet=2 win32ExitCode=0 serviceExitCode=0 checkPoint=7 waitHint=5000", true},
      {SERVICE_RUNNING, 0, 0, 8, 0, "4 0 0 8 0 261",
       "statusToSet=4 win32ExitCode=0 serviceExitCode=0 checkPoint=8 waitHint=0", false},
      {SERVICE_STOP_PENDING, 0, 0, 2, 10000, "3 0 0 2 10000 261",
       "statusToSet=3 win32ExitCode=0 serviceExitCode=0 checkPoint=2 waitHint=10000", false},
      {SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR, (DWORD)-1, 0, 0, "1 1066 -1 0 0 261",
       "statusToSet=1 win32ExitCode=1066 serviceExitCode=-1 checkPoint=0 waitHint=0", false},
  };
  std::vector<std::string> sent, traced;
  for (const auto &r : reports) {
    EXPECT_EQ(kReportTaken, updateServiceStatus(r.state, r.win32, r.specific, r.checkPoint, r.hint,
                                                serviceStatusSlot));
    sent.push_back(r.sent);
    traced.push_back(std::string("Updating the service status.  ") + r.traced);
    if (r.startPendingLine)
      traced.push_back("Service start pending: no controls accepted.");
  }
  EXPECT_EQ(sent, bed.statuses());
  std::vector<std::string> log = bed.log();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(traced, std::vector<std::string>(log.begin() + 1, log.end())); // after the banner
  EXPECT_EQ(0xFFFFFFFFu, standinScmStatusHistory(bed.name.c_str()).back().dwServiceSpecificExitCode);

  // Nothing follows the stopped report, a second stopped one included.
  EXPECT_EQ(kReportAfterStopped, updateServiceStatus(SERVICE_STOPPED, 0, 0, 0, 0, serviceStatusSlot));
  EXPECT_EQ(kReportAfterStopped, updateServiceStatus(SERVICE_STOP_PENDING, 0, 0, 2, 0, serviceStatusSlot));
  EXPECT_EQ(sent, bed.statuses());
  EXPECT_EQ(1, countOf(bed.log(), "Not reporting the service status 3: the service has already stopped."));
  EXPECT_TRUE(standinScmLateStatuses(bed.name.c_str()).empty());
}

// A refused report answers 1 with the last error. A refused stopped report
// still closes the way for every other report; only its sender makes it once
// more.
TEST_F(ServiceStatus, ARefusedStoppedReportClosesTheWayAndMayBeMadeOnceMore) {
  standinFailCall("SetServiceStatus", ERROR_INVALID_DATA, standinCallCount("SetServiceStatus") + 1);
  EXPECT_EQ(kReportRefused, updateServiceStatus(SERVICE_STOPPED, 0, 0, 0, 0, serviceStatusSlot));
  EXPECT_TRUE(logHas(bed.log(), "ERROR:  Failed to set the service status.  Last error = 13."));
  EXPECT_TRUE(bed.statuses().empty());
  EXPECT_EQ(kReportAfterStopped, updateServiceStatus(SERVICE_RUNNING, 0, 0, 0, 0, serviceStatusSlot));
  EXPECT_EQ(kReportTaken, repeatStoppedStatus(0, 0, serviceStatusSlot));
  EXPECT_EQ(std::vector<std::string>({"1 0 0 0 0 261"}), bed.statuses());

  // A null handle (registration failed) is refused the same way.
  resetServiceStatus();
  SERVICE_STATUS_HANDLE none = nullptr;
  EXPECT_EQ(kReportRefused, updateServiceStatus(SERVICE_RUNNING, 0, 0, 0, 0, &none));
  EXPECT_TRUE(logHas(bed.log(), "ERROR:  Failed to set the service status.  Last error = 6."));
}
