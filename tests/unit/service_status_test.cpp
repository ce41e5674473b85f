// Status reports: the record sent, the trace lines, and a refused report.
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

TEST_F(ServiceStatus, StartPendingAcceptsNoControlsAndWritesTwoLines) {
  EXPECT_EQ(0, updateServiceStatus(SERVICE_START_PENDING, 0, 0, 7, 5000, serviceStatusSlot));
  EXPECT_EQ(std::vector<std::string>({"2 0 0 7 5000 0"}), bed.statuses());
  std::vector<std::string> log = bed.log();
  ASSERT_EQ(2u, log.size() - 1); // after the banner line
  EXPECT_EQ("Updating the service status.  statusToSet=2 win32ExitCode=0 serviceExitCode=0 "
            "checkPoint=7 waitHint=5000",
            log[1]);
  EXPECT_EQ("Service start pending: no controls accepted.", log[2]);
}

TEST_F(ServiceStatus, EveryOtherStateAcceptsStopShutdownAndPreshutdownAndWritesOneLine) {
  for (DWORD state : {SERVICE_RUNNING, SERVICE_STOP_PENDING}) {
    EXPECT_EQ(0, updateServiceStatus(state, 0, 0, 0, 0, serviceStatusSlot));
    EXPECT_EQ(0, stoppedReportTaken.load());
  }
  EXPECT_EQ(0, updateServiceStatus(SERVICE_STOPPED, 0, 0, 0, 0, serviceStatusSlot));
  EXPECT_EQ(1, stoppedReportTaken.load()) << "the SCM took the stopped report";
  // The first stopped report the SCM takes is the end: nothing is sent after it.
  EXPECT_EQ(kReportAfterStopped, updateServiceStatus(SERVICE_STOPPED, 1066, 0, 0, 0, serviceStatusSlot));
  EXPECT_EQ(kReportAfterStopped, updateServiceStatus(SERVICE_STOP_PENDING, 0, 0, 2, 0, serviceStatusSlot));
  EXPECT_EQ(std::vector<std::string>({"4 0 0 0 0 261", "3 0 0 0 0 261", "1 0 0 0 0 261"}),
            bed.statuses());
  EXPECT_EQ(1, countOf(bed.log(), "Not reporting the service status 3: the service has already stopped."));
  EXPECT_TRUE(standinScmLateStatuses(bed.name.c_str()).empty());
  EXPECT_EQ(0, countOf(bed.log(), "Service start pending: no controls accepted."));
}

TEST_F(ServiceStatus, ServiceSpecificMinusOneIsSentWithAllBitsAndLoggedSigned) {
  EXPECT_EQ(0, updateServiceStatus(SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR, (DWORD)-1, 0,
                                   0, serviceStatusSlot));
  std::vector<SERVICE_STATUS> history = standinScmStatusHistory(bed.name.c_str());
  ASSERT_EQ(1u, history.size());
  EXPECT_EQ(0xFFFFFFFFu, history[0].dwServiceSpecificExitCode);
  EXPECT_EQ(1066u, history[0].dwWin32ExitCode);
  EXPECT_TRUE(logHas(bed.log(), "Updating the service status.  statusToSet=1 "
                                "win32ExitCode=1066 serviceExitCode=-1 checkPoint=0 waitHint=0"));
}

TEST_F(ServiceStatus, RefusedReportAnswersOneWithTheLastErrorAndLeavesTheState) {
  currentServiceState = SERVICE_RUNNING;
  standinFailCall("SetServiceStatus", ERROR_INVALID_DATA, standinCallCount("SetServiceStatus") + 1);
  EXPECT_EQ(1, updateServiceStatus(SERVICE_STOPPED, 0, 0, 0, 0, serviceStatusSlot));
  EXPECT_TRUE(logHas(bed.log(), "ERROR:  Failed to set the service status.  Last error = 13."));
  EXPECT_TRUE(bed.statuses().empty());
  EXPECT_EQ((DWORD)SERVICE_RUNNING, currentServiceState.load());
  EXPECT_EQ(0, stoppedReportTaken.load()) << "a refused stopped report was not taken";
  EXPECT_EQ(1, stoppedReportRefused.load());

  // A null handle (registration failed) is refused the same way.
  SERVICE_STATUS_HANDLE none = nullptr;
  EXPECT_EQ(1, updateServiceStatus(SERVICE_RUNNING, 0, 0, 0, 0, &none));
  EXPECT_TRUE(logHas(bed.log(), "ERROR:  Failed to set the service status.  Last error = 6."));
}
