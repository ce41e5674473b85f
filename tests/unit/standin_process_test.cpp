// Stand-in processes, events and threads.
#include "runtime_support.h"

#include "platform/posix/standin_process.h"

#include <atomic>

namespace {
struct StandinProcess : testing::Test {
  ScratchDir scratch;
  STARTUPINFOA startup = {};
  PROCESS_INFORMATION info = {};

  void SetUp() override {
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
  }

  std::string cmdExe() const { return standinSystemDirectory() + "\\cmd.exe"; }

  BOOL spawn(const char *application, std::string commandLine, DWORD flags = 0) {
    return CreateProcessA(application, &commandLine[0], nullptr, nullptr, TRUE, flags, nullptr,
                          nullptr, &startup, &info);
  }

  DWORD finish() {
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(info.hProcess, INFINITE));
    DWORD code = 12345;
    EXPECT_TRUE(GetExitCodeProcess(info.hProcess, &code));
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return code;
  }
};
} // namespace

TEST(StandinCommandLine, SplitsByTheWindowsRules) {
  EXPECT_EQ(std::vector<std::string>({"C:\\a b\\p.exe", "stop", "Z:\\r\\."}),
            standinSplitCommandLine("\"C:\\a b\\p.exe\" stop \"Z:\\r\\.\""));
  EXPECT_EQ(std::vector<std::string>({"p", "a\\\\b", "c\"d", "e\\", "x y", "q\"q"}),
            standinSplitCommandLine("p a\\\\b c\\\"d \"e\\\\\" \"x y\" \"q\"\"q\""));
  EXPECT_TRUE(standinSplitCommandLine("   ").empty());
}

TEST_F(StandinProcess, InterpreterRunsAShellScriptWithItsArgumentsAndHonestExitCode) {
  scratch.writeFile("s.bat", "#!/bin/sh\no=$(readlink /proc/$$/fd/1)\necho \"$#:$1:$2\" > '" +
                                 scratch.path("out") + "'\necho $o >> '" + scratch.path("out") +
                                 "'\nexit 7\n");
  ASSERT_TRUE(spawn(cmdExe().c_str(),
                    "/c \"\"" + scratch.win("s.bat") + "\" --windowsNetStart \"a b\"\""));
  EXPECT_EQ(7u, finish());
  EXPECT_EQ("2:--windowsNetStart:a b\n/dev/null\n", scratch.readFile("out"));
}

TEST_F(StandinProcess, InterpreterDropsQuotesAsCmdDoes) {
  // Two quotes around a path with a blank and no special character stay; a
  // parenthesis in the path makes them go, and the path splits at its blank;
  // an outer pair of quotes is what goes then.
  scratch.makeDir("a b");
  scratch.makeDir("c (x86)");
  std::string body = "#!/bin/sh\necho \"$#:$1\" > '" + scratch.path("out") + "'\n";
  scratch.writeFile("a b/s.bat", body);
  scratch.writeFile("c (x86)/s.bat", body);
  ASSERT_TRUE(spawn(cmdExe().c_str(), "/c \"" + scratch.win("a b/s.bat") + "\" one"));
  EXPECT_EQ(0u, finish());
  EXPECT_EQ("1:one\n", scratch.readFile("out"));
  ASSERT_TRUE(spawn(cmdExe().c_str(), "/c \"" + scratch.win("c (x86)/s.bat") + "\" two"));
  EXPECT_EQ(1u, finish());
  ASSERT_TRUE(spawn(cmdExe().c_str(), "/c \"\"" + scratch.win("c (x86)/s.bat") + "\" three\""));
  EXPECT_EQ(0u, finish());
  EXPECT_EQ("1:three\n", scratch.readFile("out"));
}

