// Bad input, run as the program itself on a scratch machine: arguments with
// the characters shells and format strings care about, over-long arguments,
// and an installation that goes away. (Broken instance.loc files and lock
// files the probe cannot use are checked in process, by the instance-path
// and lock-probe tests.) Every run must end by returning its exit code
// with the answer or refusal the program gives, leave no stand-in handle
// open, and change nothing but the installation, the debug log and, for
// create and remove, the service database and the event-log source key.
#include "support.h"

#include <atomic>
#include <ftw.h>
#include <map>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {
// ---- What a run may change ------------------------------------------------

// path -> "d" for a directory, else the file's content.
using Snapshot = std::map<std::string, std::string>;
Snapshot *walking = nullptr;
std::string walkBase;

int recordEntry(const char *path, const struct stat *info, int type, struct FTW *) {
  std::string rel = std::string(path).substr(walkBase.size());
  (*walking)[rel] = type == FTW_D ? std::string("d")
                    : S_ISREG(info->st_mode) ? readWholeFile(path)
                                             : std::string("?");
  return 0;
}

Snapshot snapshot(const std::string &base) {
  Snapshot result;
  walking = &result;
  walkBase = base;
  nftw(base.c_str(), recordEntry, 16, FTW_PHYS);
  walking = nullptr;
  return result;
}

// Paths below `base` added, removed or changed between two snapshots.
std::vector<std::string> changes(const Snapshot &before, const Snapshot &after) {
  std::vector<std::string> changed;
  for (const auto &entry : after) {
    auto found = before.find(entry.first);
    if (found == before.end() || found->second != entry.second)
      changed.push_back(entry.first);
  }
  for (const auto &entry : before)
    if (!after.count(entry.first))
      changed.push_back(entry.first);
  return changed;
}

class BadInput : public testing::Test {
protected:
  ScratchDir scratch;
  Installation install{scratch};
  std::string machine = standinRoot();
  std::string handleReport = scratch.path("handles");

  void SetUp() override { scratch.makeDir("tmp"); }

  // Runs the program of `from` (default: the installation) with its temp
  // directory in the scratch tree, a handle report, and sanitizer reports
  // turned into an exit code no subcommand uses.
  RunResult run(const std::vector<std::string> &args, const Installation *from = nullptr,
                const std::vector<std::string> &more = {}) {
    std::vector<std::string> environment = {
        "TMPDIR=" + scratch.path("tmp"), "VELKOR_STANDIN_HANDLE_REPORT=" + handleReport,
        "ASAN_OPTIONS=detect_leaks=1:exitcode=86",
        "UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:exitcode=86"};
    environment.insert(environment.end(), more.begin(), more.end());
    return runProgram((from ? from : &install)->program, args, environment);
  }

  // Paths changed in the scratch tree and on the stand-in machine since the
  // snapshots, other than the installation and the service data `allowed`
  // names (prefixes relative to the machine root).
  std::vector<std::string> strayWrites(const Snapshot &scratchBefore, const Snapshot &machineBefore,
                                       const std::vector<std::string> &allowed = {}) {
    std::vector<std::string> stray;
    for (const std::string &path : changes(scratchBefore, snapshot(scratch.path())))
      if (!startsWith(path, "/install/") && path != "/handles")
        stray.push_back("scratch" + path);
    for (const std::string &path : changes(machineBefore, snapshot(machine))) {
      bool ok = false;
      for (const std::string &prefix : allowed)
        ok = ok || startsWith(path, prefix);
      if (!ok)
        stray.push_back("machine" + path);
    }
    return stray;
  }

  void expectNoHandleLeft() {
    EXPECT_EQ(readWholeFile(handleReport), "") << "handles left open at process end";
  }
};

// The service database and the event-log source key; the event log too.
const std::vector<std::string> kServiceData = {
    "/scm", "/eventlog",
    "/registry/hklm/system/currentcontrolset/services/eventlog/application/"};

std::vector<std::string> oddArguments() {
  return {"say \"hi\" \"",     "%PATH%%s%n%d",     "a^b^^",  "x & del y && exit 3",
          "two  words ",       "caf\xe9 \x80\xff\x7f", std::string(10000, 'q'),
          "\"" + std::string(300, '\\') + "\""};
}

TEST_F(BadInput, OddArgumentsAreRefusedWithTheirTextUnchanged) {
  run({"state", install.rootWin}); // settles the machine's directories
  Snapshot scratchBefore = snapshot(scratch.path());
  Snapshot machineBefore = snapshot(machine);
  for (const std::string &odd : oddArguments()) {
    SCOPED_TRACE(odd.substr(0, 40));
    EXPECT_EQ(run({odd, odd}), (RunResult{255, "Unknown subcommand: [" + odd + "]\n"}));
    for (const char *subcommand : {"create", "state", "remove", "start", "isrunning"})
      EXPECT_EQ(run({subcommand, odd, odd, odd}),
                (RunResult{255, "The instance dir '" + odd + "' is not valid.\n"}))
          << subcommand;
    EXPECT_EQ(run({"cleanup", odd}), (RunResult{1, ""})) << "no such service";

    std::vector<std::string> log = logMessages(install.logPath());
    EXPECT_TRUE(logHas(log, "  argv[1] = '" + odd + "'")) << "traced as given, whatever its length";
    EXPECT_TRUE(logHas(log, "Removing service with name " + odd + "."));
  }
  expectNoHandleLeft();
  EXPECT_EQ(strayWrites(scratchBefore, machineBefore), std::vector<std::string>{});
}

