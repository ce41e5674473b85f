// The stand-in's GetFullPathNameA: the path forms Windows knows, made
// absolute against the current directory Z:\... and cleaned of "." and "..".
#include "support.h"

#include <unistd.h>

namespace {
std::string fullPath(const std::string &path) {
  char buffer[1024];
  DWORD length = GetFullPathNameA(path.c_str(), sizeof buffer, buffer, nullptr);
  return length > 0 && length < sizeof buffer ? std::string(buffer, length) : "<failed>";
}

TEST(StandinFullPath, EveryFormCanonicalisesTheWindowsWay) {
  ScratchDir scratch;
  scratch.makeDir("cwd");
  ASSERT_EQ(chdir(scratch.path("cwd").c_str()), 0);
  const std::string cwd = scratch.win("cwd");
  const std::string parent = scratch.win();
  struct Case {
    std::string in, out;
  };
  const std::vector<Case> cases = {
      {"Z:\\a\\b\\..\\c\\.\\d", "Z:\\a\\c\\d"},
      {"Z:/a//b///c/", "Z:\\a\\b\\c\\"},        // forward slashes, runs folded, end kept
      {"C:\\a\\..\\..\\..\\x", "C:\\x"},         // ".." stops at the root
      {"C:\\", "C:\\"},
      {"\\x\\y", "Z:\\x\\y"},                     // root-relative: the current drive
      {"/x", "Z:\\x"},
      {"C:x\\y", "C:\\x\\y"},                     // another drive: its root
      {"C:", "C:\\"},
      {"z:x", cwd + "\\x"},                       // the current drive: the current directory
      {"Z:", cwd},
      {"x\\..\\y", cwd + "\\y"},
      {".", cwd},
      {"..", parent},
      {"..\\cwd\\.\\", cwd + "\\"},
      {"\\\\server\\share\\a\\..\\..\\..\\b", "\\\\server\\share\\b"}, // never above the share
      {"//server/share/x/", "\\\\server\\share\\x\\"},
      {"\\\\server\\share", "\\\\server\\share"},
      {"Z:\\a\\name. . ", "Z:\\a\\name"},          // the last name loses trailing dots and spaces
      {"Z:\\a.\\b", "Z:\\a\\b"},                   // a name inside loses one trailing dot
      {"Z:\\a\\...\\b", "Z:\\a\\...\\b"},          // three dots are a name
  };
  for (const Case &c : cases)
    EXPECT_EQ(fullPath(c.in), c.out) << "for " << c.in;
}

// A drive letter mapped to a directory, as a symlink in a Wine prefix's
// dosdevices maps one: its root is that directory; unmapped, it has no files.
TEST(StandinFullPath, AMappedDriveReachesItsDirectory) {
  ScratchDir scratch;
  scratch.makeDir("drive/lib");
  EXPECT_EQ(GetFileAttributesA("D:\\lib"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
  setenv("VELKOR_STANDIN_DRIVE_D", scratch.path("drive").c_str(), 1);
  EXPECT_NE(GetFileAttributesA("d:\\lib") & FILE_ATTRIBUTE_DIRECTORY, 0u);
  EXPECT_NE(GetFileAttributesA("D:/") & FILE_ATTRIBUTE_DIRECTORY, 0u);
  EXPECT_EQ(GetFileAttributesA("E:\\lib"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(fullPath("D:lib\\..\\x"), "D:\\x") << "its current directory is its root";
  // A program started from it knows itself by its drive path.
  EXPECT_EQ(toWindowsPath(scratch.path("drive/lib/x")), "D:\\lib\\x");
  EXPECT_EQ(toWindowsPath(scratch.path("drive")), "D:\\");
  EXPECT_EQ(toWindowsPath(scratch.path("drive2")), scratch.win("drive2"));
  unsetenv("VELKOR_STANDIN_DRIVE_D");
}

TEST(StandinFullPath, BufferTooSmallGivesTheSizeNeededAndFailuresSetTheLastError) {
  const std::string path = "Z:\\abc\\def"; // 10 characters
  char buffer[16];
  memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(GetFullPathNameA(path.c_str(), 10, buffer, nullptr), 11u);
  EXPECT_EQ(buffer[0], 'x');
  EXPECT_EQ(GetFullPathNameA(path.c_str(), 0, nullptr, nullptr), 11u);
  LPSTR filePart = nullptr;
  EXPECT_EQ(GetFullPathNameA(path.c_str(), 11, buffer, &filePart), 10u);
  EXPECT_STREQ(buffer, "Z:\\abc\\def");
  EXPECT_STREQ(filePart, "def");
  EXPECT_EQ(GetFullPathNameA("Z:\\abc\\", 16, buffer, &filePart), 7u);
  EXPECT_EQ(filePart, nullptr);
  // Failures set the last error.
  EXPECT_EQ(GetFullPathNameA("", sizeof buffer, buffer, nullptr), 0u);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_NAME);
  standinFailCall("GetFullPathNameA", ERROR_ACCESS_DENIED, standinCallCount("GetFullPathNameA") + 1);
  EXPECT_EQ(GetFullPathNameA("Z:\\x", sizeof buffer, buffer, nullptr), 0u);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
  EXPECT_EQ(GetFullPathNameA("Z:\\x", sizeof buffer, buffer, nullptr), 4u);
  standinClearFaults();
}
} // namespace
