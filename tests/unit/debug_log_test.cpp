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

// Writers at once: threads of this process, alone and while a writer of
// another process holds the byte every writer locks and stalls. Every line is
// written once and whole, each after one try of the lock when it is free. A
// stalled holder costs one line kLogLockTries tries, kLogLockPauseMs apart
// (about a second), and that line is written without the lock; the lines
// after it try once until the lock is had again. Threads waiting for one
// another sleep in the process's lock: the only sleeps are the pauses between
// tries. (Processes appending at once, on the Windows runtime's append and
// Windows' locks: tests/wine/test_log_concurrency.sh.)
TEST_F(DebugLogTest, ConcurrentWritersLoseAndTearNoLineAndWaitBoundedly) {
  struct Case {
    const char *what;
    int threads, lines;
    bool holderStalls;
    int lockTries, sleeps; // LockFileEx calls and Sleeps of all the lines
  };
  const Case cases[] = {
      {"threads", 4, 50, false, 200, 0},
      {"threads, another process holding the lock", 4, 1, true, kLogLockTries + 3,
       kLogLockTries - 1},
  };
  debug("settle the path");
  standinSetTimeScale(0.01);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    unlink(install.logPath().c_str());
    int ready[2], release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    pid_t holder = c.holderStalls ? fork() : 0;
    if (c.holderStalls && holder == 0) {
      HANDLE log = CreateFileA(toWindowsPath(install.logPath()).c_str(), GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_ALWAYS, 0, nullptr);
      OVERLAPPED at = {};
      at.Offset = 0xFFFFFFFFu;
      char byte = LockFileEx(log, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at) ? 'y' : 'n';
      if (write(ready[1], &byte, 1) != 1 || read(release[0], &byte, 1) != 1)
        _exit(1);
      _exit(0); // the lock goes with the process
    }
    ASSERT_GE(holder, 0) << "fork failed";
    char byte = 'y';
    if (holder > 0) {
      ASSERT_EQ(read(ready[0], &byte, 1), 1);
    }
    ASSERT_EQ(byte, 'y');
    int locks = standinCallCount("LockFileEx"), unlocks = standinCallCount("UnlockFileEx"),
        sleeps = standinCallCount("Sleep");
    std::vector<std::thread> threads;
    for (int t = 0; t < c.threads; ++t)
      threads.emplace_back([t, &c] {
        for (int i = 0; i < c.lines; ++i)
          debug("thread %d line %d %s", t, i, std::string(300, 'a' + t).c_str());
      });
    for (auto &thread : threads)
      thread.join();
    EXPECT_EQ(standinCallCount("LockFileEx") - locks, c.lockTries);
    EXPECT_EQ(standinCallCount("Sleep") - sleeps, c.sleeps);
    if (holder > 0) {
      ASSERT_EQ(write(release[1], "x", 1), 1);
      waitpid(holder, nullptr, 0);
      int before = standinCallCount("LockFileEx");
      debug("after the holder ended");
      EXPECT_EQ(standinCallCount("LockFileEx") - before, 1) << "one try, and had";
      EXPECT_EQ(logMessages(install.logPath()).back(), "after the holder ended");
    }
    EXPECT_EQ(standinCallCount("UnlockFileEx") - unlocks,
              standinCallCount("LockFileEx") - locks - (holder > 0 ? kLogLockTries + 3 : 0))
        << "every lock granted was released";
    std::regex whole(R"(thread (\d) line (\d+) ([a-d])\3{299})");
    std::set<std::string> seen;
    for (const std::string &m : logMessages(install.logPath())) {
      if (m == "after the holder ended")
        continue;
      EXPECT_TRUE(std::regex_match(m, whole)) << m.substr(0, 80);
      seen.insert(m.substr(0, m.find(' ', m.find("line ") + 5)));
    }
    EXPECT_EQ(seen.size(), (size_t)(c.threads * c.lines)) << "every line exactly once";
    for (int fd : {ready[0], ready[1], release[0], release[1]})
      close(fd);
  }
}
} // namespace
