// Child processes: the batch command through the system's interpreter, the
// plain command line, and the bounded wait.
#include "runtime_support.h"

#include "instance/lock_probe.h"
#include "launcher/child_process.h"
#include "platform/posix/standin_process.h"

namespace {
struct ChildProcess : testing::Test {
  ScratchDir scratch;
  Installation inst{scratch};
  PROCESS_INFORMATION info;

  void SetUp() override {
    inst.actAsProgram();
    memset(&info, 0x5A, sizeof info);
  }

  std::string script(const std::string &name, const std::string &body) {
    scratch.writeFile(name, "#!/bin/sh\n" + body);
    return "\"" + scratch.win(name) + "\"";
  }

  std::vector<std::string> log() const { return logMessages(inst.logPath()); }

  void release() {
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
  }
};
} // namespace

TEST_F(ChildProcess, BatchCommandOf2042CharactersRunsAnd2043IsRefused) {
  std::string command = script("s.bat", "echo \"$#\" > '" + scratch.path("out") + "'\n") + " ";
  command += std::string(2042 - command.size(), 'x');
  ASSERT_EQ(2042u, command.size());
  ASSERT_NE(0, createBatchFileChildProcess(command.c_str(), 0, &info));
  DWORD code = 1;
  EXPECT_EQ(1, waitForProcess(&info, INFINITE, &code));
  EXPECT_EQ(0u, code);
  EXPECT_EQ("1\n", scratch.readFile("out"));
  EXPECT_TRUE(logHas(log(), "createBatchFileChildProcess: Successfully created child process '/c \"" +
                                command + "\"'."));
  release();

  command += "x";
  memset(&info, 0x5A, sizeof info);
  PROCESS_INFORMATION before = info;
  EXPECT_EQ(0, createBatchFileChildProcess(command.c_str(), 0, &info));
  EXPECT_EQ(0, memcmp(&before, &info, sizeof info)); // the caller's record is untouched
  EXPECT_EQ("createBatchFileChildProcess: the batch file path is too long.", log().back());
}

TEST_F(ChildProcess, ChildrenGetNullStandardHandlesAndOursStopBeingInheritable) {
  std::string probe = "o=$(for fd in 0 1 2; do readlink /proc/$$/fd/$fd; done)\n"
                      "echo \"$o\" > '" + scratch.path("fds") + "'\n";
  ASSERT_NE(0, createBatchFileChildProcess(script("s.bat", probe).c_str(), 0, &info));
  DWORD code;
  EXPECT_EQ(1, waitForProcess(&info, INFINITE, &code));
  release();
  EXPECT_EQ("/dev/null\n/dev/null\n/dev/null\n", scratch.readFile("fds"));
  for (int fd = 0; fd < 3; ++fd)
    EXPECT_FALSE(standinStdHandleInheritable(fd));
  EXPECT_TRUE(logHas(log(), "createBatchFileChildProcess: Attempting to create child process '/c "
                            "\"\"" + scratch.win("s.bat") + "\"\"' background=0."));
}

// Background 1 asks for DETACHED_PROCESS, and the stand-in gives such a
// child a session of its own; any other value leaves it in ours.
TEST_F(ChildProcess, OnlyBackgroundOneCreatesADetachedChild) {
  std::string body = "cut -d' ' -f6 /proc/$$/stat > '" + scratch.path("sid") + "'\necho $$ > '" +
                     scratch.path("pid") + "'\n";
  std::string command = script("s.bat", body);
  for (int background : {1, 0, 2}) {
    ASSERT_NE(0, createBatchFileChildProcess(command.c_str(), background, &info));
    DWORD code;
    waitForProcess(&info, INFINITE, &code);
    release();
    EXPECT_EQ(background == 1, scratch.readFile("pid") == scratch.readFile("sid")) << background;
  }
}

TEST_F(ChildProcess, WaitTellsEndTimeOutAndFailure) {
  DWORD code = 0;
  ASSERT_NE(0, createBatchFileChildProcess(script("three.bat", "exit 3\n").c_str(), 0, &info));
  EXPECT_EQ(1, waitForProcess(&info, 10000, &code));
  EXPECT_EQ(3u, code);
  release();
  std::vector<std::string> lines = log();
  EXPECT_TRUE(logHas(lines, "waitForProcess: wait time is: 10000"));
  EXPECT_TRUE(logHas(lines, "waitForProcess: was successful"));
  EXPECT_TRUE(logHas(lines, "waitForProcess exitCode: 3"));

  ASSERT_NE(0, createBatchFileChildProcess(script("long.bat", "sleep 30\n").c_str(), 0, &info));
  EXPECT_EQ(0, waitForProcess(&info, 0, &code)); // a wait of 0 answers at once
  EXPECT_EQ(258u, code);
  EXPECT_EQ(0, waitForProcess(&info, 50, &code));
  EXPECT_EQ(258u, code);
  EXPECT_EQ("waitForProcess: Process timed out.", log().back());
  pid_t pid = (pid_t)info.dwProcessId;
  ASSERT_GT(pid, 0);
  EXPECT_EQ(0, kill(pid, 0)); // the child still runs: it is neither stopped nor detached

  standinFailCall("WaitForSingleObject", ERROR_INVALID_HANDLE,
                  standinCallCount("WaitForSingleObject") + 1);
  EXPECT_EQ(0, waitForProcess(&info, 50, &code));
  EXPECT_EQ(0xFFFFFFFFu, code);
  EXPECT_EQ("waitForProcess: Wait for process failed: 6", log().back());
  kill(pid, SIGKILL);
  release();
}