TEST_F(BadInput, OddServiceNamesAndDescriptionsAreRegisteredAndRemoved) {
  // Registers and removes one service first, so the machine has the keys
  // every registration shares.
  ASSERT_EQ(run({"create", install.rootWin, "velkor", "d"}).exitCode, 0);
  ASSERT_EQ(run({"remove", install.rootWin}).exitCode, 0);
  Snapshot scratchBefore = snapshot(scratch.path());
  Snapshot machineBefore = snapshot(machine);
  for (const std::string &odd : oddArguments()) {
    SCOPED_TRACE(odd.substr(0, 40));
    // A backslash is not allowed in a service name: the SCM refuses it.
    bool refused = odd.find('\\') != std::string::npos;
    EXPECT_EQ(run({"create", install.rootWin, odd, odd}), (RunResult{refused ? 3 : 0, ""}));
    if (refused) {
      EXPECT_EQ(run({"state", install.rootWin}).exitCode, 1);
      continue;
    }
    // A name longer than a service name may be is cut to 255 characters.
    EXPECT_EQ(run({"state", install.rootWin}), (RunResult{0, odd.substr(0, 255)}));
    if (odd.size() > 255) { // the event-log source of the cut name
      EXPECT_TRUE(snapshot(machine).count(
          "/registry/hklm/system/currentcontrolset/services/eventlog/application/" + odd.substr(0, 255)));
    }
    EXPECT_EQ(run({"remove", install.rootWin}).exitCode, 0);
    EXPECT_EQ(run({"state", install.rootWin}).exitCode, 1);
  }
  expectNoHandleLeft();
  EXPECT_EQ(strayWrites(scratchBefore, machineBefore, kServiceData), std::vector<std::string>{});
  EXPECT_TRUE(changes(machineBefore, snapshot(machine)).empty()) << "removal left service data";
}

// Odd characters, and double-byte ones whose trail byte is 0x5C, the
// backslash (code page 932: 表 95 5C, ソ 83 5C).
TEST_F(BadInput, AnInstallationWhosePathHasOddCharactersWorksThroughout) {
  for (const auto &path : std::vector<std::pair<std::string, std::string>>{
           {"install/caf\xe9 %x ^& 'y' (2)", "1252"},
           {"install/\x95\x5C", "932"},
           {"install/\x95\x5C\x83\x5C", "932"}}) {
    SCOPED_TRACE(path.first);
    const std::vector<std::string> codePage = {"VELKOR_STANDIN_ACP=" + path.second};
    Installation odd(scratch, path.first);
    odd.actAsProgram();
    EXPECT_EQ(run({"create", odd.rootWin, "velkor odd", "d"}, &odd, codePage).exitCode, 0);
    EXPECT_EQ(run({"state", odd.rootWin}, &odd, codePage), (RunResult{0, "velkor odd"}));
    std::vector<std::string> log = logMessages(odd.logPath());
    EXPECT_TRUE(logHas(log, "Created the service bin path. code=0.  cmdToRun='\"" +
                                toWindowsPath(odd.program) + "\" start \"" + odd.rootWin + "\"'."));

    scratch.makeDir(path.first + "/locks");
    scratch.writeFile(path.first + "/locks/server.lock", "");
    EXPECT_EQ(run({"isrunning", odd.rootWin}, &odd, codePage), (RunResult{1, "false\n"}));
    EXPECT_TRUE(logHas(logMessages(odd.logPath()),
                       "When determining whether the server is running, the lock file name is '" +
                           odd.rootWin + "\\locks\\server.lock'."));
    EXPECT_EQ(run({"remove", odd.rootWin}, &odd, codePage).exitCode, 0);
    EXPECT_EQ(run({"state", odd.rootWin}, &odd, codePage).exitCode, 1);
  }
  expectNoHandleLeft();
}

