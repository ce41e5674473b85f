// The create, state, remove and cleanup subcommands run as the program
// itself: exit codes, standard output, and what they leave in the SCM and
// the registry.
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

TEST_F(CommandsTest, StateThenCreateThenStateThenCreateAgain) {
  // A service the lookup cannot read is no match.
  addService("locked", "C:\\l.exe", [](StandinService &s) { s.configUnreadable = true; });
  EXPECT_EQ(run({"state", install.rootWin}), (RunResult{1, ""}));
  EXPECT_TRUE(logHas(log(), "Service '' is disabled."));

  EXPECT_EQ(run({"create", install.rootWin, "Velkor One", "Velkor directory server"}),
            (RunResult{0, ""}));
  StandinService service = this->service("Velkor One");
  EXPECT_EQ(service.binaryPath, cmdToRun());
  EXPECT_EQ(service.description, "Velkor directory server");
  EXPECT_TRUE(eventKeyExists("Velkor One"));
  EXPECT_TRUE(logHas(log(), "Service successfully created."));

  EXPECT_EQ(run({"state", install.rootWin}), (RunResult{0, "Velkor One"})) << "no line end";

  // Found by its command line, also in the form an earlier release wrote
  // (the escaped closing quote of "<dir>\"): the name asked for does not
  // matter, the line and the preshutdown timeout are brought up to date and
  // nothing else changes, and a missing event-log source is registered again.
  service.binaryPath = cmdToRun().substr(0, cmdToRun().size() - 1) + "\\\"";
  service.displayName = "shown";
  service.preshutdownTimeout = 180000;
  standinScmSave(service);
  ASSERT_TRUE(removeEventLogKey("Velkor One"));
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(run({"create", install.rootWin, "Something else", "x"}), (RunResult{1, ""}));
    StandinService updated = this->service("Velkor One");
    EXPECT_EQ(updated.binaryPath + "|" + updated.displayName + "|" + updated.description + "|" +
                  std::to_string(updated.preshutdownTimeout),
              cmdToRun() + "|shown|Velkor directory server|90000");
  }
  EXPECT_EQ(standinScmKeys().size(), 2u) << "no second service beside the locked one";
  EXPECT_TRUE(eventKeyExists("Velkor One"));
  std::vector<std::string> lines = log();
  EXPECT_TRUE(logHas(lines, "Service 'Something else' already exists."));
  EXPECT_EQ(std::count(lines.begin(), lines.end(),
                       "Updating the command line of the service 'Velkor One' to '" + cmdToRun() + "'."),
            1) << "a line in today's form is not rewritten";

  failAcrossProcesses("EnumServicesStatusA 5\n");
  EXPECT_EQ(run({"state", install.rootWin}), (RunResult{2, ""}));
  EXPECT_TRUE(logHas(log(), "Could not determine the state of the service: no service list."));
}

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