TEST_F(ChildProcess, InterpreterOutsideTheSystemDirectoryIsNeverUsed) {
  // A cmd.exe in the current directory must not be what runs.
  std::string planted = scratch.path("cmd.exe");
  writeWholeFile(planted, "#!/bin/sh\ntouch '" + scratch.path("planted") + "'\n");
  chmod(planted.c_str(), 0755);
  char previous[4096];
  ASSERT_NE(nullptr, getcwd(previous, sizeof previous));
  ASSERT_EQ(0, chdir(scratch.path().c_str()));
  int created = createBatchFileChildProcess(script("s.bat", "exit 0\n").c_str(), 0, &info);
  ASSERT_EQ(0, chdir(previous));
  ASSERT_NE(0, created);
  DWORD code;
  EXPECT_EQ(1, waitForProcess(&info, INFINITE, &code));
  release();
  EXPECT_FALSE(scratch.exists("planted"));

  standinFailCall("GetSystemDirectoryA", ERROR_ACCESS_DENIED,
                  standinCallCount("GetSystemDirectoryA") + 1);
  EXPECT_EQ(0, createBatchFileChildProcess(script("s.bat", "exit 0\n").c_str(), 0, &info));
  EXPECT_EQ("ERROR:  createBatchFileChildProcess: Could not find the command interpreter.  "
            "Last error = 5.",
            log().back());
  standinFailCall("CreateProcessA", ERROR_ACCESS_DENIED, standinCallCount("CreateProcessA") + 1);
  EXPECT_EQ(0, createBatchFileChildProcess(script("s.bat", "exit 0\n").c_str(), 0, &info));
  EXPECT_EQ("ERROR:  createBatchFileChildProcess: Failed to create child process '/c \"\"" +
                scratch.win("s.bat") + "\"\"'.  Last error = 5.",
            log().back());
}

TEST_F(ChildProcess, CommandLineChildGivesItsPidAndKeepsNoHandle) {
  std::string program = scratch.path("launcher.exe");
  writeWholeFile(program, "#!/bin/sh\nprintf '%s %s\\n' \"$1\" \"$2\" > '" + scratch.path("args") + "'\n");
  chmod(program.c_str(), 0755);
  std::string command = "\"" + scratch.win("launcher.exe") + "\" stop \"Z:\\r\\.\"";
  int pid = createChildProcess(command.c_str(), 0);
  ASSERT_GT(pid, 0);
  EXPECT_EQ(0, standinOpenHandleCount(kStandinProcess));
  EXPECT_EQ(0, standinOpenHandleCount(kStandinThread));
  EXPECT_TRUE(eventually([&] { return scratch.readFile("args") == "stop Z:\\r\\.\n"; }));
  std::vector<std::string> lines = log();
  EXPECT_TRUE(logHas(lines, "createChildProcess: Successfully created child process '" + command + "'."));
  EXPECT_EQ("The PID of the spawned process is " + std::to_string(pid) + ".", lines.back());

  std::string missing = "\"" + scratch.win("none.exe") + "\" stop";
  EXPECT_EQ(-1, createChildProcess(missing.c_str(), 0));
  lines = log();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ("ERROR:  createChildProcess: Failed to create child process '" + missing +
                "'.  Last error = 2.",
            lines[lines.size() - 2]);
  EXPECT_EQ("ERROR:  Could not get the PID of the spawned process.", lines.back());
}

// Children are created with inheritance on, possibly while another thread
// has one of our files open. A child created from inside every LockFileEx
// (one log line while instance.loc is open, the others, and the lock probe)
// must hold none of them: each is opened non-inheritable.
TEST_F(ChildProcess, ChildCreatedWhileOurFilesAreOpenHoldsNoneOfThem) {
  scratch.makeDir("install/inst/locks");
  scratch.writeFile("install/inst/locks/server.lock", "");
  scratch.writeFile("install/instance.loc", "inst\r\n");
  scratch.writeFile("list.bat", "#!/bin/sh\nfor f in /proc/$$/fd/*; do readlink \"$f\"; done > '" +
                                    scratch.path("t") + "'$1\nmv '" + scratch.path("t") + "'$1 '" +
                                    scratch.path("fds") + "'$1\n");
  std::vector<PROCESS_INFORMATION> children;
  standinBeforeLockFileEx([&](HANDLE) {
    // The spawn the program makes: the system's interpreter, null standard
    // handles, inheritance on.
    std::string commandLine =
        "/c \"\"" + scratch.win("list.bat") + "\" " + std::to_string(children.size()) + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    PROCESS_INFORMATION child;
    if (CreateProcessA((standinSystemDirectory() + "\\cmd.exe").c_str(), &commandLine[0], nullptr,
                       nullptr, TRUE, 0, nullptr, nullptr, &startup, &child))
      children.push_back(child);
  });
  debug("a line in flight");
  ASSERT_EQ(1, initInstanceDir(inst.rootWin.c_str()));
  int32_t running = 7;
  EXPECT_EQ(0, isServerRunning(&running, 1));
  standinBeforeLockFileEx(nullptr);
  EXPECT_EQ(0, running);
  EXPECT_TRUE(logHas(log(), "Instance root resolved from '" + inst.rootWin + "\\instance.loc': '" +
                                inst.rootWin + "\\inst'."));
  ASSERT_GE(children.size(), 4u) << "lines, the line with instance.loc open, and the probe";
  std::string held;
  for (size_t i = 0; i < children.size(); ++i) {
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(children[i].hProcess, INFINITE));
    CloseHandle(children[i].hThread);
    CloseHandle(children[i].hProcess);
    std::string fds = scratch.readFile("fds" + std::to_string(i));
    for (const char *name : {"native-windows.out", "instance.loc", "server.lock"})
      if (fds.find(name) != std::string::npos)
        held += " child " + std::to_string(i) + ": " + name;
  }
  EXPECT_EQ("", held);
  freeInstancePaths();
}