TEST_F(StandinProcess, ProgramsAreFoundByTheFirstTokenAndCmdOnlyInTheSystemDirectory) {
  std::string program = scratch.path("prog");
  writeWholeFile(program, "#!/bin/sh\necho \"$0|$1|$2\" > '" + scratch.path("out") + "'\nexit 4\n");
  chmod(program.c_str(), 0755);
  ASSERT_TRUE(spawn(nullptr, "\"" + scratch.win("prog") + "\" stop \"Z:\\x y\\.\""));
  EXPECT_EQ(4u, finish());
  EXPECT_EQ(program + "|stop|Z:\\x y\\.\n", scratch.readFile("out"));
  EXPECT_EQ(lastErrorOf(spawn(nullptr, "\"" + scratch.win("missing.exe") + "\" stop")),
            (DWORD)ERROR_FILE_NOT_FOUND);
  // The interpreter is found only in the system directory.
  scratch.writeFile("s.bat", "exit 0\n");
  EXPECT_EQ(lastErrorOf(spawn("cmd.exe", "/c \"" + scratch.win("s.bat") + "\"")),
            (DWORD)ERROR_FILE_NOT_FOUND);
  char directory[MAX_PATH];
  DWORD length = GetSystemDirectoryA(directory, MAX_PATH);
  ASSERT_GT(length, 0u);
  EXPECT_EQ(standinSystemDirectory(), std::string(directory, length));
  EXPECT_EQ(length + 1, GetSystemDirectoryA(directory, length)); // too small: the size needed
  // A script that is not there: the interpreter starts and ends with 1.
  ASSERT_TRUE(spawn(cmdExe().c_str(), "/c \"" + scratch.win("none.bat") + "\""));
  EXPECT_EQ(1u, finish());
  EXPECT_EQ(0, standinOpenHandleCount(kStandinProcess));
}

// A child gets the handles that were inheritable when it was created, and
// only with bInheritHandles TRUE (CreateProcessA docs; CreateFileA: inheritable
// only through lpSecurityAttributes; _sopen: inheritable unless _O_NOINHERIT).
// What it inherited it holds open: here the runtime's deny-none open keeps the
// file from being deleted until the child ends.
TEST_F(StandinProcess, ChildHoldsWhatWasInheritableAtItsCreation) {
  for (const char *name : {"attr", "plain", "crt", "noinherit"})
    scratch.writeFile(name, "x");
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE attr = CreateFileA(scratch.win("attr").c_str(), GENERIC_READ, FILE_SHARE_READ, &inherit,
                            OPEN_EXISTING, 0, nullptr);
  HANDLE plain = CreateFileA(scratch.win("plain").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                             OPEN_EXISTING, 0, nullptr);
  int crt = _sopen(scratch.win("crt").c_str(), _O_WRONLY, _SH_DENYNO);
  int noinherit = _sopen(scratch.win("noinherit").c_str(), _O_WRONLY | _O_NOINHERIT, _SH_DENYNO);
  ASSERT_TRUE(attr != INVALID_HANDLE_VALUE && plain != INVALID_HANDLE_VALUE && crt >= 0 &&
              noinherit >= 0);
  std::string body = "for f in /proc/$$/fd/*; do readlink \"$f\"; done > '" + scratch.path("t") +
                     "'\nmv '" + scratch.path("t") + "' '" + scratch.path("fds") +
                     "'\nwhile [ ! -e '" + scratch.path("go") + "' ]; do sleep 0.01; done\n";
  scratch.writeFile("s.bat", body);
  auto inherited = [&](BOOL inheritHandles) {
    std::string commandLine = "/c \"" + scratch.win("s.bat") + "\"";
    EXPECT_TRUE(CreateProcessA(cmdExe().c_str(), &commandLine[0], nullptr, nullptr,
                               inheritHandles, 0, nullptr, nullptr, &startup, &info));
    EXPECT_TRUE(eventually([&] { return scratch.exists("fds"); }));
    std::string fds = scratch.readFile("fds");
    std::string held;
    for (const char *name : {"attr", "plain", "crt", "noinherit"})
      if (fds.find(scratch.path(name) + "\n") != std::string::npos)
        held += std::string(held.empty() ? "" : " ") + name;
    return held;
  };

  EXPECT_EQ(inherited(TRUE), "attr crt");
  _close(crt);
  EXPECT_EQ(lastErrorOf(DeleteFileA(scratch.win("crt").c_str())),
            (DWORD)ERROR_SHARING_VIOLATION) << "the child still holds it";
  scratch.writeFile("go", "");
  finish();
  EXPECT_TRUE(DeleteFileA(scratch.win("crt").c_str()));

  remove(scratch.path("fds").c_str());
  EXPECT_EQ(inherited(FALSE), "");
  finish();
  CloseHandle(attr);
  CloseHandle(plain);
  _close(noinherit);
}

