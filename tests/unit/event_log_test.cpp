// The event source key of a service, and the catalogue's ids as the program
// sees them (generated from resources/messages.mc).
#include "diag/event_log.h"
#include "support.h"

namespace {
struct Value {
  LSTATUS status;
  DWORD type;
  std::string data; // exactly the stored bytes
};

Value readValue(const std::string &keyPath, const char *name) {
  HKEY key = nullptr;
  Value value{RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_QUERY_VALUE, &key), 0, ""};
  if (value.status != ERROR_SUCCESS)
    return value;
  char data[1024];
  DWORD size = sizeof data;
  value.status = RegQueryValueExA(key, name, nullptr, &value.type, (LPBYTE)data, &size);
  if (value.status == ERROR_SUCCESS)
    value.data.assign(data, size);
  RegCloseKey(key);
  return value;
}

std::string dword(DWORD value) { return std::string(reinterpret_cast<const char *>(&value), 4); }

class EventLogKeyTest : public InstallationTest {
protected:
  void TearDown() override {
    EXPECT_EQ(standinOpenHandleCount(kStandinRegKey), 0) << "a registry key was left open";
    InstallationTest::TearDown();
  }
  std::string programPath = toWindowsPath(install.program);
  std::string keyPath = eventSourceKey("Velkor Inst1");
};

TEST(MessageCatalogue, IdsAndCategoryAreTheRegisteredOnes) {
  // Severity in the top two bits, facility 0xFA0, codes 1 to 6: these are the
  // numbers stored with every event, so they may never change.
  EXPECT_EQ(MSG_SERVER_STARTED, 0x0FA00001u);
  EXPECT_EQ(MSG_SERVER_SHUTDOWN, 0x0FA00002u);
  EXPECT_EQ(MSG_START_FAILED, 0xCFA00003u);
  EXPECT_EQ(MSG_STOP_FAILED, 0xCFA00004u);
  EXPECT_EQ(MSG_GENERIC, 0x4FA00005u);
  EXPECT_EQ(MSG_STOPPED_OUTSIDE_SCM, 0xCFA00006u);
  EXPECT_EQ(EVENT_CATEGORY, 4000);
  static_assert(sizeof(MSG_GENERIC) == sizeof(DWORD), "ids are DWORDs");
}

// The key is written once, by the first create: a later one, from a program
// in another place, finds it and must not repoint it.
TEST_F(EventLogKeyTest, CreateWritesTheFourValuesOnceWithTheirTypesAndExactSizes) {
  EXPECT_TRUE(createEventLogKey("Velkor Inst1"));
  std::string pathWithTerminator = programPath + std::string(1, '\0');
  Value eventFile = readValue(keyPath, "EventMessageFile");
  ASSERT_EQ(eventFile.status, ERROR_SUCCESS);
  EXPECT_EQ(eventFile.type, REG_EXPAND_SZ);
  EXPECT_EQ(eventFile.data, pathWithTerminator) << "path length + 1 bytes, terminator stored";
  Value categoryFile = readValue(keyPath, "CategoryMessageFile");
  ASSERT_EQ(categoryFile.status, ERROR_SUCCESS);
  EXPECT_EQ(categoryFile.type, REG_EXPAND_SZ);
  EXPECT_EQ(categoryFile.data, pathWithTerminator);
  Value types = readValue(keyPath, "TypesSupported");
  EXPECT_EQ(types.type, REG_DWORD);
  EXPECT_EQ(types.data, dword(7));
  Value count = readValue(keyPath, "CategoryCount");
  EXPECT_EQ(count.type, REG_DWORD);
  EXPECT_EQ(count.data, dword(1));
  EXPECT_EQ(log().back(), "Creating registry key for service 'Velkor Inst1'.");

  int writes = standinCallCount("RegSetValueExA");
  int creates = standinCallCount("RegCreateKeyExA");
  Installation moved(scratch, "moved");
  moved.actAsProgram();
  EXPECT_TRUE(createEventLogKey("Velkor Inst1"));
  EXPECT_EQ(standinCallCount("RegSetValueExA"), writes);
  EXPECT_EQ(standinCallCount("RegCreateKeyExA"), creates);
  EXPECT_EQ(readValue(keyPath, "EventMessageFile").data, pathWithTerminator);
  std::vector<std::string> lines = log();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "Creating registry key for service 'Velkor Inst1'.");
  EXPECT_EQ(lines.back(), "The registry key for service 'Velkor Inst1' already exists.");
}

