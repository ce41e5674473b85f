// The server lock probe: every outcome of its table, with the lock held by
// another handle of this process and by the test server in another process,
// and `isrunning` answering from it.
#include "instance/lock_probe.h"

#include "instance/instance_paths.h"
#include "instance_support.h"

#include <algorithm>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {
class LockProbe : public InstallationTest {
protected:
  void TearDown() override {
    freeInstancePaths();
    InstallationTest::TearDown();
  }
  void useRoot(const std::string &rootWin) { ASSERT_EQ(initInstanceDir(rootWin.c_str()), 1); }
  std::string lockPath() const { return install.rootWin + "\\locks\\server.lock"; }
  void makeLockFile() const {
    scratch.makeDir("install/locks");
    scratch.writeFile("install/locks/server.lock", "pid 1\n");
  }
  struct Answer {
    int result;
    int32_t running;
    bool operator==(const Answer &o) const { return result == o.result && running == o.running; }
    friend void PrintTo(const Answer &a, std::ostream *os) {
      *os << "result " << a.result << ", running " << a.running;
    }
  };
  static Answer probe(int32_t verbose = 1) {
    Answer answer{-1, 77};
    answer.result = isServerRunning(&answer.running, verbose);
    return answer;
  }
};

// Holds an exclusive lock over byte 0 through a handle of its own.
struct HeldLock {
  explicit HeldLock(const std::string &path) {
    file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    OVERLAPPED at = {};
    held = file != INVALID_HANDLE_VALUE &&
           LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at);
  }
  ~HeldLock() {
    if (file != INVALID_HANDLE_VALUE)
      CloseHandle(file);
  }
  HANDLE file;
  bool held;
};

TEST_F(LockProbe, LockHeldByAnotherHandleMeansRunningAndTheFileIsUntouched) {
  makeLockFile();
  useRoot(install.rootWin);
  HeldLock server(lockPath());
  ASSERT_TRUE(server.held);
  int files = standinOpenHandleCount(kStandinFile);
  EXPECT_EQ(probe(), (Answer{0, 1}));
  EXPECT_EQ(scratch.readFile("install/locks/server.lock"), "pid 1\n");
  EXPECT_EQ(standinOpenHandleCount(kStandinFile), files) << "the probe closed its descriptor";
  std::vector<std::string> messages = log();
  ASSERT_GE(messages.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(messages.end() - 4, messages.end()),
            (std::vector<std::string>{
                "Determining if the server is running.",
                "When determining whether the server is running, the lock file name is '" + lockPath() + "'.",
                "Able to open the lock file '" + lockPath() + "'.",
                "Unable to lock '" + lockPath() + "', so the server is running."}));
}

TEST_F(LockProbe, FreeLockMeansNotRunningAndIsReleasedAgain) {
  makeLockFile();
  useRoot(install.rootWin);
  EXPECT_EQ(probe(), (Answer{0, 0}));
  EXPECT_TRUE(logHas(log(), "Able to lock '" + lockPath() + "', so the server is not running."));
  // Released explicitly: Windows frees the locks of a closed handle only
  // at some later time. (Each debug-log line locks and releases a byte of
  // the log, so every lock taken must have its release.)
  EXPECT_GE(standinCallCount("LockFileEx"), 1);
  EXPECT_EQ(standinCallCount("UnlockFileEx"), standinCallCount("LockFileEx"));
  size_t lines = log().size();
  EXPECT_EQ(probe(0), (Answer{0, 0}));
  EXPECT_EQ(log().size(), lines) << "a quiet probe on a settled root writes nothing";
  HeldLock after(lockPath());
  EXPECT_TRUE(after.held) << "the probe's own lock did not outlive the call";
  EXPECT_EQ(scratch.readFile("install/locks/server.lock"), "pid 1\n");
}

// A lock file that is missing, a directory, read-only (it cannot be opened
// for the lock, whoever asks) or below a "locks" that is a file: the probe
// cannot tell, traces it as no error, and creates nothing.
TEST_F(LockProbe, MissingOrUnopenableLockFileCannotTell) {
  useRoot(install.rootWin);
  const std::string file = "install/locks/server.lock";
  int files = standinOpenHandleCount(kStandinFile);
  for (const char *what : {"missing", "a directory", "read-only", "below a file"}) {
    SCOPED_TRACE(what);
    if (what[0] == 'a')
      scratch.makeDir(file);
    if (what[0] == 'r') {
      rmdir(scratch.path(file).c_str());
      scratch.writeFile(file, "");
      chmod(scratch.path(file).c_str(), 0444);
    }
    if (what[0] == 'b') {
      unlink(scratch.path(file).c_str());
      rmdir(scratch.path("install/locks").c_str());
      scratch.writeFile("install/locks", "not a directory");
    }
    EXPECT_EQ(probe(), (Answer{1, 0}));
    EXPECT_EQ(log().back(), "Could not open lock file '" + lockPath() +
                                "', which means the server is not running.");
    EXPECT_EQ(scratch.exists("install/locks"), what[0] != 'm') << "the probe never creates anything";
  }
  EXPECT_EQ(countErrorLines(log()), 0u) << "an open failure is a trace line, not an error";
  EXPECT_EQ(standinOpenHandleCount(kStandinFile), files);
}

