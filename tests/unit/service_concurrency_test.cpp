// Controls racing the stop sequence, as the SCM can deliver them: a stop
// hands the sequence to its own thread, so interrogate, another stop or a
// shutdown reach the handler while it runs, and the server can die meanwhile.
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

TEST_F(ServiceConcurrency, InterrogateDuringAStopAnswersFromTheLockAndTheStopEnds) {
  bed.startServer();
  serviceHandler(SERVICE_CONTROL_STOP);
  for (int i = 0; i < 20 && stopInProgress.load(); ++i)
    serviceHandler(SERVICE_CONTROL_INTERROGATE);
  ASSERT_TRUE(eventually([] { return stopInProgress.load() == 0; }, 30000));
  EXPECT_TRUE(terminated());
  EXPECT_FALSE(lockHeld(bed.lockFile()));
  // The sequence made its stopped report. An interrogate that probed just
  // before the server let go may still report running after it: the answer
  // comes from the lock alone, whatever the service is doing.
  std::vector<std::string> statuses = bed.statuses();
  EXPECT_NE(std::find(statuses.begin(), statuses.end(), "1 0 0 0 0 5"), statuses.end());
}

TEST_F(ServiceConcurrency, ServerDyingDuringTheStopCountsAsStopped) {
  pid_t server = bed.startServer();
  std::thread killer([&] { bed.killServer(server); });
  serviceHandler(SERVICE_CONTROL_STOP);
  killer.join();
  ASSERT_TRUE(eventually([] { return stopInProgress.load() == 0; }, 30000));
  EXPECT_EQ(1u, count("doStopApplication: server stopped."));
  EXPECT_TRUE(terminated());
  std::vector<std::string> events = bed.events();
  ASSERT_EQ(1u, events.size());
  EXPECT_NE(std::string::npos, events[0].find("MSG_SERVER_SHUTDOWN"));
}
