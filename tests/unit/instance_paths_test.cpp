// The installation directory and the instance root: canonicalisation and
// its refusals, the first line of instance.loc, the length limits, the
// probing and warning event while a named root is missing, and the race of
// two first calls.
#include "instance/instance_paths.h"
#include "instance/lock_probe.h"

#include "diag/event_log.h"
#include "instance_support.h"
#include "platform/posix/standin_eventlog.h"

#include <thread>

namespace {
class InstancePaths : public InstallationTest {
protected:
  void TearDown() override {
    unsetenv("VELKOR_STANDIN_DRIVE_D");
    freeInstancePaths();
    if (eventSource)
      DeregisterEventSource(eventSource);
    eventSource = nullptr;
    InstallationTest::TearDown();
  }
  // resolveDirectory's answer as a string, releasing it.
  static std::string resolved(const std::string &path) {
    char *result = resolveDirectory(path.c_str());
    std::string text = result ? result : "<null>";
    free(result);
    return text;
  }
  static std::string warningText(const std::string &dirWin) {
    return "Could not resolve the Velkor instance root from '" + dirWin +
           "\\instance.loc'; probing the install root '" + dirWin +
           "' until the instance root becomes available.";
  }
};

TEST_F(InstancePaths, ResolveDirectoryRefusalsNameTheirReason) {
  scratch.writeFile("install/file.txt", "x");
  EXPECT_EQ(resolved("C:"), "<null>");
  EXPECT_EQ(resolved("C:x"), "<null>");
  EXPECT_EQ(resolved(install.rootWin + "\\lib\\..\\file.txt"), "<null>");
  failNextCall("GetFullPathNameA", ERROR_ACCESS_DENIED);
  EXPECT_EQ(resolved("Z:\\tmp"), "<null>");
  EXPECT_EQ(resolveDirectory(nullptr), nullptr);
  std::vector<std::string> messages = log();
  ASSERT_EQ(messages.size(), 5u) << "banner and four error lines: a null path is refused silently";
  EXPECT_EQ(messages[1], "ERROR:  The path 'C:' is drive-relative.");
  EXPECT_EQ(messages[2], "ERROR:  The path 'C:\\x' is not an existing directory."); // only "C:" is
  EXPECT_EQ(messages[3], "ERROR:  The path '" + install.rootWin + "\\file.txt' is not an existing directory.")
      << "the resolved form is named, not the argument";
  EXPECT_EQ(messages[4], "ERROR:  Could not resolve the path 'Z:\\tmp'.  Last error = 5.");
}

TEST_F(InstancePaths, EverySpellingOfADirectoryResolvesToOneString) {
  EXPECT_EQ(resolved(install.rootWin + "\\lib\\..\\.\\logs"), install.rootWin + "\\logs");
  std::string forward = install.rootWin + "/lib";
  for (char &c : forward)
    if (c == '\\')
      c = '/';
  EXPECT_EQ(resolved(forward), install.rootWin + "\\lib");
  for (const std::string &spelling : {install.rootWin + "\\", install.rootWin + "\\\\",
                                      install.rootWin + "/", install.rootWin + "\\lib\\..\\"})
    EXPECT_EQ(resolved(spelling), install.rootWin) << "no separator after a name: " << spelling;
  for (const char *spelling : {"Z:\\", "Z:/", "z:\\\\", "\\"})
    EXPECT_EQ(resolved(spelling), spelling[0] == 'z' ? "z:\\" : "Z:\\") << "a root keeps its one";

  // The forms that exist only on Windows, settled as resolveDirectory does.
  const std::vector<std::pair<std::string, std::string>> ends = {
      {"D:\\", "D:\\"},
      {"D:\\srv\\\\", "D:\\srv"},
      {"\\\\server\\share", "\\\\server\\share\\"},
      {"\\\\server\\share\\\\", "\\\\server\\share\\"},
      {"\\\\server\\share\\inst\\", "\\\\server\\share\\inst"},
      {"\\\\?\\D:\\", "\\\\?\\D:\\"},
      {"\\\\?\\D:\\srv\\", "\\\\?\\D:\\srv"},
      {"\\\\?\\unc\\server\\share", "\\\\?\\unc\\server\\share\\"},
  };
  const std::vector<std::pair<std::string, std::string>> ends932 = {
      {"D:\\\x95\x5C", "D:\\\x95\x5C"},
      {"D:\\\x95\x5C\\", "D:\\\x95\x5C"},
      {"\\\\s\x83\x5C\\sh\x95\x5C", "\\\\s\x83\x5C\\sh\x95\x5C\\"},
      {"\\\\s\\\x83\x5C\\", "\\\\s\\\x83\x5C\\"},
  };
  for (const auto &end : ends) {
    char path[64];
    strcpy(path, end.first.c_str());
    EXPECT_TRUE(settleDirectoryEnd(path, sizeof path));
    EXPECT_EQ(std::string(path), end.second) << "from " << end.first;
  }
  // Code page 932: the trail byte 0x5C of 表 (95 5C) and ソ (83 5C) is no
  // separator; the same bytes in code page 1252 end in one.
  standinSetAnsiCodePage(932);
  for (const auto &end : ends932) {
    char path[64];
    strcpy(path, end.first.c_str());
    EXPECT_TRUE(settleDirectoryEnd(path, sizeof path));
    EXPECT_EQ(std::string(path), end.second) << "from " << end.first;
  }
  EXPECT_STREQ(separatorAfter("D:\\\x95\x5C"), "\\");
  standinSetAnsiCodePage(1252);
  EXPECT_STREQ(separatorAfter("D:\\\x95\x5C"), "");
  standinSetAnsiCodePage(0);
  char full[15] = "\\\\server\\share"; // no room for the root's separator
  EXPECT_FALSE(settleDirectoryEnd(full, sizeof full));
  EXPECT_STREQ(separatorAfter("D:\\"), "");
  EXPECT_STREQ(separatorAfter("\\\\server\\share\\"), "");
  EXPECT_STREQ(separatorAfter("D:\\srv"), "\\");
  EXPECT_TRUE(log().empty()) << "resolving writes nothing";
}

TEST_F(InstancePaths, AnInstallationAtADriveRootNamesItsFilesWithOneSeparator) {
  scratch.makeDir("drive/inst/locks");
  scratch.writeFile("drive/inst/locks/server.lock", "");
  scratch.writeFile("drive/instance.loc", "inst\r\n");
  setenv("VELKOR_STANDIN_DRIVE_D", scratch.path("drive").c_str(), 1);
  ASSERT_EQ(initInstanceDir("d:/"), 1);
  EXPECT_STREQ(instanceDir, "d:\\");
  EXPECT_STREQ(getInstanceRoot(), "d:\\inst");
  EXPECT_TRUE(logHas(log(), "Instance root resolved from 'd:\\instance.loc': 'd:\\inst'."));
  freeInstancePaths();

  scratch.writeFile("drive/instance.loc", "missing\r\n");
  ASSERT_EQ(initInstanceDir("D:\\"), 1);
  EXPECT_TRUE(logHas(log(), "ERROR:  Could not resolve the instance root 'D:\\missing' read from "
                            "'D:\\instance.loc'."));
  freeInstancePaths();

  // The instance root at the root of the drive: the lock file right under it.
  scratch.makeDir("drive/locks");
  scratch.writeFile("drive/locks/server.lock", "");
  writeWholeFile(install.root + "/instance.loc", "D:\\\r\n");
  ASSERT_EQ(initInstanceDir(install.rootWin.c_str()), 1);
  EXPECT_STREQ(getInstanceRoot(), "D:\\");
  int32_t running = -1;
  EXPECT_EQ(isServerRunning(&running, 1), 0);
  EXPECT_EQ(running, 0);
  EXPECT_TRUE(logHas(log(), "When determining whether the server is running, the lock file name "
                            "is 'D:\\locks\\server.lock'."));
}

TEST_F(InstancePaths, ResolvedFormsOf259CharactersPassAnd260AreTooLong) {
  std::string ok = scratch.win(makeDirOfWindowsLength(scratch, 259, "a"));
  std::string tooLong = scratch.win(makeDirOfWindowsLength(scratch, 260, "b"));
  EXPECT_EQ(resolved(ok), ok);
  EXPECT_EQ(resolved(tooLong + "\\x\\.."), "<null>");
  EXPECT_TRUE(logHas(log(), "ERROR:  The resolved form of the path '" + tooLong +
                                "\\x\\..' is too long (261 chars)."));
}

TEST_F(InstancePaths, InvalidInstanceDirIsReportedWithTheArgumentUnchanged) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(initInstanceDir("Z:\\no/such\\dir"), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "The instance dir 'Z:\\no/such\\dir' is not valid.\n");
  EXPECT_EQ(instanceDir, nullptr);
  EXPECT_EQ(instanceRoot.load(), nullptr);
}

