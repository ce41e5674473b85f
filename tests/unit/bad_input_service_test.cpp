// Bad input for the service process, run by the stand-in SCM: an odd or
// over-long directory on the service command line, and an installation that
// is removed while its service runs.
#include "runtime_support.h"

#include <gtest/gtest.h>

namespace {
struct BadInputService : testing::Test {
  ServiceBed bed;

  void SetUp() override {
    unsetenv("VELKOR_STANDIN_SERVICE");
    bed.registerService(0); // registered, not running
    unsetenv("VELKOR_STANDIN_SERVICE");
  }

  RunResult sc(const std::vector<std::string> &args) {
    return runProgram(fixturePath("velkor_sc"), args);
  }
};

TEST_F(BadInputService, StartWithAnOddDirectoryIsRefusedBeforeTheDispatcher) {
  for (const std::string &odd : {std::string("say \"hi\" %s%n ^& caf\xe9"), std::string(10000, 'q')}) {
    RunResult refused = runProgram(bed.inst.program, {"start", odd});
    EXPECT_EQ(255, refused.exitCode);
    EXPECT_EQ("The instance dir '" + odd + "' is not valid.\n", refused.out);
  }
  EXPECT_TRUE(bed.events().empty()) << "nothing is reported before the event source exists";
}

// With its installation gone the service cannot tell whether the server runs
// (the lock file cannot be opened), so it stays running; a stop cannot run
// the stop launcher and is refused (the service reports running again); a
// shutdown ends it. The process never dies on its own.
TEST_F(BadInputService, InstallationRemovedWhileTheServiceRuns) {
  ASSERT_EQ("started\n", sc({"start", bed.name}).out);
  ASSERT_EQ(0, sc({"wait", bed.name, "4", "20000"}).exitCode);
  ASSERT_EQ(0, system(("rm -rf '" + bed.inst.root + "'").c_str()));
  // The test server ends once its instance root is gone: the lock is free.
  usleep(300 * 1000); // supervision probes many times at this time scale
  EXPECT_EQ((DWORD)SERVICE_RUNNING, bed.current().dwCurrentState);

  RunResult stop = sc({"control", bed.name, "1"});
  EXPECT_EQ(0, stop.exitCode) << stop.out;
  EXPECT_TRUE(eventually([&] {
    std::vector<std::string> events = bed.events();
    return !events.empty() && events.back().rfind("1 MSG_STOP_FAILED", 0) == 0;
  })) << "the stop launcher is gone";
  EXPECT_EQ(0, sc({"wait", bed.name, "4", "20000"}).exitCode) << "running again";

  sc({"control", bed.name, "5"});
  RunResult ended = sc({"wait", bed.name, "1", "20000"});
  EXPECT_EQ(0, ended.exitCode);
  EXPECT_EQ(std::string::npos, ended.out.find("win32=1067")) << "the process died: " << ended.out;
  StandinService service;
  ASSERT_TRUE(standinScmLoad(bed.name.c_str(), &service));
  EXPECT_TRUE(eventually([&] {
    standinScmLoad(bed.name.c_str(), &service);
    return service.hostPid == 0;
  })) << "the service process ends";
}
} // namespace