// Each of the four value writes failing in turn: the values before it are in
// place, the rest are missing, the key stays, and a later create leaves the
// half-written key exactly as it is.
TEST_F(EventLogKeyTest, AFailedValueLeavesAHalfWrittenKeyThatALaterCreateDoesNotRepair) {
  const char *const names[] = {"EventMessageFile", "TypesSupported", "CategoryMessageFile",
                               "CategoryCount"};
  for (int failing = 0; failing < 4; ++failing) {
    SCOPED_TRACE(names[failing]);
    std::string service = "half" + std::to_string(failing);
    std::string keyPath = eventSourceKey(service);
    failAfresh("RegSetValueExA", 1000 + failing, failing + 1);

    EXPECT_FALSE(createEventLogKey(service.c_str()));
    std::vector<std::string> lines = log();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "ERROR:  RegSetValueEx('" + std::string(names[failing]) +
                                           "') failed, result=" + std::to_string(1000 + failing) + ".");
    EXPECT_EQ(lines.back(), "ERROR:  Could not create a registry key.");
    EXPECT_EQ(standinCallCount("RegSetValueExA"), failing + 1) << "no value written after a failure";

    EXPECT_TRUE(createEventLogKey(service.c_str()));
    EXPECT_EQ(log().back(), "The registry key for service '" + service + "' already exists.");
    for (int i = 0; i < 4; ++i)
      EXPECT_EQ(readValue(keyPath, names[i]).status, i < failing ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND)
          << names[i];
  }
}

// The key not created, or the program path for its values not had: nothing
// is registered and the cause is traced.
TEST_F(EventLogKeyTest, FailureToCreateTheKeyOrToGetTheProgramPathRegistersNothing) {
  debug("the log has found its place"); // it asks for the program path too
  struct Case {
    const char *call;
    DWORD error;
    const char *trace;
  } cases[] = {{"RegCreateKeyExA", ERROR_ACCESS_DENIED, "ERROR:  RegCreateKeyEx failed, result=5."},
               {"GetModuleFileNameA", ERROR_NOT_ENOUGH_MEMORY,
                "ERROR:  GetModuleFileName failed, Last error = 8."}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.call);
    standinClearFaults();
    standinFailCall(c.call, c.error, standinCallCount(c.call) + 1, 0);
    EXPECT_FALSE(createEventLogKey("Velkor Inst1"));
    std::vector<std::string> lines = log();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], c.trace);
    EXPECT_EQ(lines.back(), "ERROR:  Could not create a registry key.");
    EXPECT_FALSE(registryKeyExists(keyPath));
    EXPECT_EQ(standinCallCount("RegSetValueExA"), 0);
  }
}

TEST_F(EventLogKeyTest, AKeyTheExistenceTestCannotOpenIsOpenedByCreateAndRewritten) {
  standinFailCall("RegSetValueExA", ERROR_ACCESS_DENIED, 2);
  ASSERT_FALSE(createEventLogKey("Velkor Inst1"));
  failAfresh("RegOpenKeyExA", ERROR_ACCESS_DENIED);
  EXPECT_TRUE(createEventLogKey("Velkor Inst1"));
  EXPECT_EQ(readValue(keyPath, "CategoryCount").data, dword(1));
}

// A failed deletion names the full key path and its result; a key whose
// name differs only in case is deleted; a missing key needs nothing.
TEST_F(EventLogKeyTest, RemoveDeletesTheKeyOrNamesWhyNotAndAMissingKeyNeedsNothing) {
  ASSERT_TRUE(createEventLogKey("Velkor Inst1"));
  // A subkey makes the deletion fail as it does on Windows (access denied).
  HKEY sub = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, (keyPath + "\\extra").c_str(), 0, nullptr, 0,
                            KEY_WRITE, nullptr, &sub, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(sub);
  EXPECT_FALSE(removeEventLogKey("Velkor Inst1"));
  EXPECT_EQ(log().back(), "ERROR:  RegDeleteKey('" + keyPath + "') failed, result=5.");
  EXPECT_TRUE(registryKeyExists(keyPath));
  ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, (keyPath + "\\extra").c_str()), ERROR_SUCCESS);
  standinFailCall("RegDeleteKeyA", 1018, standinCallCount("RegDeleteKeyA") + 1);
  EXPECT_FALSE(removeEventLogKey("Velkor Inst1"));
  EXPECT_EQ(log().back(), "ERROR:  RegDeleteKey('" + keyPath + "') failed, result=1018.");

  EXPECT_TRUE(removeEventLogKey("VELKOR INST1")) << "key names are not case-sensitive";
  EXPECT_FALSE(registryKeyExists(keyPath));
  EXPECT_EQ(log().back(), "Removing registry key for service 'VELKOR INST1'.");
  int deletes = standinCallCount("RegDeleteKeyA");
  EXPECT_TRUE(removeEventLogKey("Velkor Inst1"));
  EXPECT_EQ(log().back(),
            "The registry key for service 'Velkor Inst1' does not exist, so we do not need to remove it.");
  EXPECT_EQ(standinCallCount("RegDeleteKeyA"), deletes);
}

TEST_F(EventLogKeyTest, AServiceNameTooLongForTheKeyPathIsRefused) {
  std::string name(500, 'n');
  EXPECT_FALSE(createEventLogKey(name.c_str()));
  EXPECT_FALSE(removeEventLogKey(name.c_str()));
  EXPECT_EQ(standinCallCount("RegOpenKeyExA"), 0) << "a cut path names another key";
  EXPECT_EQ(log().back(), "ERROR:  The registry key path for service '" + name + "' is too long.");
}
} // namespace
