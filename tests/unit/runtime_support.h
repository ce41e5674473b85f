// Helpers of the service-runtime tests: an installation with a start script,
// the stop launcher and the test server, a service registered on the
// stand-in SCM with this test process as its host, and readers of what the
// service reported (statuses in order, events, debug-log lines).
#pragma once

#include "platform/posix/standin.h"
#include "platform/posix/standin_dispatcher.h"
#include "platform/posix/standin_eventlog.h"
#include "platform/posix/standin_scm_store.h"
#include "support.h"

#include <gtest/gtest.h>

#include "cli/commands.h"
#include "diag/event_log.h"
#include "instance/instance_paths.h"
#include "service/service_status.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <spawn.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

// A fixture program of the native build; a missing one fails the test that needs it.
inline std::string fixturePath(const std::string &name) {
  std::string path = std::string(VELKOR_FIXTURE_DIR) + "/" + name;
  if (access(path.c_str(), X_OK) != 0)
    ADD_FAILURE() << "the fixture " << path << " is not built (it comes with the velkor_unit_tests target)";
  return path;
}

// Polls `condition` every 5 ms for up to `ms` of real time.
inline bool eventually(const std::function<bool()> &condition, int ms = 10000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// "<state> <win32> <specific> <checkpoint> <hint> <accepted>", exit codes signed.
inline std::string statusText(const SERVICE_STATUS &s) {
  char text[128];
  snprintf(text, sizeof text, "%u %d %d %u %u %u", (unsigned)s.dwCurrentState,
           (int)s.dwWin32ExitCode, (int)s.dwServiceSpecificExitCode, (unsigned)s.dwCheckPoint,
           (unsigned)s.dwWaitHint, (unsigned)s.dwControlsAccepted);
  return text;
}

// "<type> <symbol>" of one recorded event, with its insertion strings after.
inline std::string eventText(const StandinEvent &e) {
  const char *symbol = e.eventId == MSG_SERVER_STARTED        ? "MSG_SERVER_STARTED"
                       : e.eventId == MSG_SERVER_SHUTDOWN     ? "MSG_SERVER_SHUTDOWN"
                       : e.eventId == MSG_START_FAILED        ? "MSG_START_FAILED"
                       : e.eventId == MSG_STOP_FAILED         ? "MSG_STOP_FAILED"
                       : e.eventId == MSG_STOPPED_OUTSIDE_SCM ? "MSG_STOPPED_OUTSIDE_SCM"
                                                              : "other";
  std::string text = std::to_string(e.type) + " " + symbol;
  for (const std::string &s : e.strings)
    text += " [" + s + "]";
  return text;
}

// True while some process holds a lock on byte 0 of the file.
inline bool lockHeld(const std::string &posixPath) {
  int fd = open(posixPath.c_str(), O_RDWR);
  if (fd < 0)
    return false;
  struct flock probe = {}; // byte 0 from the start (SEEK_SET is 0)
  probe.l_type = F_WRLCK;
  probe.l_len = 1;
  bool held = fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
  close(fd);
  return held;
}

// How many of the messages equal `message`.
inline int countOf(const std::vector<std::string> &messages, const std::string &message) {
  return (int)std::count(messages.begin(), messages.end(), message);
}

enum class Script { ServerThenExit0, Exit0, Exit3, Missing };

// One installation whose service is registered on the stand-in SCM, with
// this process as its host, so the runtime can run inside the test.
struct ServiceBed {
  ScratchDir scratch;
  Installation inst{scratch};
  std::string name = "VelkorTest";
  std::vector<pid_t> servers; // test servers we started, killed at the end

  explicit ServiceBed(double timeScale = 0.01) {
    setTimeScale(timeScale);
    inst.actAsProgram();
    std::string launcher = inst.root + "/lib/winlauncher.exe";
    writeWholeFile(launcher, readWholeFile(fixturePath("winlauncher")));
    chmod(launcher.c_str(), 0755);
    scratch.makeDir("install/bat");
    scratch.makeDir("install/locks");
    script(Script::ServerThenExit0);
  }

  ~ServiceBed() {
    std::string pids = readWholeFile(inst.root + "/bat/server.pid");
    std::istringstream written(pids);
    for (pid_t pid; written >> pid;)
      servers.push_back(pid);
    for (pid_t pid : servers) {
      if (pid <= 0)
        continue;
      std::string cmdline = readWholeFile("/proc/" + std::to_string(pid) + "/cmdline");
      if (cmdline.find("velkor_test_server") != std::string::npos)
        kill(pid, SIGKILL);
      waitpid(pid, nullptr, WNOHANG);
    }
  }

  static void setTimeScale(double scale) {
    standinSetTimeScale(scale);
    setenv("VELKOR_STANDIN_TIME_SCALE", std::to_string(scale).c_str(), 1);
  }

  std::string lockFile() const { return inst.root + "/locks/server.lock"; }
  std::string launcherPath() const { return inst.root + "/lib/winlauncher.exe"; }

  // Writes bat/start-ds.bat as a shell script; it records its arguments in
  // bat/calls. ServerThenExit0 starts the test server in the background and
  // waits until it holds its lock, as a real start script would.
  void script(Script kind) const {
    std::string path = inst.root + "/bat/start-ds.bat";
    if (kind == Script::Missing) {
      unlink(path.c_str());
      return;
    }
    std::string text = "#!/bin/sh\necho \"$@\" >> '" + inst.root + "/bat/calls'\n";
    if (kind == Script::ServerThenExit0) {
      text += "'" + fixturePath("velkor_test_server") + "' '" + inst.rootWin +
              "' >/dev/null 2>&1 &\n";
      text += "echo $! >> '" + inst.root + "/bat/server.pid'\n";
      text += "n=0; while [ ! -f '" + inst.root + "/locks/server.ready' ] && [ $n -lt 400 ]; "
              "do sleep 0.025; n=$((n+1)); done\n";
    }
    text += kind == Script::Exit3 ? "exit 3\n" : "exit 0\n";
    writeWholeFile(path, text);
  }

  std::string scriptCalls() const { return readWholeFile(inst.root + "/bat/calls"); }

  // Makes the stop launcher leave the server running (or, with false, stop it again).
  void launcherIgnoresStop(bool ignore = true) const {
    std::string marker = inst.root + "/lib/winlauncher.ignore";
    if (ignore)
      writeWholeFile(marker, "");
    else
      unlink(marker.c_str());
  }

  // velkor_sc, the client of the stand-in SCM.
  static RunResult sc(const std::vector<std::string> &args) {
    return runProgram(fixturePath("velkor_sc"), args);
  }

  // An event of this instance as eventText shows it.
  std::string event(int type, const char *symbol) const {
    return std::to_string(type) + " " + symbol + " [" + inst.rootWin + "]";
  }

  // Starts the test server on the instance root and waits until it holds its lock.
  pid_t startServer(bool lock = true) {
    std::string server = fixturePath("velkor_test_server");
    std::vector<std::string> args = {server, inst.rootWin};
    if (!lock)
      args.push_back("--no-lock");
    std::vector<char *> argv;
    for (std::string &a : args)
      argv.push_back(&a[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    int error = posix_spawn(&pid, server.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
      ADD_FAILURE() << "the test server " << server << " did not start: " << strerror(error);
      return -1;
    }
    servers.push_back(pid);
    if (!lock)
      waitpid(pid, nullptr, 0);
    else if (!eventually([&] { return lockHeld(lockFile()); }))
      ADD_FAILURE() << "the test server (pid " << pid << ") did not take its lock";
    return pid;
  }

  // Kills a server we started (the lock goes with it) and waits for it; a pid
  // that is not one of them (-1 from a failed start) is refused, never signalled.
  void killServer(pid_t pid) {
    if (pid <= 0 || std::find(servers.begin(), servers.end(), pid) == servers.end()) {
      ADD_FAILURE() << "killServer(" << pid << "): not a test server this bed started";
      return;
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }

  // What a verbose probe writes when it finds the server's lock free or held.
  std::string lockFreeLine() const {
    return "Able to lock '" + inst.rootWin + "\\locks\\server.lock', so the server is not running.";
  }
  std::string lockHeldLine() const {
    return "Unable to lock '" + inst.rootWin + "\\locks\\server.lock', so the server is running.";
  }

  // Runs `trigger`, then `act` on the test's thread while the first thread to
  // try the server's lock (which must exist) after `line` next appears in the
  // log (`times` more times) is held at that try, so `act` lands between the
  // two however loaded the machine is; other threads' tries run on. False
  // when no such try came.
  bool beforeTheProbeAfter(const std::string &line, const std::function<void()> &trigger,
                           const std::function<void()> &act, int times = 1) {
    int before = countOf(log(), line);
    struct stat lock = {};
    stat(lockFile().c_str(), &lock);
    enum { kArmed, kHeld, kReleased };
    auto gate = std::make_shared<std::atomic<int>>(kArmed);
    standinBeforeLockFileEx([this, gate, line, before, lock, times](HANDLE file) {
      struct stat tried = {};
      int armed = kArmed;
      if (gate->load() == kArmed && fstat(standinFileDescriptor(file), &tried) == 0 &&
          tried.st_ino == lock.st_ino && tried.st_dev == lock.st_dev &&
          countOf(log(), line) >= before + times && gate->compare_exchange_strong(armed, kHeld))
        eventually([&] { return gate->load() == kReleased; }, 60000);
    });
    trigger();
    bool held = eventually([&] { return gate->load() == kHeld; }, 60000);
    if (held)
      act();
    gate->store(kReleased);
    standinBeforeLockFileEx(nullptr);
    return held;
  }

  // Makes a server started by the start script die (it polls for the file).
  void killScriptServer() {
    writeWholeFile(inst.root + "/locks/server.die", "");
    eventually([&] { return !lockHeld(lockFile()); });
  }

  // instanceDir and the instance root of this process.
  void resolve() const { ASSERT_EQ(1, initInstanceDir(inst.rootWin.c_str())); }

  std::string cmdToRun() const {
    return "\"" + toWindowsPath(inst.program) + "\" start \"" + inst.rootWin + "\"";
  }

  // Registers the service with this process as its host.
  void registerService(int hostPid = (int)getpid()) const {
    StandinService service;
    service.name = name;
    service.displayName = name;
    service.binaryPath = cmdToRun();
    service.startType = SERVICE_DEMAND_START;
    service.hostPid = hostPid;
    service.status.dwCurrentState = hostPid ? SERVICE_START_PENDING : SERVICE_STOPPED;
    {
      StandinScmLock lock;
      standinScmSave(service);
    }
    setenv("VELKOR_STANDIN_SERVICE", name.c_str(), 1);
  }

  // Registers a handler and publishes the slot, as serviceMain does.
  void registerHandler(LPHANDLER_FUNCTION handler) const {
    resetServiceStatus(); // a new run: no report taken yet
    serviceStatusHandle = RegisterServiceCtrlHandlerA(name.c_str(), handler);
    ASSERT_NE(nullptr, serviceStatusHandle);
    serviceStatusSlot = &serviceStatusHandle;
  }

  std::vector<std::string> statuses() const {
    std::vector<std::string> out;
    for (const SERVICE_STATUS &s : standinScmStatusHistory(name.c_str()))
      out.push_back(statusText(s));
    return out;
  }

  SERVICE_STATUS current() const {
    StandinService service;
    standinScmLoad(name.c_str(), &service);
    return service.status;
  }

  bool waitForState(DWORD state, int ms = 20000) const {
    return eventually([&] { return current().dwCurrentState == state; }, ms);
  }

  std::vector<std::string> events() const {
    std::vector<std::string> out;
    for (const StandinEvent &e : standinReadEvents())
      out.push_back(eventText(e));
    return out;
  }

  // Waits until an event with `symbol` has been written.
  bool waitForEvent(const std::string &symbol, int ms = 20000) const {
    return eventually(
        [&] {
          for (const std::string &e : events())
            if (e.find(" " + symbol) != std::string::npos)
              return true;
          return false;
        },
        ms);
  }

  std::vector<std::string> log() const { return logMessages(inst.logPath()); }

  // Posts a control as the SCM would and waits until the service's
  // dispatcher has answered it: 0 when the handler ran, else the error the
  // SCM refused it with.
  DWORD control(DWORD code) const {
    long seq = standinScmPostControl(name.c_str(), code);
    EXPECT_TRUE(eventually([&] { return standinScmLastAck(name.c_str()) >= seq; }, 60000));
    return standinScmControlResult(name.c_str(), seq);
  }
};

// A test that runs `start` inside the test process: the service with the
// default timings, driven from a second thread.
struct ServiceRun : testing::Test {
  ServiceBed bed;
  std::thread driver;

  void SetUp() override {
    standinClearTimeline();
    unsetenv("VELKOR_WINDOWS_SERVICE_REFRESH_PERIOD");
    unsetenv("VELKOR_WINDOWS_SERVICE_STARTDS_WAIT");
    unsetenv("VELKOR_WINDOWS_SERVICE_START_NTRIES");
    bed.registerService();
  }

  void TearDown() override {
    if (driver.joinable())
      driver.join();
  }

  // How many supervision waits of 5 s serviceMain has made; waits for `n` of them.
  static long passes() {
    std::vector<StandinTimedCall> calls = standinTimeline();
    return std::count_if(calls.begin(), calls.end(), [](const StandinTimedCall &c) {
      return c.call == "WaitForSingleObject" && c.requestedMs == 5000;
    });
  }
  static void waitForPasses(long n) { EXPECT_TRUE(eventually([n] { return passes() >= n; })); }

  // Runs `start` on this thread (the dispatcher's) while `drive` acts on another.
  int runService(const std::function<void()> &drive) {
    driver = std::thread(drive);
    std::string root = bed.inst.rootWin;
    char *argv[] = {const_cast<char *>("velkor_service"), const_cast<char *>("start"), &root[0],
                    nullptr};
    int exitCode = runStart(argv);
    driver.join();
    return exitCode;
  }
};

// What one thread of this process did, in order: its sleeps and waits with
// the lengths asked for ("Sleep 2000", "WaitForSingleObject 5000"), and,
// given the service's reports, each status it reported ("status <text>") and
// each event it wrote ("event <symbol>"). Sleep(0), a yield, is left out.
struct Story {
  std::vector<StandinTimedCall> calls = standinTimeline();
  std::vector<std::string> statuses;
  std::vector<StandinEvent> events;

  Story() = default;
  explicit Story(const ServiceBed &bed) : statuses(bed.statuses()), events(standinReadEvents()) {
    EXPECT_FALSE(standinTimelineOverflowed());
    // Every report and event of the run was made by this process, and none
    // failed, so the n-th call is the n-th record.
    EXPECT_EQ(statuses.size(), count("SetServiceStatus"));
    EXPECT_EQ(events.size(), count("ReportEventA"));
  }

  static std::string symbolOf(const StandinEvent &e) {
    std::string text = eventText(e); // "<type> <symbol> [<string>]..."
    size_t from = text.find(' ') + 1;
    return text.substr(from, text.find(" [") - from);
  }

  size_t count(const std::string &call) const {
    return (size_t)std::count_if(calls.begin(), calls.end(),
                                 [&](const StandinTimedCall &c) { return c.call == call; });
  }

  // The thread that first asked `call` for `ms`; 0 when none did.
  int threadOf(const std::string &call, DWORD ms) const {
    for (const StandinTimedCall &c : calls)
      if (c.call == call && c.requestedMs == ms)
        return c.thread;
    return 0;
  }

  std::vector<std::string> of(int thread) const {
    std::vector<std::string> out;
    size_t status = 0, event = 0;
    for (const StandinTimedCall &c : calls) {
      std::string line;
      if (c.call == "SetServiceStatus" && status < statuses.size())
        line = "status " + statuses[status++];
      else if (c.call == "ReportEventA" && event < events.size())
        line = "event " + symbolOf(events[event++]);
      else if (c.requestedMs != kStandinNoLength && c.requestedMs != 0)
        line = c.call + " " + std::to_string(c.requestedMs);
      if (!line.empty() && c.thread == thread)
        out.push_back(line);
    }
    return out;
  }
};

// Each start-pending and stop-pending report must be followed by the next
// report before its wait hint runs out. Time is what the threads asked for:
// between the two reports, the sleeps and waits of the thread that makes the
// next one (with the one it may have been in already when the first was
// made). Returns one line per lapse.
inline std::vector<std::string> lapsedHints(const Story &story) {
  struct Made {
    size_t at;
    int thread;
    std::string text;
  };
  std::vector<Made> reports;
  for (size_t i = 0, n = 0; i < story.calls.size(); ++i)
    if (story.calls[i].call == "SetServiceStatus" && n < story.statuses.size())
      reports.push_back({i, story.calls[i].thread, story.statuses[n++]});
  auto timed = [](const StandinTimedCall &c) {
    return c.requestedMs != kStandinNoLength && c.requestedMs != INFINITE ? (uint64_t)c.requestedMs
                                                                          : 0;
  };
  std::vector<std::string> lapses;
  for (size_t k = 0; k < reports.size(); ++k) {
    unsigned state = 0, checkPoint = 0, hint = 0;
    int win32 = 0, specific = 0;
    sscanf(reports[k].text.c_str(), "%u %d %d %u %u", &state, &win32, &specific, &checkPoint,
           &hint);
    if (state != SERVICE_START_PENDING && state != SERVICE_STOP_PENDING)
      continue;
    if (k + 1 == reports.size()) {
      lapses.push_back(reports[k].text + ": no report followed");
      continue;
    }
    const Made &next = reports[k + 1];
    uint64_t elapsed = 0;
    for (size_t i = reports[k].at + 1; i < next.at; ++i)
      if (story.calls[i].thread == next.thread)
        elapsed += timed(story.calls[i]);
    for (size_t i = reports[k].at; next.thread != reports[k].thread && i-- > 0;)
      if (story.calls[i].thread == next.thread) {
        elapsed += timed(story.calls[i]);
        break;
      }
    if (elapsed > hint)
      lapses.push_back(reports[k].text + " then " + next.text + " after " +
                       std::to_string(elapsed) + " ms");
  }
  return lapses;
}

inline std::vector<std::string> repeated(const std::string &line, size_t times) {
  return std::vector<std::string>(times, line);
}

inline std::vector<std::string> joined(std::vector<std::string> a,
                                       const std::vector<std::string> &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
