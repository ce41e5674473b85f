// The create, state, remove and cleanup subcommands run as the program
// itself: exit codes, standard output, and what they leave in the SCM and
// the registry (create and state on lines already registered: scm_lookup_test).
#include "scm_fixture.h"

#include <algorithm>

namespace {
class CommandsTest : public ScmTest {
protected:
  RunResult run(const std::vector<std::string> &args) { return runProgram(install.program, args); }
  RunResult run(const Installation &other, const std::vector<std::string> &args) {
    return runProgram(other.program, args);
  }
  void failAcrossProcesses(const std::string &rules) {
    writeWholeFile(std::string(standinRoot()) + "/faults", rules);
  }
  void TearDown() override {
    unlink((std::string(standinRoot()) + "/faults").c_str());
    ScmTest::TearDown();
  }
};

TEST_F(CommandsTest, CreateForAnotherInstanceTakesTheNextSuffixOrReportsTheRefusal) {
  ASSERT_EQ(run({"create", install.rootWin, "velkor", "first"}).exitCode, 0);
  Installation second(scratch, "second");
  EXPECT_EQ(run(second, {"create", second.rootWin, "velkor", "second"}).exitCode, 0);
  EXPECT_EQ(run(second, {"state", second.rootWin}).out, "velkor-2");
  EXPECT_TRUE(eventKeyExists("velkor-2"));

  // Free by the exact name check, refused by the SCM.
  Installation third(scratch, "third");
  EXPECT_EQ(run(third, {"create", third.rootWin, "VELKOR", "x"}).exitCode, 1);
  addService("other", "C:\\o.exe", [](StandinService &s) { s.displayName = "shown"; });
  EXPECT_EQ(run(third, {"create", third.rootWin, "shown", "x"}).exitCode, 2);
  failAcrossProcesses("CreateServiceA 5\n");
  EXPECT_EQ(run(third, {"create", third.rootWin, "free", "x"}).exitCode, 3);
  EXPECT_EQ(run(third, {"state", third.rootWin}).exitCode, 1);
}

TEST_F(CommandsTest, RemoveAndCleanup) {
  EXPECT_EQ(run({"remove", install.rootWin}).exitCode, 1);
  ASSERT_EQ(run({"create", install.rootWin, "velkor", "x"}).exitCode, 0);
  EXPECT_EQ(run({"remove", install.rootWin}), (RunResult{0, ""}));
  EXPECT_FALSE(exists("velkor"));
  EXPECT_FALSE(eventKeyExists("velkor"));
  EXPECT_EQ(run({"state", install.rootWin}), (RunResult{1, ""}));
  EXPECT_TRUE(logHas(log(), "removeService returning 0."));

  EXPECT_EQ(run({"cleanup", "velkor"}), (RunResult{1, ""}));

  // Marked for deletion while this process holds it open.
  ASSERT_EQ(run({"create", install.rootWin, "velkor", "x"}).exitCode, 0);
  SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  SC_HANDLE held = OpenServiceA(scm, "velkor", SERVICE_ALL_ACCESS);
  ASSERT_TRUE(DeleteService(held));
  EXPECT_EQ(run({"remove", install.rootWin}).exitCode, 2);
  EXPECT_EQ(run({"cleanup", "velkor"}).exitCode, 2);
  CloseServiceHandle(held);
  CloseServiceHandle(scm);
  EXPECT_EQ(run({"cleanup", "velkor"}).exitCode, 1);

  addService("svc", "C:\\s.exe");
  failAcrossProcesses("EnumServicesStatusA 5\n");
  EXPECT_EQ(run({"cleanup", "svc"}).exitCode, 3);
  EXPECT_EQ(run({"remove", install.rootWin}).exitCode, 3);
  failAcrossProcesses("DeleteService 5\n");
  EXPECT_EQ(run({"cleanup", "svc"}).exitCode, 3);
  EXPECT_TRUE(exists("svc"));
  failAcrossProcesses("");
  EXPECT_EQ(run({"cleanup", "svc"}).exitCode, 0);
}
} // namespace