// Directories a service could never start from are refused before anything
// is registered; a drive that a service may not see is only warned about.
TEST_F(BadInput, CreateRefusesSpellingsThatCanNeverStartAndWarnsOfSessionDrives) {
  scratch.makeDir("install/a %x% b");
  run({"state", install.rootWin});
  Snapshot machineBefore = snapshot(machine);
  const std::string pct = install.rootWin + "\\a %x% b";
  for (const auto &refused : std::vector<std::pair<std::string, std::string>>{
           {"\\\\?\\" + install.rootWin, "has a '\\\\?\\' or '\\\\.\\' prefix"},
           {"//./" + install.rootWin, "has a '\\\\?\\' or '\\\\.\\' prefix"},
           {"Z:tmp", "is drive-relative: it would depend on the current directory of drive Z:"},
           {"D:", "is drive-relative: it would depend on the current directory of drive D:"},
           {pct, "contains '%x%', which the Service Control Manager would expand"}}) {
    RunResult created = run({"create", refused.first, "velkor", "d"}, nullptr, {"x=defined"});
    EXPECT_EQ(created.exitCode, 255) << refused.first;
    EXPECT_EQ(created.out.find("The directory '" + refused.first + "' " + refused.second), 0u)
        << created.out;
  }
  EXPECT_TRUE(changes(machineBefore, snapshot(machine)).empty()) << "nothing registered";

  for (const auto &drive : std::vector<std::pair<std::string, std::string>>{
           {"remote", "Warning: 'D:\\' is on the network drive D:, which a service running as "
                      "LocalSystem does not see; register the installation by its UNC path"},
           {"subst", "Warning: 'D:\\' is on the subst drive D: (" + install.rootWin + ")"},
           {"", ""}}) {
    std::vector<std::string> mapped = {"VELKOR_STANDIN_DRIVE_D=" + install.root,
                                       "VELKOR_STANDIN_DRIVE_D_KIND=" + drive.first};
    RunResult created = run({"create", "D:\\", "velkor", "d"}, nullptr, mapped);
    EXPECT_EQ(created.exitCode, 0) << drive.first;
    EXPECT_EQ(created.out.substr(0, drive.second.size()), drive.second);
    EXPECT_EQ(created.out.empty(), drive.first.empty()) << created.out;
    EXPECT_EQ(run({"remove", "D:\\"}, nullptr, mapped).exitCode, 0);
  }
  expectNoHandleLeft();
}

// ---- An installation that goes away ---------------------------------------------

TEST_F(BadInput, AnInstallationRemovedBetweenRunsIsRefusedAndItsServiceCanBeCleanedUp) {
  Installation victim(scratch, "install/victim");
  ASSERT_EQ(run({"create", victim.rootWin, "velkor gone", "d"}).exitCode, 0);
  ASSERT_EQ(system(("rm -rf '" + victim.root + "'").c_str()), 0);
  EXPECT_EQ(run({"state", victim.rootWin}),
            (RunResult{255, "The instance dir '" + victim.rootWin + "' is not valid.\n"}));
  EXPECT_EQ(run({"cleanup", "velkor gone"}).exitCode, 0);
  EXPECT_EQ(run({"cleanup", "velkor gone"}).exitCode, 1);

  // The program's own logs directory gone: the log moves to the temp directory.
  ASSERT_EQ(system(("rm -rf '" + install.root + "/logs'").c_str()), 0);
  EXPECT_EQ(run({"state", install.rootWin}).exitCode, 1);
  EXPECT_TRUE(logHas(logMessages(scratch.path("tmp/logs/native-windows.out")), "main returning 1."));
  expectNoHandleLeft();
}

TEST_F(BadInput, AnInstallationRemovedDuringRunsNeverCrashesOrHangsAProbe) {
  const std::string victimRoot = scratch.path("install/victim");
  const std::string victimWin = scratch.win("install/victim");
  const std::string gone = "The instance dir '" + victimWin + "' is not valid.\n";
  const std::string noAnswer = "Could not determine if the server is running.\n";
  std::atomic<bool> done{false};
  // Removes the victim's instance files and puts them back, over and over,
  // while the program probes it.
  std::thread churn([&] {
    while (!done) {
      scratch.makeDir("install/victim/locks");
      scratch.writeFile("install/victim/locks/server.lock", "");
      scratch.writeFile("install/victim/instance.loc", ".\n");
      usleep(2000);
      unlink(scratch.path("install/victim/locks/server.lock").c_str());
      rmdir(scratch.path("install/victim/locks").c_str());
      unlink(scratch.path("install/victim/instance.loc").c_str());
      rmdir(victimRoot.c_str());
      usleep(1000);
    }
  });
  std::map<int, int> seen;
  for (int i = 0; i < 40; ++i) {
    RunResult probe = run({"isrunning", victimWin});
    ++seen[probe.exitCode];
    if (probe.exitCode == 255)
      EXPECT_EQ(probe.out, gone);
    else if (probe.exitCode == 2)
      EXPECT_EQ(probe.out, noAnswer);
    else
      EXPECT_EQ(probe.out, probe.exitCode == 1 ? "false\n" : "<exit code " + std::to_string(probe.exitCode) + ">");
  }
  done = true;
  churn.join();
  expectNoHandleLeft();
  std::string summary;
  for (const auto &entry : seen)
    summary += " exit " + std::to_string(entry.first) + " x" + std::to_string(entry.second);
  printf("outcomes while the installation came and went:%s\n", summary.c_str());
}
} // namespace