// The root instance.loc's first line names, whatever the file holds. A
// root that resolves is cached; no usable first line makes instanceDir the
// root, the very same string, cached without an error; a first line that
// does not resolve is an error and leaves the root uncached.
TEST_F(InstancePaths, FirstLineOfInstanceLocNamesTheRoot) {
  scratch.makeDir("inst");
  scratch.makeDir("install/inst");
  scratch.makeDir("abs");
  const std::string sibling = scratch.win("inst"), inner = install.rootWin + "\\inst";
  enum Kind { resolvedRoot, noLine, unresolved };
  struct Row {
    const char *what;
    std::string content; // no file when "-"
    Kind kind;
    std::string root;
  };
  const std::vector<Row> rows = {
      {"relative", "..\\inst\r\nsecond line\r\n", resolvedRoot, sibling},
      {"absolute, blanks trimmed", scratch.win("abs") + " \t \t\r\n", resolvedRoot, scratch.win("abs")},
      {"a single backslash is relative, no line end", "\\inst", resolvedRoot, inner},
      {"so is a forward slash", "/inst\n", resolvedRoot, inner},
      {"drive-relative: from its drive's root", "Z:" + scratch.win("abs").substr(3) + "\n",
       resolvedRoot, scratch.win("abs")},
      {"the first 259 characters only", "..\\inst" + std::string(252, ' ') + "garbage\r\n",
       resolvedRoot, sibling},
      {"a NUL ends the line", std::string("inst\0\\..\\..\\etc\n", 16), resolvedRoot, inner},
      {"no file", "-", noLine, ""},
      {"empty", "", noLine, ""},
      {"blank first line", " \t \r\n..\\inst\r\n", noLine, ""},
      {"Ctrl-Z ends the text", "\x1a..\\inst\r\n", noLine, ""},
      {"only a NUL", std::string("\0\n", 2), noLine, ""},
      {"binary bytes", std::string("\x01\x02\xfe\xff\x1a\x7f\x80\r\x1b[2J\n", 12) + "inst\n",
       unresolved, ""},
      {"100000-character line", std::string(100000, 'a') + "\ninst\n", unresolved, ""},
      {"1000 characters, no line end", std::string(1000, '\xff'), unresolved, ""},
      {"CR only line ends", "inst\r\rother\r", unresolved, ""},
      {"a network root, unreachable here", "\\\\server\\share\\inst\r\n", unresolved, ""},
  };
  const std::string loc = install.root + "/instance.loc";
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    freeInstancePaths();
    unlink(loc.c_str());
    if (row.content != "-")
      writeWholeFile(loc, row.content);
    size_t errors = countErrorLines(log());
    ASSERT_EQ(initInstanceDir(install.rootWin.c_str()), 1);
    std::string root = getInstanceRoot();
    EXPECT_EQ(root, row.kind == resolvedRoot ? row.root : install.rootWin);
    if (row.kind == noLine) {
      EXPECT_EQ(instanceRoot.load(), instanceDir) << "the very same string, cached";
    } else if (row.kind == unresolved) {
      EXPECT_EQ(instanceRoot.load(), nullptr) << "a root that cannot be resolved is not cached";
    }
    EXPECT_EQ(countErrorLines(log()) > errors, row.kind == unresolved);
  }
  EXPECT_TRUE(logHas(log(), "Instance root resolved from '" + install.rootWin +
                                "\\instance.loc': '" + sibling + "'."));
  EXPECT_TRUE(logHas(log(), "Warning: the instance root 'Z:" + scratch.win("abs").substr(3) +
                                "' read from '" + install.rootWin + "\\instance.loc' is drive-relative; "
                                "it is taken from the root of its drive: '" + scratch.win("abs") + "'."));
  EXPECT_TRUE(logHas(log(), "ERROR:  Could not resolve the instance root '\\\\server\\share\\inst' read from '" +
                                install.rootWin + "\\instance.loc'."));
}

