// Removing a service: the existence check, the stop request and its wait,
// deletion, and the marked-for-deletion paths.
#include "scm/service_remove.h"
#include "scm_fixture.h"

namespace {
class RemoveTest : public ScmTest {
protected:
  // A running service of a live process; a stop request leaves it in `stopAnswer`.
  void addRunning(const std::string &name, DWORD stopAnswer) {
    addService(name, "C:\\svc.exe", [stopAnswer](StandinService &s) {
      s.status.dwCurrentState = SERVICE_RUNNING;
      s.status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
      s.stopAnswer = stopAnswer;
      s.hostPid = (int)getpid(); // the knob answers for a live process
    });
  }
};

// Only the exact name is removed; a stopped service goes without a stop
// request, and its event-log source with it.
TEST_F(RemoveTest, StoppedServiceOfExactlyThatNameIsDeletedWithoutAStopRequest) {
  addService("Velkor", "C:\\svc.exe");
  ASSERT_TRUE(createEventLogKey("Velkor"));
  EXPECT_EQ(removeServiceWithName("velkor"), 1);
  EXPECT_EQ(lastLine(), "Service does not exist.");
  EXPECT_TRUE(exists("Velkor"));
  EXPECT_EQ(standinCallCount("DeleteService"), 0);

  EXPECT_EQ(removeServiceWithName("Velkor"), 0);
  EXPECT_FALSE(exists("Velkor"));
  EXPECT_FALSE(eventKeyExists("Velkor"));
  EXPECT_EQ(standinCallCount("ControlService"), 0);
  std::vector<std::string> tail = logFrom("Removing service with name Velkor.");
  ASSERT_FALSE(tail.empty());
  EXPECT_EQ(tail[1], "Removing service 'Velkor' from the Service Control Manager.");
  EXPECT_EQ(tail.back(), "Service successfully removed.");
  EXPECT_TRUE(logHas(tail, "Deleting the service 'Velkor'."));
}

TEST_F(RemoveTest, RunningServiceStoppedThenDeleted) {
  addRunning("velkor", SERVICE_STOPPED);
  EXPECT_EQ(removeServiceWithName("velkor"), 0);
  EXPECT_FALSE(exists("velkor"));
  EXPECT_EQ(standinCallCount("Sleep"), 0);
  EXPECT_TRUE(logHas(log(), "Attempting to stop the service 'velkor'."));
}

TEST_F(RemoveTest, ServiceAnsweringRunningIsRefusedAtOnce) {
  addRunning("velkor", SERVICE_RUNNING);
  ASSERT_TRUE(createEventLogKey("velkor"));
  EXPECT_EQ(removeServiceWithName("velkor"), 3);
  EXPECT_TRUE(eventKeyExists("velkor"));
  EXPECT_EQ(standinCallCount("Sleep"), 0);
  EXPECT_EQ(standinCallCount("DeleteService"), 0);
  EXPECT_FALSE(service("velkor").markedForDelete);
  EXPECT_TRUE(logHas(log(), "ERROR:  The service 'velkor' is still running after the stop "
                            "request: not deleting it."));
  EXPECT_EQ(lastLine(), "Unexpected error removing service.");
}

TEST_F(RemoveTest, StopStillPendingAfterNinetyPassesIsMarkedForDeletion) {
  standinSetTimeScale(0);
  addRunning("velkor", SERVICE_STOP_PENDING);
  EXPECT_EQ(removeServiceWithName("velkor"), 0);
  EXPECT_EQ(standinCallCount("Sleep"), 90);
  EXPECT_EQ(standinCallCount("QueryServiceStatus"), 91);
  EXPECT_TRUE(logHas(log(), "ERROR:  The service 'velkor' did not reach SERVICE_STOPPED (state=3): "
                            "DeleteService will only mark it for deletion."));
  EXPECT_EQ(lastLine(), "Service successfully removed.");
  EXPECT_TRUE(service("velkor").markedForDelete) << "the SCM deletes it once it stops";
}

TEST_F(RemoveTest, FailedStatusQueryEndsTheWaitWithTheStateLastReceived) {
  standinSetTimeScale(0);
  addRunning("velkor", SERVICE_STOP_PENDING);
  // Query 1 is before the stop request, 2 after the first sleep, 3 fails.
  standinFailCall("QueryServiceStatus", ERROR_ACCESS_DENIED, 3);
  EXPECT_EQ(removeServiceFromScm("velkor"), 0);
  EXPECT_EQ(standinCallCount("Sleep"), 2);
  EXPECT_TRUE(logHas(log(), "ERROR:  The service 'velkor' did not reach SERVICE_STOPPED (state=3): "
                            "DeleteService will only mark it for deletion."));
}

TEST_F(RemoveTest, MarkedForDeletionGivesTwo) {
  // Stopped but held open by someone: the first delete only marks it.
  addService("held", "C:\\svc.exe");
  SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE holder = OpenServiceA(scm, "held", SERVICE_QUERY_STATUS);
  ASSERT_NE(holder, nullptr);
  EXPECT_EQ(removeServiceWithName("held"), 0);
  EXPECT_TRUE(service("held").markedForDelete);
  ASSERT_TRUE(createEventLogKey("held"));
  EXPECT_EQ(removeServiceWithName("held"), 2);
  EXPECT_FALSE(eventKeyExists("held")) << "the source goes with a marked service";
  EXPECT_TRUE(logHas(log(), "ERROR:  Failed to delete the service 'held'.  Last error = 1072."));
  EXPECT_EQ(lastLine(), "Service marked for deletion.");
  CloseServiceHandle(holder);
  CloseServiceHandle(scm);
  EXPECT_FALSE(exists("held")) << "gone with the last handle";

  // The stop request refused as marked for deletion.
  addRunning("running", SERVICE_STOPPED);
  standinFailCall("ControlService", ERROR_SERVICE_MARKED_FOR_DELETE);
  EXPECT_EQ(removeServiceWithName("running"), 2);
  EXPECT_EQ(standinCallCount("DeleteService"), 2) << "no delete after the refused stop";
}

TEST_F(RemoveTest, OtherFailuresLeaveTheServiceInPlace) {
  addRunning("velkor", SERVICE_STOPPED);
  ASSERT_TRUE(createEventLogKey("velkor"));
  struct Case {
    const char *call;
    int occurrence;
    DWORD error;
    const char *trace;
  } cases[] = {
      {"ControlService", 1, ERROR_SERVICE_CANNOT_ACCEPT_CTRL,
       "ERROR:  Failed to stop the service 'velkor'.  Last error = 1061."},
      {"OpenServiceA", 2, ERROR_ACCESS_DENIED, "ERROR:  Failed to open the service 'velkor'. Last error = 5"},
      {"QueryServiceStatus", 1, ERROR_ACCESS_DENIED,
       "ERROR:  Failed to query the status for service 'velkor'. Last error = 5"},
      {"OpenSCManagerA", 2, ERROR_ACCESS_DENIED,
       "ERROR:  Failed to open the Service Control Manager.  Last error = 5"},
  };
  for (const Case &c : cases) {
    failAfresh(c.call, c.error, c.occurrence);
    EXPECT_EQ(removeServiceWithName("velkor"), 3) << c.call;
    EXPECT_TRUE(logHas(log(), c.trace)) << c.call;
    EXPECT_EQ(lastLine(), "Unexpected error removing service.");
    EXPECT_EQ(standinCallCount("DeleteService"), 0) << c.call;
    EXPECT_EQ(service("velkor").status.dwCurrentState, SERVICE_RUNNING) << c.call;
    EXPECT_TRUE(eventKeyExists("velkor")) << c.call;
  }

  failAfresh("DeleteService", ERROR_ACCESS_DENIED);
  EXPECT_EQ(removeServiceFromScm("velkor"), 1);
  EXPECT_TRUE(logHas(log(), "ERROR:  Failed to delete the service 'velkor'.  Last error = 5."));

  failAfresh("EnumServicesStatusA", ERROR_ACCESS_DENIED);
  EXPECT_EQ(removeServiceWithName("velkor"), 3);
  EXPECT_EQ(lastLine(), "Could not determine whether the service exists.");
  EXPECT_EQ(standinCallCount("OpenServiceA"), 0);
}
} // namespace
