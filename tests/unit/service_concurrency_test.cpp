// Controls racing the stop sequence: a stop hands the sequence to its own
// thread, so the handler returns while it runs and the server can die
// meanwhile. The SCM itself delivers nothing while the service is
// stop-pending; the guard still keeps a second sequence out when a control
// reaches the handler directly.
// Run under TSan as well: the guard, the state and the event are shared.
#include "runtime_support.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "diag/debug_log.h"
#include "service/service_control.h"

namespace {
struct ServiceConcurrency : testing::Test {
  ServiceBed bed;

  void SetUp() override {
    bed.resolve();
    bed.registerService();
    bed.registerHandler(serviceHandler);
    terminationEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    eventSource = RegisterEventSourceA(nullptr, bed.name.c_str());
    currentServiceState = SERVICE_RUNNING;
    endRequested = 0;
    debug("test set up");
  }
  void TearDown() override {
    EXPECT_TRUE(eventually([] { return stopInProgress.load() == 0; }, 30000));
  }
  size_t count(const std::string &line) {
    size_t n = 0;
    for (const std::string &m : bed.log())
      n += m == line;
    return n;
  }
  bool terminated() { return WaitForSingleObject(terminationEvent.load(), 0) == WAIT_OBJECT_0; }
  // Hands the handler a control the way the SCM does: only when the state
  // the service last reported lets it through; else the SCM's refusal.
  DWORD deliver(DWORD control) {
    DWORD refusal = standinScmControlRefusal(bed.current(), control);
    if (!refusal)
      serviceHandler(control);
    return refusal;
  }
};
} // namespace

TEST_F(ServiceConcurrency, ShutdownAndStopDuringAStopStartNothingMore) {
  bed.startServer();
  serviceHandler(SERVICE_CONTROL_STOP);      // the sequence goes to its thread
  serviceHandler(SERVICE_CONTROL_SHUTDOWN);  // arrives while it runs
  serviceHandler(SERVICE_CONTROL_STOP);
  ASSERT_TRUE(eventually([] { return stopInProgress.load() == 0; }, 30000));
  EXPECT_EQ(1u, count("doStopApplication"));
  EXPECT_EQ(2u, count("serviceHandler: a stop is already in progress."));
  EXPECT_TRUE(terminated());
  EXPECT_EQ((DWORD)SERVICE_STOPPED, currentServiceState.load());
  EXPECT_EQ(1u, bed.events().size());
}

TEST_F(ServiceConcurrency, InterrogatesDuringAStopAreRefusedAndNothingFollowsTheStoppedReport) {
  bed.startServer();
  {
    StandinScmLock lock; // the SCM shows the service running
    StandinService service;
    standinScmLoad(bed.name.c_str(), &service);
    service.status.dwCurrentState = SERVICE_RUNNING;
    service.status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    standinScmSave(service);
  }
  EXPECT_EQ(0, updateServiceStatus(SERVICE_RUNNING, 0, 0, 0, 0, serviceStatusSlot));
  EXPECT_EQ(0u, deliver(SERVICE_CONTROL_INTERROGATE)); // repeats it
  EXPECT_EQ(0u, deliver(SERVICE_CONTROL_STOP));
  int refused = 0;
  while (stopInProgress.load())
    refused += deliver(SERVICE_CONTROL_INTERROGATE) == ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
  EXPECT_LT(0, refused);
  EXPECT_TRUE(terminated());
  EXPECT_FALSE(lockHeld(bed.lockFile()));
  EXPECT_EQ(1u, count("serviceHandler: interrogate."));
  std::vector<std::string> statuses = bed.statuses();
  EXPECT_EQ("4 0 0 0 0 261", statuses[0]);
  EXPECT_EQ("4 0 0 0 0 261", statuses[1]);
  EXPECT_EQ("1 0 0 0 0 261", statuses.back());
  EXPECT_EQ(1, std::count(statuses.begin(), statuses.end(), "1 0 0 0 0 261"));
  EXPECT_TRUE(standinScmLateStatuses(bed.name.c_str()).empty());
}

TEST_F(ServiceConcurrency, ServerDyingDuringTheStopCountsAsStopped) {
  pid_t server = bed.startServer();
  serviceHandler(SERVICE_CONTROL_STOP); // stop-pending: the stop thread runs
  bed.killServer(server);
  ASSERT_TRUE(eventually([] { return stopInProgress.load() == 0; }, 30000));
  EXPECT_EQ(1u, count("doStopApplication: server stopped."));
  EXPECT_TRUE(terminated());
  std::vector<std::string> events = bed.events();
  ASSERT_EQ(1u, events.size());
  EXPECT_NE(std::string::npos, events[0].find("MSG_SERVER_SHUTDOWN"));
}
