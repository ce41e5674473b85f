// The stand-in registry: what the program and the tests rely on behaving as
// Windows' does.
#include "platform/posix/standin.h"

#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {
class StandinRegistryTest : public testing::Test {
protected:
  void TearDown() override {
    standinClearFaults();
    EXPECT_EQ(standinOpenHandleCount(kStandinRegKey), 0);
  }
  HKEY create(const std::string &path, DWORD *disposition = nullptr) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, disposition),
              ERROR_SUCCESS);
    return key;
  }
};

TEST_F(StandinRegistryTest, ValuesKeepTypeBytesAndSizeExactly) {
  HKEY key = create("SOFTWARE\\Test");
  const char text[] = "no terminator";
  const BYTE binary[] = {0, 1, '\n', '\r', 0xff, 0};
  ASSERT_EQ(RegSetValueExA(key, "Text", 0, REG_SZ, (const BYTE *)text, 5), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "Binary", 0, REG_BINARY, binary, sizeof binary), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "", 0, REG_EXPAND_SZ, nullptr, 0), ERROR_SUCCESS);

  BYTE data[16];
  DWORD type = 0, size = sizeof data;
  ASSERT_EQ(RegQueryValueExA(key, "text", nullptr, &type, data, &size), ERROR_SUCCESS)
      << "value names are not case-sensitive";
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(std::string((char *)data, size), "no te");
  size = sizeof data;
  ASSERT_EQ(RegQueryValueExA(key, "Binary", nullptr, &type, data, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_BINARY);
  EXPECT_EQ(std::string((char *)data, size), std::string((const char *)binary, sizeof binary));
  size = 99;
  ASSERT_EQ(RegQueryValueExA(key, nullptr, nullptr, &type, data, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_EXPAND_SZ);
  EXPECT_EQ(size, 0u);

  // Too small a buffer: ERROR_MORE_DATA and the size needed; no buffer: the size.
  size = 3;
  EXPECT_EQ(RegQueryValueExA(key, "Binary", nullptr, nullptr, data, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, sizeof binary);
  size = 0;
  EXPECT_EQ(RegQueryValueExA(key, "Binary", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, sizeof binary);
  EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);

  // A rewrite replaces type and data whole.
  DWORD seven = 7;
  ASSERT_EQ(RegSetValueExA(key, "TEXT", 0, REG_DWORD, (const BYTE *)&seven, 4), ERROR_SUCCESS);
  size = sizeof data;
  ASSERT_EQ(RegQueryValueExA(key, "Text", nullptr, &type, data, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(StandinRegistryTest, KeysAreFoundWhateverTheCaseAndNamesMayHoldAnyCharacter) {
  DWORD disposition = 0;
  HKEY key = create("SYSTEM\\A/b %41=..\\.", &disposition);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  key = create("system\\a/B %41=..\\.", &disposition);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);

  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\a/b %a=..", 0, KEY_READ, &key),
            ERROR_FILE_NOT_FOUND)
      << "'%41' is a name of its own, not 'A'";
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System", 0, KEY_READ, &key), ERROR_SUCCESS);
  HKEY child = nullptr;
  ASSERT_EQ(RegOpenKeyExA(key, "A/B %41=..\\.", 0, KEY_READ, &child), ERROR_SUCCESS)
      << "a subkey opens relative to an open key";
  EXPECT_EQ(RegCloseKey(child), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\\\x", 0, KEY_READ, &key), 161)
      << "an empty name is a bad path";
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\Missing", 0, KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
}

TEST_F(StandinRegistryTest, DeleteRefusesAKeyWithSubkeysAndAMissingKey) {
  RegCloseKey(create("SOFTWARE\\Parent\\Child"));
  HKEY parent = create("SOFTWARE\\Parent");
  DWORD one = 1;
  ASSERT_EQ(RegSetValueExA(parent, "V", 0, REG_DWORD, (const BYTE *)&one, 4), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Parent"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "software\\parent\\CHILD"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Parent\\Child"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Parent"), ERROR_SUCCESS)
      << "a key with values and no subkeys goes";
  // The handle still open on the deleted key is told so.
  EXPECT_EQ(RegSetValueExA(parent, "V", 0, REG_DWORD, (const BYTE *)&one, 4), 1018);
  EXPECT_EQ(RegCloseKey(parent), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(parent), ERROR_INVALID_HANDLE);
}

TEST_F(StandinRegistryTest, AccessRightsOfTheHandleAreHonoured) {
  RegCloseKey(create("SOFTWARE\\Rights"));
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Rights", 0, KEY_QUERY_VALUE, &key),
            ERROR_SUCCESS);
  DWORD one = 1;
  EXPECT_EQ(RegSetValueExA(key, "V", 0, REG_DWORD, (const BYTE *)&one, 4), ERROR_ACCESS_DENIED);
  RegCloseKey(key);
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Rights", 0, KEY_WRITE, &key), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExA(key, "V", 0, REG_DWORD, (const BYTE *)&one, 4), ERROR_SUCCESS);
  DWORD size = 4;
  EXPECT_EQ(RegQueryValueExA(key, "V", nullptr, nullptr, (LPBYTE)&one, &size), ERROR_ACCESS_DENIED);
  RegCloseKey(key);
}

TEST_F(StandinRegistryTest, EveryCallFailsOnRequestWithTheChosenResult) {
  const char *const calls[] = {"RegOpenKeyExA", "RegCreateKeyExA", "RegSetValueExA",
                               "RegQueryValueExA", "RegCloseKey", "RegDeleteKeyA"};
  HKEY key = create("SOFTWARE\\Faults");
  for (const char *call : calls)
    standinFailCall(call, 1234, standinCallCount(call) + 1); // the next call of each
  SetLastError(0);
  HKEY other = nullptr;
  DWORD size = 0;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Faults", 0, KEY_READ, &other), 1234);
  EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\F2", 0, nullptr, 0, KEY_WRITE, nullptr,
                            &other, nullptr),
            1234);
  EXPECT_EQ(RegSetValueExA(key, "V", 0, REG_NONE, nullptr, 0), 1234);
  EXPECT_EQ(RegQueryValueExA(key, "V", nullptr, nullptr, nullptr, &size), 1234);
  EXPECT_EQ(RegCloseKey(key), 1234);
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Faults"), 1234);
  EXPECT_EQ(GetLastError(), 0u) << "registry calls answer with their result, not the last error";
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS) << "only the first call of each was failed";
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\F2", 0, KEY_READ, &other), ERROR_FILE_NOT_FOUND);
}

TEST_F(StandinRegistryTest, AnotherProcessSeesTheSameMachine) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    HKEY key = nullptr;
    DWORD five = 5;
    bool ok = RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Shared", 0, nullptr, 0, KEY_WRITE,
                              nullptr, &key, nullptr) == ERROR_SUCCESS &&
              RegSetValueExA(key, "Five", 0, REG_DWORD, (const BYTE *)&five, 4) == ERROR_SUCCESS &&
              RegCloseKey(key) == ERROR_SUCCESS;
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_EQ(status, 0);
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\shared", 0, KEY_READ, &key), ERROR_SUCCESS);
  DWORD value = 0, size = 4;
  EXPECT_EQ(RegQueryValueExA(key, "five", nullptr, nullptr, (LPBYTE)&value, &size), ERROR_SUCCESS);
  EXPECT_EQ(value, 5u);
  RegCloseKey(key);
}
} // namespace
