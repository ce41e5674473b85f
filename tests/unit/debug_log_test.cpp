// The debug log: line format, banner, where the file goes, the size cap, and
// what happens when it cannot be written.
#include "support.h"

#include <regex>
#include <set>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {
class DebugLogTest : public testing::Test {
protected:
  void SetUp() override {
    resetDebugLogForTest();
    standinSetTempPath((scratch.win("temp") + "\\").c_str());
    scratch.makeDir("temp");
    install.actAsProgram();
  }
  void TearDown() override {
    standinSetModuleFileName(nullptr);
    standinSetTempPath(nullptr);
    standinSetTimeScale(1);
    standinClearFaults();
    resetDebugLogForTest();
  }
  ScratchDir scratch;
  Installation install{scratch};
};

// The first line of a process is the banner; a format ending in a line
// feed leaves an empty line.
TEST_F(DebugLogTest, FirstLineOfAProcessIsTheBannerThenTheMessageWithOnePid) {
  debug("main called.");
  debugError("Lock file path is too long.");
  std::string content = readWholeFile(install.logPath());
  std::regex line(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d: \(pid=(\d+)\)  (.*)\r\n)");
  std::vector<std::string> pids, texts;
  for (std::sregex_iterator it(content.begin(), content.end(), line), end; it != end; ++it) {
    pids.push_back((*it)[1]);
    texts.push_back((*it)[2]);
  }
  ASSERT_EQ(texts.size(), 3u) << content;
  EXPECT_EQ(texts[0], "--------------- FIRST LOG MESSAGE FROM '" + toWindowsPath(install.program) +
                          "' ---------------");
  EXPECT_EQ(texts[1], "main called.");
  EXPECT_EQ(texts[2], "ERROR:  Lock file path is too long.");
  EXPECT_EQ(pids[0], std::to_string(getpid()));
  EXPECT_EQ(pids[1], pids[0]);
  EXPECT_EQ(pids[2], pids[0]);
  EXPECT_EQ(content.size(), [&] {
    size_t lengths = 0;
    for (auto &t : texts)
      lengths += 19 + 7 + pids[0].size() + 3 + t.size() + 2; // "<time>: (pid=N)  <text>\r\n"
    return lengths;
  }()) << "nothing but the three lines";

  debug("The name of the resulting windows service command is too long.\n");
  debug("after");
  content = readWholeFile(install.logPath());
  EXPECT_NE(content.find("too long.\r\n\r\n"), std::string::npos) << content;
  EXPECT_EQ(logMessages(install.logPath()).back(), "after");
}

// 500000 bytes are kept and appended to; above that the file starts again;
// a size that cannot be read keeps the file.
TEST_F(DebugLogTest, SizeCapKeepsExactly500000BytesAndRestartsAbove) {
  debug("settle the path");
  standinFailCall("GetFileSize", ERROR_ACCESS_DENIED);
  debug("size unread");
  std::vector<std::string> messages = logMessages(install.logPath());
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[2], "size unread");

  writeWholeFile(install.logPath(), std::string(500000, 'x'));
  debug("appended");
  std::string kept = readWholeFile(install.logPath());
  EXPECT_EQ(kept.compare(0, 500000, std::string(500000, 'x')), 0);
  EXPECT_GT(kept.size(), 500000u);

  writeWholeFile(install.logPath(), std::string(500001, 'x'));
  debug("fresh start");
  messages = logMessages(install.logPath());
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], "fresh start") << "no banner: not the first line of the process";
}

// An installation without a logs directory (none, or a plain file of that
// name), and a program at a drive root, log to <temp>\logs, made as needed.
TEST_F(DebugLogTest, WithoutLogsDirectoryTheTempLogsDirectoryIsMadeAndUsed) {
  Installation bare(scratch, "bare", /*withLogs=*/false);
  Installation plain(scratch, "plain", /*withLogs=*/false);
  scratch.writeFile("plain/logs", "not a directory");
  for (const std::string &program :
       {toWindowsPath(bare.program), toWindowsPath(plain.program), std::string("Z:prog.exe")}) {
    SCOPED_TRACE(program);
    resetDebugLogForTest();
    standinSetModuleFileName(program.c_str());
    debug("to temp from %s", program.c_str());
    EXPECT_EQ(std::string(debugLogPath()), scratch.win("temp") + "\\logs\\native-windows.out");
    EXPECT_TRUE(logHas(logMessages(scratch.path("temp/logs/native-windows.out")),
                       "to temp from " + program));
  }
}

// The install root is cut at backslashes that are characters: in code page
// 932 the program name ソ (83 5C) ends in the byte of a backslash.
TEST_F(DebugLogTest, ProgramNameEndingInTheTrailByte5CLogsUnderItsInstallation) {
  standinSetAnsiCodePage(932);
  standinSetModuleFileName((install.rootWin + "\\lib\\\x83\x5C").c_str());
  debug("from the program");
  standinSetAnsiCodePage(0);
  EXPECT_EQ(std::string(debugLogPath()), install.rootWin + "\\logs\\native-windows.out");
  EXPECT_TRUE(logHas(logMessages(install.logPath()), "from the program"));
}

TEST_F(DebugLogTest, WithoutTempDirectoryTheBareNameInTheCurrentDirectory) {
  Installation bare(scratch, "bare", /*withLogs=*/false);
  bare.actAsProgram();
  standinFailCall("GetTempPathA", ERROR_ACCESS_DENIED);
  char previous[4096];
  ASSERT_TRUE(getcwd(previous, sizeof previous));
  scratch.makeDir("cwd");
  ASSERT_EQ(chdir(scratch.path("cwd").c_str()), 0);
  debug("here");
  ASSERT_EQ(chdir(previous), 0);
  EXPECT_STREQ(debugLogPath(), "native-windows.out");
  EXPECT_TRUE(logHas(logMessages(scratch.path("cwd/native-windows.out")), "here"));
}

