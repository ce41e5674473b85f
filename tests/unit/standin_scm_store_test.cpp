// The stand-in SCM database: records round-trip whatever their text, names
// match without case, creation order is kept, and controls queue in order.
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
}