// instance.loc is read only below an instanceDir of at most 245 characters
// that is safe (no ".."); otherwise instanceDir is its own root.
TEST_F(InstancePaths, InstanceDirOf245CharactersReadsInstanceLocAnd246OrUnsafeDoNot) {
  for (size_t length : {245u, 246u}) {
    std::string sub = makeDirOfWindowsLength(scratch, length, "len" + std::to_string(length));
    scratch.makeDir(sub + "/r");
    scratch.writeFile(sub + "/instance.loc", "r\r\n");
    ASSERT_EQ(initInstanceDir(scratch.win(sub).c_str()), 1);
    ASSERT_EQ(strlen(instanceDir), length);
    if (length == 245)
      EXPECT_EQ(std::string(getInstanceRoot()), scratch.win(sub + "/r"));
    else
      EXPECT_EQ(getInstanceRoot(), instanceDir);
    freeInstancePaths();
  }
  scratch.makeDir("a..b/r");
  scratch.writeFile("a..b/instance.loc", "r\r\n");
  ASSERT_EQ(initInstanceDir(scratch.win("a..b").c_str()), 1);
  EXPECT_EQ(getInstanceRoot(), instanceDir);
}

TEST_F(InstancePaths, MissingRootIsProbedOnEveryCallUntilItExistsThenCachedForGood) {
  writeWholeFile(install.root + "/instance.loc", "..\\later\r\n");
  ASSERT_EQ(initInstanceDir(install.rootWin.c_str()), 1); // the first call
  const std::string candidate = install.rootWin + "\\..\\later";
  const std::string later = scratch.win("later");
  for (int call = 2; call <= 3; ++call) {
    EXPECT_EQ(getInstanceRoot(), instanceDir);
    EXPECT_EQ(instanceRoot.load(), nullptr);
  }
  std::vector<std::string> messages = log();
  EXPECT_EQ(countErrorLines(messages), 6u) << "two error lines per call";
  EXPECT_TRUE(logHas(messages, "ERROR:  The path '" + later + "' is not an existing directory."));
  EXPECT_TRUE(logHas(messages, "ERROR:  Could not resolve the instance root '" + candidate +
                                   "' read from '" + install.rootWin + "\\instance.loc'."));

  scratch.makeDir("later");
  char *root = getInstanceRoot();
  EXPECT_EQ(std::string(root), later);
  int opens = standinCallCount("_sopen");
  unlink((install.root + "/instance.loc").c_str());
  EXPECT_EQ(getInstanceRoot(), root);
  EXPECT_EQ(standinCallCount("_sopen"), opens) << "instance.loc is not read again";
  EXPECT_EQ(countErrorLines(log()), 6u);
}

