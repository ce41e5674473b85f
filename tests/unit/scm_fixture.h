// Common ground of the service registration tests: an installation the test
// process acts as, instanceDir set to it, an empty service database, and a
// check that every SCM and service handle opened was closed.
#pragma once

#include "diag/event_log.h"
#include "instance/instance_paths.h"
#include "platform/posix/standin_scm.h"
#include "platform/posix/standin_scm_store.h"
#include "support.h"
#include <algorithm>

class ScmTest : public InstallationTest {
protected:
  void SetUp() override {
    InstallationTest::SetUp();
    for (const std::string &key : standinScmKeys())
      standinScmErase(key.c_str());
    instanceDir = strdup(install.rootWin.c_str());
  }

  void TearDown() override {
    EXPECT_EQ(standinOpenHandleCount(kStandinScManager), 0) << "an SCM handle was left open";
    EXPECT_EQ(standinOpenHandleCount(kStandinService), 0) << "a service handle was left open";
    free(instanceDir);
    instanceDir = nullptr;
    standinSetTimeScale(1);
    InstallationTest::TearDown();
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
    return registryKeyExists(eventSourceKey(name));
  }

  // The log from the first line equal to `from` on (empty when absent).
  std::vector<std::string> logFrom(const std::string &from) const {
    std::vector<std::string> all = log();
    return std::vector<std::string>(std::find(all.begin(), all.end(), from), all.end());
  }
  std::string lastLine() const {
    std::vector<std::string> all = log();
    return all.empty() ? "" : all.back();
  }
};
