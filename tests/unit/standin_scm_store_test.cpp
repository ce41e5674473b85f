// The stand-in SCM database: records round-trip whatever their text, names
// match without case, creation order is kept, controls queue in order with
// their answers, and the SCM's rules for handing a control over.
#include "platform/posix/standin_scm_store.h"

#include <gtest/gtest.h>

TEST(StandinScmStore, RecordsRoundTripAndKeepCreationOrder) {
  StandinService first;
  first.name = "Velkor-B";
  first.displayName = "Velkor-B";
  first.binaryPath = "\"Z:\\srv\\lib\\velkor_service.exe\" start \"Z:\\srv\"";
  first.description = "two\nlines \\ and a backslash";
  first.status.dwCurrentState = SERVICE_RUNNING;
  first.status.dwServiceSpecificExitCode = 0xFFFFFFFFu;
  standinScmSave(first);
  StandinService second;
  second.name = "alpha";
  standinScmSave(second);
  standinScmSave(first); // rewriting keeps its place

  StandinService loaded;
  ASSERT_TRUE(standinScmLoad("VELKOR-b", &loaded));
  EXPECT_EQ(loaded.name, "Velkor-B");
  EXPECT_EQ(loaded.binaryPath, first.binaryPath);
  EXPECT_EQ(loaded.description, first.description);
  EXPECT_EQ(loaded.status.dwCurrentState, SERVICE_RUNNING);
  EXPECT_EQ(loaded.status.dwServiceSpecificExitCode, 0xFFFFFFFFu);
  EXPECT_EQ(standinScmKeys(), (std::vector<std::string>{"velkor-b", "alpha"}));

  standinScmErase("Velkor-B");
  EXPECT_FALSE(standinScmLoad("Velkor-B", &loaded));
  EXPECT_EQ(standinScmKeys(), (std::vector<std::string>{"alpha"}));
}

TEST(StandinScmStore, ControlsAreTakenInOrderAndAcknowledged) {
  EXPECT_EQ(standinScmPostControl("svc", SERVICE_CONTROL_INTERROGATE), 1);
  EXPECT_EQ(standinScmPostControl("svc", SERVICE_CONTROL_STOP), 2);
  long seq = 0;
  DWORD control = 0;
  ASSERT_TRUE(standinScmTakeControl("svc", 0, &seq, &control));
  EXPECT_EQ(seq, 1);
  EXPECT_EQ(control, SERVICE_CONTROL_INTERROGATE);
  standinScmAckControl("svc", seq);
  ASSERT_TRUE(standinScmTakeControl("svc", standinScmLastAck("svc"), &seq, &control));
  EXPECT_EQ(control, SERVICE_CONTROL_STOP);
  EXPECT_FALSE(standinScmTakeControl("svc", seq, &seq, &control));
  EXPECT_EQ(standinScmControlResult("svc", 2), (DWORD)ERROR_SERVICE_REQUEST_TIMEOUT)
      << "not answered yet";
  standinScmAckControl("svc", seq, ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  EXPECT_EQ(standinScmLastAck("svc"), 2);
  EXPECT_EQ(standinScmControlResult("svc", 1), 0u);
  EXPECT_EQ(standinScmControlResult("svc", 2), (DWORD)ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
}

// ControlService, Remarks: the SCM's answer per state, and acceptance by the
// service's dwControlsAccepted; interrogate needs no acceptance.
TEST(StandinScmStore, ControlsAreRefusedAsTheServiceStateAndAcceptanceSay) {
  const DWORD all = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PRESHUTDOWN;
  struct Case {
    DWORD state, accepted, control, refusal;
  } cases[] = {
      {SERVICE_STOPPED, all, SERVICE_CONTROL_INTERROGATE, ERROR_SERVICE_NOT_ACTIVE},
      {SERVICE_START_PENDING, 0, SERVICE_CONTROL_INTERROGATE, ERROR_SERVICE_CANNOT_ACCEPT_CTRL},
      {SERVICE_START_PENDING, 0, SERVICE_CONTROL_STOP, ERROR_INVALID_SERVICE_CONTROL},
      {SERVICE_START_PENDING, SERVICE_ACCEPT_STOP, SERVICE_CONTROL_STOP, 0},
      {SERVICE_STOP_PENDING, all, SERVICE_CONTROL_STOP, ERROR_SERVICE_CANNOT_ACCEPT_CTRL},
      {SERVICE_STOP_PENDING, all, SERVICE_CONTROL_INTERROGATE, ERROR_SERVICE_CANNOT_ACCEPT_CTRL},
      {SERVICE_RUNNING, 0, SERVICE_CONTROL_INTERROGATE, 0},
      {SERVICE_RUNNING, all, SERVICE_CONTROL_PAUSE, ERROR_INVALID_SERVICE_CONTROL},
      {SERVICE_RUNNING, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN, SERVICE_CONTROL_PRESHUTDOWN,
       ERROR_INVALID_SERVICE_CONTROL},
      {SERVICE_RUNNING, all, SERVICE_CONTROL_PRESHUTDOWN, 0},
      {SERVICE_RUNNING, all, SERVICE_CONTROL_SHUTDOWN, 0},
      {SERVICE_RUNNING, 0, 200, 0}, // user-defined
      {SERVICE_RUNNING, all, 8, ERROR_INVALID_SERVICE_CONTROL},
  };
  for (const Case &c : cases) {
    SERVICE_STATUS status = {SERVICE_WIN32_OWN_PROCESS, c.state, c.accepted, 0, 0, 0, 0};
    EXPECT_EQ(standinScmControlRefusal(status, c.control), c.refusal)
        << "state " << c.state << " accepted " << c.accepted << " control " << c.control;
  }
}