// The warning event sent while the root named by instance.loc cannot be
// resolved: once per process, its text cut at 519 characters. A report that
// failed (no event source yet) leaves the flag clear for a later call.
TEST_F(InstancePaths, MissingRootIsWarnedOfOnceAndAFailedReportIsMadeLater) {
  writeWholeFile(install.root + "/instance.loc", "..\\missing\r\n");
  ASSERT_EQ(initInstanceDir(install.rootWin.c_str()), 1);
  getInstanceRoot();
  EXPECT_EQ(instanceRootWarned.load(), 0);
  EXPECT_GE(standinCallCount("ReportEventA"), 2) << "each call tried";
  EXPECT_TRUE(standinReadEvents().empty());
  eventSource = RegisterEventSourceA(nullptr, "VelkorTest");
  ASSERT_NE(eventSource, nullptr);
  getInstanceRoot();
  getInstanceRoot();
  std::vector<StandinEvent> events = standinReadEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].source, "VelkorTest");
  EXPECT_EQ(events[0].type, EVENTLOG_WARNING_TYPE);
  EXPECT_EQ(events[0].category, EVENT_CATEGORY);
  EXPECT_EQ(events[0].eventId, (DWORD)MSG_GENERIC);
  EXPECT_TRUE(events[0].userSidNull);
  EXPECT_EQ(events[0].strings, std::vector<std::string>{warningText(install.rootWin)});
  EXPECT_EQ(events[0].rawDataSize, 0u);
  EXPECT_EQ(instanceRootWarned.load(), 1);
}