TEST_F(DebugLogTest, OverlongPathIsCutTo259Characters) {
  std::string deep = scratch.win("temp") + "\\" + std::string(300, 'd') + "\\";
  standinSetTempPath(deep.substr(0, 255).c_str()); // GetTempPathA fits, the log path does not
  standinSetModuleFileName("Z:prog.exe");
  testing::internal::CaptureStdout();
  debug("cut");
  testing::internal::GetCapturedStdout();
  ASSERT_NE(debugLogPath(), nullptr);
  EXPECT_EQ(strlen(debugLogPath()), 259u);
}

TEST_F(DebugLogTest, UnopenableLogPrintsOnStandardOutputAndGoesOn) {
  testing::internal::CaptureStdout();
  standinFailCall("_sopen", EACCES, 1, 0);
  debug("lost");
  debugError("lost too");
  fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Could not create log file.\nCould not create log file.\nCould not create log file.\n")
      << "banner, line, error line";
}

TEST_F(DebugLogTest, ThreadsOfOneProcessNeverInterleaveTheirLines) {
  debug("main thread first");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < 50; ++i)
        debug("thread %d line %d %s", t, i, std::string(300, 'a' + t).c_str());
    });
  for (auto &thread : threads)
    thread.join();
  std::vector<std::string> messages = logMessages(install.logPath());
  ASSERT_EQ(messages.size(), 2u + 200u);
  std::regex whole(R"(thread (\d) line \d+ ([a-d])\2{299})");
  for (size_t i = 2; i < messages.size(); ++i)
    EXPECT_TRUE(std::regex_match(messages[i], whole)) << messages[i];
}

// A writer of another process that holds the log's lock and stalls costs a
// line kLogLockTries tries, kLogLockPauseMs apart (about a second), and the
// line is written without the lock; the lines after it try once until the
// lock is had again. Threads waiting for one another sleep in the process's
// lock: the only sleeps are the pauses between tries.
TEST_F(DebugLogTest, LockHeldElsewhereDelaysOneLineBoundedlyAndNobodySpins) {
  debug("settle the path");
  int ready[2], release[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(release), 0);
  pid_t holder = fork();
  if (holder == 0) {
    HANDLE log = CreateFileA(toWindowsPath(install.logPath()).c_str(), GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    OVERLAPPED at = {};
    at.Offset = 0xFFFFFFFFu;
    char byte = LockFileEx(log, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at) ? 'y' : 'n';
    if (write(ready[1], &byte, 1) != 1 || read(release[0], &byte, 1) != 1)
      _exit(1);
    _exit(0); // the lock goes with the process
  }
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  ASSERT_EQ(byte, 'y');
  standinSetTimeScale(0.01);
  int locks = standinCallCount("LockFileEx"), sleeps = standinCallCount("Sleep");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t] { debug("thread %d while the lock is held", t); });
  for (auto &thread : threads)
    thread.join();
  EXPECT_EQ(standinCallCount("LockFileEx") - locks, kLogLockTries + 3);
  EXPECT_EQ(standinCallCount("Sleep") - sleeps, kLogLockTries - 1);
  EXPECT_LE((kLogLockTries - 1) * kLogLockPauseMs, 1000u) << "about a second at most";

  ASSERT_EQ(write(release[1], "x", 1), 1);
  waitpid(holder, nullptr, 0);
  locks = standinCallCount("LockFileEx");
  debug("after the holder ended");
  EXPECT_EQ(standinCallCount("LockFileEx") - locks, 1);
  EXPECT_EQ(standinCallCount("UnlockFileEx"), standinCallCount("LockFileEx") - kLogLockTries - 3)
      << "every lock granted was released";
  std::vector<std::string> messages = logMessages(install.logPath());
  for (int t = 0; t < 4; ++t)
    EXPECT_TRUE(logHas(messages, "thread " + std::to_string(t) + " while the lock is held"));
  EXPECT_EQ(messages.back(), "after the holder ended");
  for (int fd : {ready[0], ready[1], release[0], release[1]})
    close(fd);
}

// Sixteen processes append at once; their lines interleave and none is lost
// or torn. Each pauses 5 ms after a line, as real writers leave gaps, so the
// byte is mostly free and the outcome does not follow the machine's load.
TEST_F(DebugLogTest, ProcessesAppendingAtOnceLoseAndTearNoLine) {
  constexpr int kProcesses = 16, kLines = 100;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    pid_t pid = fork();
    if (pid == 0) {
      resetDebugLogForTest(); // a new process starts with a fresh log state
      for (int i = 0; i < kLines; ++i) {
        debug("process %d line %d %s", p, i, std::string(200, 'a' + p).c_str());
        usleep(5000);
      }
      _exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::vector<std::string> messages = logMessages(install.logPath());
  std::regex whole(R"(process (\d+) line (\d+) ([a-p])\3{199})");
  std::set<std::string> seen;
  int banners = 0;
  for (const std::string &m : messages) {
    if (m.rfind("--------------- FIRST LOG MESSAGE FROM", 0) == 0) {
      ++banners;
      continue;
    }
    EXPECT_TRUE(std::regex_match(m, whole)) << m;
    seen.insert(m.substr(0, m.find(' ', m.find("line ") + 5)));
  }
  EXPECT_EQ(banners, kProcesses);
  EXPECT_EQ(seen.size(), (size_t)(kProcesses * kLines)) << "every line exactly once";
  EXPECT_LT(readWholeFile(install.logPath()).size(), (size_t)kMaxLogSize);
}
} // namespace
