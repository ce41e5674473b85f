// Registering the service: what is registered, the name search with its
// numeric suffixes and its end, and how the SCM's refusals are reported.
#include "scm/service_create.h"
#include "scm_fixture.h"

namespace {
class CreateTest : public ScmTest {
protected:
  int create(const std::string &base, const std::string &description = "Velkor directory server") {
    return createServiceInScm(base.c_str(), description.c_str(), cmdToRun().c_str());
  }
};

TEST_F(CreateTest, FreeBaseNameRegistersAnAutoStartOwnProcessService) {
  EXPECT_EQ(create("velkor", "Runs the Velkor server"), 0);
  StandinService created = service("velkor");
  EXPECT_EQ(created.name, "velkor");
  EXPECT_EQ(created.displayName, "velkor");
  EXPECT_EQ(created.binaryPath, cmdToRun());
  EXPECT_EQ(created.description, "Runs the Velkor server");
  EXPECT_EQ(created.type, SERVICE_WIN32_OWN_PROCESS);
  EXPECT_EQ(created.startType, SERVICE_AUTO_START);
  EXPECT_EQ(created.errorControl, SERVICE_ERROR_NORMAL);
  EXPECT_EQ(created.status.dwCurrentState, SERVICE_STOPPED) << "creating does not start it";
  EXPECT_EQ(created.preshutdownTimeout, 90000u) << "the stop sequence's 61 s with a margin";
  EXPECT_EQ(logFrom("createServiceName returning serviceName='velkor' and returnValue=0"),
            (std::vector<std::string>{
                "createServiceName returning serviceName='velkor' and returnValue=0",
                "Successfully opened the Service Control Manager.",
                "Creating the service 'velkor'.",
                "Set the preshutdown timeout of the service 'velkor' to 90000 ms.",
                "createServiceInScm returning 0.",
            }));
}

TEST_F(CreateTest, TakenNamesGetTheFirstFreeNumericSuffix) {
  addService("velkor", "C:\\other.exe");
  EXPECT_EQ(create("velkor"), 0);
  EXPECT_TRUE(exists("velkor-2"));
  EXPECT_EQ(service("velkor-2").displayName, "velkor-2");
  EXPECT_EQ(standinCallCount("EnumServicesStatusA"), 4) << "one listing per candidate";

  EXPECT_EQ(create("velkor"), 0);
  EXPECT_TRUE(exists("velkor-3"));
  EXPECT_FALSE(exists("velkor-1")) << "no candidate has the suffix -1";

  standinScmErase("velkor-2");
  EXPECT_EQ(create("velkor"), 0);
  EXPECT_TRUE(exists("velkor-2")) << "a free -2 is used although -3 is taken";
  EXPECT_TRUE(logHas(log(), "createServiceName returning serviceName='velkor-2' and returnValue=0"));
}

TEST_F(CreateTest, NamesFreeByTheExactCheckButRefusedByTheScmMapToTheirCodes) {
  addService("Velkor", "C:\\a.exe");
  EXPECT_EQ(create("velkor"), 5) << "the SCM compares names without case";
  EXPECT_TRUE(logHas(log(), "ERROR:  Failed to create the service 'velkor'.  Last error = 1073."));
  EXPECT_FALSE(exists("velkor-2"));

  addService("other", "C:\\b.exe", [](StandinService &s) { s.displayName = "shown"; });
  EXPECT_EQ(create("shown"), 4);
  EXPECT_TRUE(logHas(log(), "ERROR:  Failed to create the service 'shown'.  Last error = 1078."));
  EXPECT_EQ(lastLine(), "createServiceInScm returning 4.");

  failAfresh("CreateServiceA", ERROR_INVALID_HANDLE);
  EXPECT_EQ(create("free"), 1);
  EXPECT_TRUE(logHas(log(), "ERROR:  The handle seems to be invalid."));
  failAfresh("CreateServiceA", ERROR_ACCESS_DENIED);
  EXPECT_EQ(create("free"), 1);
  EXPECT_FALSE(exists("free"));
}

TEST_F(CreateTest, LongBaseIsCutAndARepeatedCandidateEndsTheSearch) {
  std::string base(300, 'b');
  EXPECT_EQ(create(base), 0);
  EXPECT_TRUE(exists(std::string(255, 'b')));

  // The cut turns candidate 2 into candidate 1 again, which is taken.
  EXPECT_EQ(create(base), 1);
  EXPECT_EQ(standinCallCount("CreateServiceA"), 1) << "no second service";
  EXPECT_TRUE(logHas(log(), "createServiceName returning serviceName='" + std::string(255, 'b') +
                                "' and returnValue=1"));
  EXPECT_TRUE(logHas(log(), "createServiceInScm: createServiceName did not work."));

  // 254 characters: candidate 2 keeps only the hyphen, candidate 3 repeats it.
  std::string base254(254, 'c');
  addService(base254, "C:\\c.exe");
  addService(base254 + "-", "C:\\c.exe");
  int listingsBefore = standinCallCount("OpenSCManagerA");
  EXPECT_EQ(create(base254), 1);
  EXPECT_EQ(standinCallCount("OpenSCManagerA") - listingsBefore, 2) << "two candidates listed";

  // Code page 932: 128 × ア (83 41) is cut before the character that does not fit whole.
  standinSetAnsiCodePage(932);
  std::string katakana(256, '\x83');
  for (size_t i = 1; i < 256; i += 2)
    katakana[i] = 'A';
  EXPECT_EQ(create(katakana), 0);
  EXPECT_TRUE(exists(katakana.substr(0, 254)));
}

// A configuration step refused after the service was created leaves it
// registered: the description (a failed creation) and the preshutdown
// timeout (traced only); a refused line rewrite: scm_lookup_test.
TEST_F(CreateTest, RefusedConfigurationStepsAreTracedAndTheServiceStays) {
  standinFailCall("ChangeServiceConfig2A", ERROR_ACCESS_DENIED);
  EXPECT_EQ(create("velkor"), 1);
  EXPECT_EQ(service("velkor").binaryPath, cmdToRun());
  EXPECT_TRUE(logHas(
      log(), "ERROR:  Failed to add a description to the service 'velkor'.  Last error = 5."));
  EXPECT_EQ(service("velkor").preshutdownTimeout, 90000u);

  failAfresh("ChangeServiceConfig2A", ERROR_INVALID_PARAMETER, 2);
  EXPECT_EQ(create("other", "Runs the Velkor server"), 0);
  EXPECT_EQ(service("other").description, "Runs the Velkor server");
  EXPECT_EQ(service("other").preshutdownTimeout, 180000u) << "the SCM's default stays";
  EXPECT_TRUE(logHas(log(), "ERROR:  Failed to set the preshutdown timeout of the service "
                            "'other'.  Last error = 87."));
}

TEST_F(CreateTest, FailedNameSearchOpensNoScmForCreation) {
  standinFailCall("EnumServicesStatusA", ERROR_ACCESS_DENIED);
  EXPECT_EQ(create("velkor"), 1);
  EXPECT_EQ(standinCallCount("OpenSCManagerA"), 1) << "only the listing's";
  EXPECT_EQ(standinCallCount("CreateServiceA"), 0);
  EXPECT_EQ(logFrom("createServiceName returning serviceName='velkor' and returnValue=1"),
            (std::vector<std::string>{
                "createServiceName returning serviceName='velkor' and returnValue=1",
                "createServiceInScm: createServiceName did not work.",
                "createServiceInScm returning 1.",
            }));

  failAfresh("OpenSCManagerA", ERROR_ACCESS_DENIED, 2);
  EXPECT_EQ(create("velkor"), 1);
  EXPECT_TRUE(logHas(log(), "createServiceInScm: openScm did not work."));
  EXPECT_FALSE(exists("velkor"));
}
} // namespace
