// Common ground of the service registration tests: an installation the test
// process acts as, instanceDir set to it, an empty service database, and a
// check that every SCM and service handle opened was closed.
#pragma once

#include "diag/debug_log.h"
#include "diag/event_log.h"
#include "instance/instance_paths.h"
#include "platform/posix/standin.h"
#include "platform/posix/standin_scm.h"
#include "platform/posix/standin_scm_store.h"
#include "support.h"

#include <gtest/gtest.h>

class ScmTest : public testing::Test {
protected:
  void SetUp() override {
    resetDebugLogForTest();
    standinClearFaults();
    for (const std::string &key : standinScmKeys())
      standinScmErase(key.c_str());
    install.actAsProgram();
    instanceDir = strdup(install.rootWin.c_str());
  }

  void TearDown() override {
    EXPECT_EQ(standinOpenHandleCount(kStandinScManager), 0) << "an SCM handle was left open";
    EXPECT_EQ(standinOpenHandleCount(kStandinService), 0) << "a service handle was left open";
    free(instanceDir);
    instanceDir = nullptr;
    standinSetModuleFileName(nullptr);
    standinClearFaults();
    standinSetTimeScale(1);
    resetDebugLogForTest();
  }

  // What the program registers as the command line of this installation.
  std::string cmdToRun() const {
    return "\"" + toWindowsPath(install.program) + "\" start \"" + install.rootWin + "\"";
  }

  // Adds a stopped own-process service, optionally changed by `edit`.
  template <typename Edit>
  void addService(const std::string &name, const std::string &binaryPath, Edit edit) {
    ASSERT_TRUE(standinScmAddService(name.c_str(), binaryPath.c_str())) << name;
    StandinService service;
    ASSERT_TRUE(standinScmLoad(name.c_str(), &service));
    edit(service);
    standinScmSave(service);
  }
  void addService(const std::string &name, const std::string &binaryPath) {
    ASSERT_TRUE(standinScmAddService(name.c_str(), binaryPath.c_str())) << name;
  }

  StandinService service(const std::string &name) {
    StandinService loaded;
    EXPECT_TRUE(standinScmLoad(name.c_str(), &loaded)) << name;
    return loaded;
  }
  bool exists(const std::string &name) {
    StandinService loaded;
    return standinScmLoad(name.c_str(), &loaded);
  }

  // The service's event-log source key.
  static bool eventKeyExists(const std::string &name) {
    std::string path = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + name;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
      return false;
    RegCloseKey(key);
    return true;
  }

  std::vector<std::string> log() const { return logMessages(install.logPath()); }
  // The log from the first line equal to `from` on (empty when absent).
  std::vector<std::string> logFrom(const std::string &from) const {
    std::vector<std::string> all = log();
    for (size_t i = 0; i < all.size(); ++i)
      if (all[i] == from)
        return std::vector<std::string>(all.begin() + (long)i, all.end());
    return {};
  }
  std::string lastLine() const {
    std::vector<std::string> all = log();
    return all.empty() ? "" : all.back();
  }

  ScratchDir scratch;
  Installation install{scratch};
};