TEST_F(InstancePaths, WarningTextIsCutAt519Characters) {
  std::string sub = makeDirOfWindowsLength(scratch, 245, "long");
  scratch.writeFile(sub + "/instance.loc", "..\\missing\r\n");
  eventSource = RegisterEventSourceA(nullptr, "VelkorTest");
  ASSERT_EQ(initInstanceDir(scratch.win(sub).c_str()), 1); // the first call reports
  std::vector<StandinEvent> events = standinReadEvents();
  ASSERT_EQ(events.size(), 1u);
  ASSERT_EQ(events[0].strings.size(), 1u);
  EXPECT_EQ(events[0].strings[0], warningText(scratch.win(sub)).substr(0, 519));
}

TEST_F(InstancePaths, CandidateRootFromTheFirstLineAndSafePaths) {
  EXPECT_TRUE(isSafePath("Z:\\a.b\\c."));
  EXPECT_FALSE(isSafePath(nullptr));
  EXPECT_FALSE(isSafePath("Z:\\a..b"));
  EXPECT_FALSE(isSafePath("..\\x"));
  char line[64];
  strcpy(line, "D:\\srv\\inst \t\r\n\r\n");
  EXPECT_EQ(trimRootLine(line), 11u);
  EXPECT_STREQ(line, "D:\\srv\\inst");
  strcpy(line, " x ");
  EXPECT_EQ(trimRootLine(line), 2u) << "leading blanks stay";
  EXPECT_TRUE(isAbsoluteRootLine("D:"));
  EXPECT_TRUE(isAbsoluteRootLine("\\\\s"));
  EXPECT_FALSE(isAbsoluteRootLine("\\x"));
  EXPECT_FALSE(isAbsoluteRootLine("/x"));
  EXPECT_FALSE(isAbsoluteRootLine("D"));
  char candidate[520];
  buildCandidateRoot("Z:\\i", "\\x", candidate, sizeof candidate);
  EXPECT_STREQ(candidate, "Z:\\i\\\\x");
  buildCandidateRoot("Z:\\i", "D:x", candidate, sizeof candidate);
  EXPECT_STREQ(candidate, "D:x");
  buildCandidateRoot("D:\\", "x", candidate, sizeof candidate);
  EXPECT_STREQ(candidate, "D:\\x") << "a root brings its own separator";
}

TEST_F(InstancePaths, TwoFirstCallsTogetherShareOneRootCopy) {
  scratch.makeDir("inst");
  writeWholeFile(install.root + "/instance.loc", "..\\inst\r\n");
  // Many rounds so that the two calls really overlap; a copy that is lost or
  // freed twice shows up under the sanitizers.
  for (int round = 0; round < 50; ++round) {
    instanceDir = resolveDirectory(install.rootWin.c_str());
    ASSERT_NE(instanceDir, nullptr);
    std::atomic<int> ready{0};
    char *seen[2] = {nullptr, nullptr};
    auto call = [&](int i) {
      ready.fetch_add(1);
      while (ready.load() < 2) {
      }
      seen[i] = getInstanceRoot();
    };
    std::thread first(call, 0), second(call, 1);
    first.join();
    second.join();
    ASSERT_EQ(seen[0], seen[1]);
    ASSERT_EQ(seen[0], instanceRoot.load());
    ASSERT_EQ(std::string(seen[0]), scratch.win("inst"));
    freeInstancePaths();
  }
}
} // namespace