TEST_F(LockProbe, UnexpectedLockErrorsCannotTellAndNameTheirNumber) {
  makeLockFile();
  useRoot(install.rootWin);
  int files = standinOpenHandleCount(kStandinFile);
  // 13 is also the number of the translated violation: it must not pass for a held lock.
  for (DWORD error : {(DWORD)ERROR_INVALID_DATA, (DWORD)ERROR_ACCESS_DENIED}) {
    failNextCall("LockFileEx", error);
    EXPECT_EQ(probe(0), (Answer{1, 0}));
    EXPECT_TRUE(logHas(log(), "ERROR:  Unexpected error locking: " + std::to_string(error)));
    standinClearFaults();
  }
  EXPECT_EQ(standinOpenHandleCount(kStandinFile), files);
  EXPECT_EQ(standinCallCount("UnlockFileEx"), 0) << "nothing was taken, nothing released";
}

// A root that is unset, unsafe, or of more than 240 characters gives a lock
// path too long: refused without building one.
TEST_F(LockProbe, InstanceRootOf240CharactersIsProbedAndAnUnsetUnsafeOrLongerOneIsTooLong) {
  EXPECT_EQ(probe(), (Answer{1, 0}));
  for (size_t length : {240u, 241u}) {
    std::string root = makeDirOfWindowsLength(scratch, length, "r" + std::to_string(length));
    scratch.makeDir(root + "/locks");
    scratch.writeFile(root + "/locks/server.lock", "");
    scratch.writeFile("install/instance.loc", scratch.win(root) + "\r\n");
    useRoot(install.rootWin);
    ASSERT_EQ(strlen(getInstanceRoot()), length);
    EXPECT_EQ(probe(), (Answer{length == 240 ? 0 : 1, 0})) << length;
    freeInstancePaths();
  }
  scratch.makeDir("a..b/locks");
  scratch.writeFile("a..b/locks/server.lock", "");
  useRoot(scratch.win("a..b"));
  EXPECT_EQ(probe(), (Answer{1, 0}));
  std::vector<std::string> messages = log();
  EXPECT_EQ(countErrorLines(messages), 3u);
  EXPECT_EQ(std::count(messages.begin(), messages.end(), "ERROR:  Lock file path is too long."), 3);
  int built = 0;
  for (const std::string &m : messages)
    built += m.find("lock file name") != std::string::npos;
  EXPECT_EQ(built, 1) << "only for the root of 240 characters";
}

// ---- Against the test server, in another process ------------------------------

pid_t startServer(const std::string &rootWin, const std::vector<std::string> &options = {}) {
  std::string program = std::string(VELKOR_FIXTURE_DIR) + "/velkor_test_server";
  std::vector<char *> argv = {const_cast<char *>(program.c_str()), const_cast<char *>(rootWin.c_str())};
  for (const std::string &option : options)
    argv.push_back(const_cast<char *>(option.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0)
    return -1;
  return pid;
}

bool waitForFile(const ScratchDir &scratch, const std::string &sub, pid_t pid) {
  for (int i = 0; i < 2000; ++i) {
    if (scratch.exists(sub))
      return true;
    if (waitpid(pid, nullptr, WNOHANG) == pid)
      return false;
    usleep(5000);
  }
  return false;
}

int exitStatus(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(LockProbe, TestServerHoldsTheLockUntilItStopsOrDies) {
  useRoot(install.rootWin);
  pid_t server = startServer(install.rootWin);
  ASSERT_TRUE(waitForFile(scratch, "install/locks/server.ready", server));
  EXPECT_EQ(probe(), (Answer{0, 1}));
  scratch.writeFile("install/locks/server.stop", "");
  EXPECT_EQ(exitStatus(server), 0);
  EXPECT_FALSE(scratch.exists("install/locks/server.ready"));
  EXPECT_EQ(probe(), (Answer{0, 0}));

  server = startServer(install.rootWin);
  ASSERT_TRUE(waitForFile(scratch, "install/locks/server.ready", server));
  scratch.writeFile("install/locks/server.die", "");
  EXPECT_EQ(exitStatus(server), 3);
  EXPECT_TRUE(scratch.exists("install/locks/server.ready")) << "a crash cleans nothing up";
  EXPECT_EQ(probe(), (Answer{0, 0})) << "the lock went with the process";

  EXPECT_EQ(exitStatus(startServer(install.rootWin, {"--lifetime", "100"})), 3);
  EXPECT_EQ(exitStatus(startServer(install.rootWin, {"--no-lock"})), 0);
  EXPECT_EQ(probe(), (Answer{0, 0}));
}

TEST_F(LockProbe, IsRunningAnswersTrueFalseOrCannotTell) {
  EXPECT_EQ(runProgram(install.program, {"isrunning", install.rootWin}),
            (RunResult{2, "Could not determine if the server is running.\n"}));

  pid_t server = startServer(install.rootWin);
  ASSERT_TRUE(waitForFile(scratch, "install/locks/server.ready", server));
  EXPECT_EQ(runProgram(install.program, {"isrunning", install.rootWin}), (RunResult{0, "true\n"}));
  scratch.writeFile("install/locks/server.stop", "");
  EXPECT_EQ(exitStatus(server), 0);

  EXPECT_EQ(runProgram(install.program, {"isrunning", install.rootWin}), (RunResult{1, "false\n"}));
}
} // namespace