TEST_F(StandinProcess, RunningChildTimesOutShowsStillActiveEveryWaiterSeesItsEndAndIsReaped) {
  scratch.writeFile("s.bat", "sleep 0.3\nexit 5\n");
  ASSERT_TRUE(spawn(cmdExe().c_str(), "/c \"" + scratch.win("s.bat") + "\""));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(info.hProcess, 0));
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeProcess(info.hProcess, &code));
  EXPECT_EQ(STILL_ACTIVE, code);
  std::atomic<DWORD> other{1};
  std::thread waiter([&] { other = WaitForSingleObject(info.hProcess, INFINITE); });
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(info.hProcess, INFINITE));
  waiter.join();
  EXPECT_EQ(WAIT_OBJECT_0, other.load());
  EXPECT_EQ(5u, finish());
  // Handles closed while the child runs: it is reaped all the same, not a zombie.
  ASSERT_TRUE(spawn(cmdExe().c_str(), "/c \"" + scratch.win("s.bat") + "\""));
  pid_t pid = (pid_t)info.dwProcessId;
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  EXPECT_TRUE(eventually([&] { return kill(pid, 0) != 0; }));
  EXPECT_EQ(0, standinOpenHandleCount(kStandinProcess));
}

TEST_F(StandinProcess, FaultsAndBadArgumentsAreRefused) {
  standinFailCall("CreateProcessA", ERROR_ACCESS_DENIED);
  EXPECT_EQ(lastErrorOf(spawn(cmdExe().c_str(), "/c x.bat")), (DWORD)ERROR_ACCESS_DENIED);
  startup.cb = 4;
  EXPECT_EQ(lastErrorOf(spawn(cmdExe().c_str(), "/c x.bat")), (DWORD)ERROR_INVALID_PARAMETER);
  EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(nullptr, 0));
  EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
}

TEST(StandinEvent, ManualResetStaysSetAndAutoResetReleasesOneWaiter) {
  HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE automatic = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  ASSERT_TRUE(manual && automatic);
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(manual, 0));
  EXPECT_TRUE(SetEvent(manual));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(manual, 0));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(manual, 0));
  EXPECT_TRUE(SetEvent(automatic));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(automatic, 0));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(automatic, 0));
  // A waiter blocked without a timeout is woken by SetEvent from another thread.
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    SetEvent(automatic);
  });
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(automatic, INFINITE));
  setter.join();
  EXPECT_FALSE(SetEvent(nullptr));
  CloseHandle(manual);
  CloseHandle(automatic);
  EXPECT_EQ(0, standinOpenHandleCount(kStandinEvent));
}

namespace {
DWORD WINAPI answer(LPVOID parameter) {
  *static_cast<int *>(parameter) = 42;
  return 0;
}
} // namespace

TEST(StandinThread, RunsAndIsWaitable) {
  int value = 0;
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 0, answer, &value, 0, &id);
  ASSERT_NE(nullptr, thread);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, INFINITE));
  EXPECT_EQ(42, value);
  EXPECT_NE(0u, id);
  EXPECT_TRUE(CloseHandle(thread));
  standinFailCall("CreateThread", ERROR_NOT_ENOUGH_MEMORY, standinCallCount("CreateThread") + 1);
  EXPECT_EQ(nullptr, CreateThread(nullptr, 0, answer, &value, 0, nullptr));
  EXPECT_EQ((DWORD)ERROR_NOT_ENOUGH_MEMORY, GetLastError());
}

TEST(StandinStdHandles, InheritFlagIsRecorded) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  ASSERT_NE(nullptr, out);
  ASSERT_NE(INVALID_HANDLE_VALUE, out);
  EXPECT_TRUE(standinStdHandleInheritable(1));
  EXPECT_TRUE(SetHandleInformation(out, HANDLE_FLAG_INHERIT, 0));
  EXPECT_FALSE(standinStdHandleInheritable(1));
  EXPECT_EQ(INVALID_HANDLE_VALUE, GetStdHandle(7));
}
