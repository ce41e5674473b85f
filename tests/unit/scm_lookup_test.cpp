// Finding the instance's service by its command line: building cmdToRun, the
// two-pass listing, the comparison rules, unreadable services, and names
// asked about by the name search.
#include "scm/service_lookup.h"
#include "scm_fixture.h"

namespace {
class LookupTest : public ScmTest {
protected:
  RunResult run(const std::vector<std::string> &args) { return runProgram(install.program, args); }
  int lookup(std::string *name) {
    char out[kServiceNameSize];
    memset(out, 'x', sizeof out);
    int result = getServiceName(cmdToRun().c_str(), out);
    *name = out;
    return result;
  }
};

std::string captureStdout(int (*body)(char *), char *argument, int *result) {
  testing::internal::CaptureStdout();
  *result = body(argument);
  fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

TEST_F(LookupTest, BinPathIsBuiltWholeOrRefusedNeverCut) {
  char out[kCmdToRunSize];
  int result = -1;
  EXPECT_EQ(captureStdout(createServiceBinPath, out, &result), "");
  EXPECT_EQ(result, 0);
  EXPECT_EQ(std::string(out), cmdToRun());

  // Each path is quoted so that Windows' argument rules give it back: the
  // backslashes before a closing quote are doubled, a quote in it escaped.
  const std::string program = "\"" + toWindowsPath(install.program) + "\" start ";
  const std::vector<std::pair<std::string, std::string>> quoted = {
      {"D:\\", "\"D:\\\\\""},
      {"\\\\server\\share\\", "\"\\\\server\\share\\\\\""},
      {"D:\\a\\\\b\\\\\\", "\"D:\\a\\\\b\\\\\\\\\\\\\""},
      {"Z:\\a\\\"b", "\"Z:\\a\\\\\\\"b\""},
  };
  for (const auto &dir : quoted) {
    free(instanceDir);
    instanceDir = strdup(dir.first.c_str());
    ASSERT_EQ(createServiceBinPath(out), 0);
    EXPECT_EQ(std::string(out), program + dir.second) << dir.first;
  }

  // The module path: 259 characters fit, 260 fill the buffer and are refused.
  std::string path259 = "Z:\\" + std::string(250, 'p') + "\\a.exe";
  ASSERT_EQ(path259.size(), 259u);
  standinSetModuleFileName(path259.c_str());
  free(instanceDir);
  instanceDir = strdup("Z:\\i");
  EXPECT_EQ(createServiceBinPath(out), 0);
  EXPECT_EQ(std::string(out), "\"" + path259 + "\" start \"Z:\\i\"");
  standinSetModuleFileName((path259 + "e").c_str());
  memset(out, 'u', sizeof out);
  EXPECT_EQ(createServiceBinPath(out), 1);
  EXPECT_EQ(out[0], 'u') << "a refused line leaves the buffer unwritten";
  EXPECT_EQ(lastLine(), "The name of the module file is too long.");

  failAfresh("GetModuleFileNameA", ERROR_ACCESS_DENIED);
  EXPECT_EQ(createServiceBinPath(out), 1);
  EXPECT_EQ(lastLine(), "Could not get the path of the executable file.");

  // cmdToRun: 2047 characters are built, 2048 refused on stdout and in the log.
  standinSetModuleFileName(path259.c_str());
  free(instanceDir);
  instanceDir = strdup(("Z:\\" + std::string(2047 - 259 - 11 - 3, 'd')).c_str());
  EXPECT_EQ(createServiceBinPath(out), 0);
  EXPECT_EQ(strlen(out), 2047u);
  free(instanceDir);
  instanceDir = strdup(("Z:\\" + std::string(2048 - 259 - 11 - 3, 'd')).c_str());
  memset(out, 'u', sizeof out);
  EXPECT_EQ(captureStdout(createServiceBinPath, out, &result),
            "The name of the resulting windows service command is too long.\n");
  EXPECT_EQ(result, 1);
  EXPECT_EQ(out[0], 'u');
  EXPECT_TRUE(logHas(log(), "The name of the resulting windows service command is too long."));
}

TEST_F(LookupTest, ListHoldsEveryWin32ServiceInOrderWithItsCommandLine) {
  addService("first", "\"C:\\a.exe\" run");
  addService("driver", "C:\\drv.sys", [](StandinService &s) { s.type = SERVICE_KERNEL_DRIVER; });
  addService("Shared", "C:\\host.exe -k x", [](StandinService &s) {
    s.type = SERVICE_WIN32_SHARE_PROCESS;
    s.displayName = "Shared host";
    s.status.dwCurrentState = SERVICE_RUNNING;
  });
  addService("locked", "C:\\l.exe", [](StandinService &s) { s.configUnreadable = true; });

  ServiceRecord *list = nullptr;
  int count = -1;
  ASSERT_EQ(getServiceList(&list, &count), 0);
  ASSERT_EQ(count, 3) << "drivers are not Win32 services";
  EXPECT_STREQ(list[0].serviceName, "first");
  EXPECT_STREQ(list[0].binaryPath, "\"C:\\a.exe\" run");
  EXPECT_STREQ(list[1].serviceName, "Shared");
  EXPECT_STREQ(list[1].displayName, "Shared host");
  EXPECT_STREQ(list[1].binaryPath, "C:\\host.exe -k x");
  EXPECT_STREQ(list[2].serviceName, "locked");
  EXPECT_EQ(list[2].binaryPath, nullptr);
  freeServiceList(list, count);
  EXPECT_TRUE(logHas(log(), "Error getting binary path name of service: locked"));
  EXPECT_TRUE(logHas(log(), "ERROR:  getBinaryPathName: Failed to open the service 'locked'."));
  EXPECT_EQ(standinCallCount("EnumServicesStatusA"), 2);

  // No services at all: the first pass succeeds and the list stays unwritten.
  for (const std::string &key : standinScmKeys())
    standinScmErase(key.c_str());
  list = reinterpret_cast<ServiceRecord *>(&count);
  ASSERT_EQ(getServiceList(&list, &count), 0);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(list, reinterpret_cast<ServiceRecord *>(&count));
  EXPECT_EQ(standinCallCount("EnumServicesStatusA"), 3);
}

// Which registered lines belong to a directory: today's line (ASCII letter
// case aside, and only that), the lines an earlier release wrote (the
// directory between plain quotes, as GetFullPathNameA gave it), and lines
// that only look alike.
TEST_F(LookupTest, RegisteredLinesMatchADirectoryInTodaysOrAnEarlierForm) {
  const std::string p = "\"" + toWindowsPath(install.program) + "\" start ";
  std::string upper = p + "\"C:\\Inst\"";
  for (char &c : upper)
    c = (char)toupper((unsigned char)c);
  const int now = kCurrentLine, old = kEarlierLine, no = kOtherLine;
  struct Row {
    unsigned codePage;
    const char *dir;
    std::string line;
    int form;
  };
  const std::vector<Row> rows = {
      {1252, "C:\\Inst", p + "\"C:\\Inst\"", now},       {1252, "C:\\Inst", p + "\"c:\\INST\"", now},
      {1252, "C:\\Inst", p + "\"C:\\Inst\\\"", old},     {1252, "C:\\Inst", p + "\"C:\\Inst\\\\\"", no},
      {1252, "C:\\Inst", p + "C:\\Inst", no},            {1252, "C:\\Inst", p + "\"C:\\Inst\" -x", no},
      {1252, "C:\\Inst", p + "\"C:\\Inst\" ", no},          {1252, "C:\\caf\xE9", p + "\"C:\\CAF\xC9\"", no},
      {1252, "C:\\Inst", upper, now},
      {1252, "C:\\Inst", p + "\"C:\\Inst2\"", no},       {1252, "C:\\Inst", p + "\"C:\\\"", no},
      {1252, "C:\\Inst", p + "\"C:\\INST~1\"", no},      {1252, "C:\\Inst", p + "\"\\\\?\\C:\\Inst\"", no},
      {1252, "C:\\Inst", "\"Z:\\q\\velkor_service.exe\" start \"C:\\Inst\\\"", no},
      {1252, "D:\\", p + "\"D:\\\\\"", now},             {1252, "D:\\", p + "\"D:\\\"", old},
      {1252, "D:\\", p + "\"D:\"", no},                  {1252, "D:\\", p + "\"D:\\\\\\\"", no},
      {1252, "\\\\srv\\share\\", p + "\"\\\\srv\\share\\\\\"", now},
      {1252, "\\\\srv\\share\\", p + "\"\\\\srv\\share\\\"", old},
      {1252, "\\\\srv\\share\\", p + "\"\\\\srv\\share\"", old},
      {1252, "\\\\srv\\share\\", p + "\"\\\\srv\\shar\"", no},
      {1252, "\\\\srv\\share\\inst", p + "\"\\\\srv\\share\\inst\\\"", old},
      {1252, "\\\\srv\\share\\inst", p + "\"\\\\srv\\share\"", no},
      // Code page 932: 表 is 95 5C, ソ 83 5C, ア 83 41 (its trail byte is an
      // 'A' that must not fold to 'a', which makes ャ 83 61).
      {932, "C:\\\x95\x5C", p + "\"C:\\\x95\x5C\"", now},
      {932, "C:\\\x95\x5C", p + "\"C:\\\x95\x5C\\\"", old},
      {932, "C:\\\x95\x5C\x83\x5C", p + "\"C:\\\x95\x5C\x83\x5C\"", now},
      {932, "C:\\\x83\x41", p + "\"c:\\\x83\x41\"", now},
      {932, "C:\\\x83\x41", p + "\"C:\\\x83\x61\"", no},
      {1252, "C:\\\x95\x5C", p + "\"C:\\\x95\x5C\\\"", now}, // a byte, a character
  };
  char cmd[kCmdToRunSize];
  for (const Row &row : rows) {
    SCOPED_TRACE(std::string(row.dir) + " | " + row.line);
    standinSetAnsiCodePage(row.codePage);
    free(instanceDir);
    instanceDir = strdup(row.dir);
    ASSERT_EQ(createServiceBinPath(cmd), 0);
    EXPECT_EQ(matchServiceLine(row.line.c_str(), cmd, row.dir), row.form);
  }
  standinSetAnsiCodePage(0);

  // The installation's own lines as state and create meet them: an earlier
  // line is found alone, today's wins wherever listed; create brings every
  // registration up to date and names the extras, or exits 3 naming a line
  // it could not rewrite (left as it was; the timeout is set all the same).
  addService("locked", "C:\\l.exe", [](StandinService &s) { s.configUnreadable = true; });
  EXPECT_EQ(run({"state", install.rootWin}), (RunResult{1, ""}));
  EXPECT_TRUE(logHas(log(), "Service '' is disabled."));
  EXPECT_EQ(run({"create", install.rootWin, "Velkor One", "Velkor directory server"}),
            (RunResult{0, ""}));
  EXPECT_EQ(service("Velkor One").binaryPath + "|" + service("Velkor One").description + "|" +
                std::to_string(eventKeyExists("Velkor One")),
            cmdToRun() + "|Velkor directory server|1");
  EXPECT_EQ(run({"state", install.rootWin}), (RunResult{0, "Velkor One"})) << "no line end";
  const std::string earlier = cmdToRun().substr(0, cmdToRun().size() - 1) + "\\\"";
  StandinService legacy = service("Velkor One");
  legacy.binaryPath = earlier;
  legacy.displayName = "shown";
  legacy.preshutdownTimeout = 180000;
  standinScmSave(legacy);
  ASSERT_TRUE(removeEventLogKey("Velkor One"));
  EXPECT_EQ(run({"state", install.rootWin}), (RunResult{0, "Velkor One"}));
  EXPECT_TRUE(logHas(log(), "getServiceName: the service 'Velkor One' has the command line of an "
                            "earlier release: '" + earlier + "'."));
  addService("current", cmdToRun());
  addService("second", cmdToRun());
  EXPECT_EQ(run({"state", install.rootWin}), (RunResult{0, "current"})) << "first of today's";
  const std::string named = "The installation '" + install.rootWin +
                            "' is registered as 3 services, each now up to date: 'Velkor One' "
                            "(the one state names), 'current', 'second'. Remove each extra one "
                            "with: cleanup \"current\"; cleanup \"second\"\n";
  EXPECT_EQ(run({"create", install.rootWin, "Something else", "x"}), (RunResult{1, named}));
  StandinService updated = service("Velkor One");
  EXPECT_EQ(updated.binaryPath + "|" + updated.displayName + "|" + updated.description + "|" +
                std::to_string(updated.preshutdownTimeout),
            cmdToRun() + "|shown|Velkor directory server|90000");
  EXPECT_EQ(service("second").binaryPath + std::to_string(service("second").preshutdownTimeout),
            cmdToRun() + "90000");
  EXPECT_TRUE(eventKeyExists("Velkor One") && eventKeyExists("second"));
  EXPECT_EQ(run({"state", install.rootWin}), (RunResult{0, "Velkor One"}));
  EXPECT_EQ(standinScmKeys().size(), 4u) << "no new service";
  std::vector<std::string> lines = log();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string &l) { return startsWith(l, "Updating the command line"); }),
            1) << "a line in today's form is not rewritten";
  standinScmErase("current");
  standinScmErase("second");
  standinScmSave(legacy);
  writeWholeFile(std::string(standinRoot()) + "/faults", "ChangeServiceConfigA 5\n");
  EXPECT_EQ(run({"create", install.rootWin, "Velkor One", "x"}),
            (RunResult{3, "The command line of the service 'Velkor One' could not be brought up "
                          "to date, so it cannot start: run create again as an administrator.\n"}));
  EXPECT_EQ(service("Velkor One").binaryPath + std::to_string(service("Velkor One").preshutdownTimeout),
            earlier + "90000");
  EXPECT_TRUE(logHas(log(), "ERROR:  Failed to update the command line of the service 'Velkor One'.  "
                            "Last error = 5."));
  writeWholeFile(std::string(standinRoot()) + "/faults", "EnumServicesStatusA 5\n");
  EXPECT_EQ(run({"state", install.rootWin}), (RunResult{2, ""}));
  EXPECT_TRUE(logHas(log(), "Could not determine the state of the service: no service list."));
  unlink((std::string(standinRoot()) + "/faults").c_str());
}

TEST_F(LookupTest, UnreadableServicesAreCountedAndPassedOver) {
  addService("denied", "C:\\x.exe", [](StandinService &s) { s.configUnreadable = true; });
  addService("huge", std::string(2048, 'h'));
  addService("queryfails", "C:\\q.exe");
  addService("other", "C:\\o.exe");
  // OpenServiceA calls: denied (refused), huge, queryfails, other; the
  // third query is the one of "queryfails".
  standinFailCall("QueryServiceConfigA", ERROR_ACCESS_DENIED, 2);
  std::string name;
  EXPECT_EQ(lookup(&name), 8);
  EXPECT_EQ(name, "");
  std::vector<std::string> lines = log();
  EXPECT_TRUE(logHas(lines, "getServiceName: no match, but 3 service(s) could not be read."));
  EXPECT_TRUE(logHas(lines, "getBinaryPathName: error calling QueryServiceConfig. Code [5]"));
  bool tooBig = false;
  for (const std::string &line : lines)
    tooBig |= line.rfind("getBinaryPathName: the length of the binary path name is too big. "
                         "serviceName='huge', binaryPath='hhh",
                         0) == 0;
  EXPECT_TRUE(tooBig);
  EXPECT_EQ(lines.back(), "The service name was found to be ''.");

  // An unreadable service does not stop the walk: a later match is found.
  addService("mine", cmdToRun());
  EXPECT_EQ(lookup(&name), 0);
  EXPECT_EQ(name, "mine");
}

TEST_F(LookupTest, MatchWhoseNameCannotBeCopiedOutIsNoMatch) {
  std::string longName(256, 'n');
  addService("denied", "C:\\x.exe", [](StandinService &s) { s.configUnreadable = true; });
  addService(longName, cmdToRun());
  addService("later", cmdToRun());
  std::string name;
  EXPECT_EQ(lookup(&name), 8) << "the walk ends at the first match, after one unreadable service";
  EXPECT_TRUE(logHas(log(), "The service name found is too long: '" + longName + "'"));
  EXPECT_TRUE(logHas(log(), "getServiceName: no match, but 1 service(s) could not be read."));

  standinScmErase("denied");
  EXPECT_EQ(lookup(&name), 1);
  EXPECT_EQ(name, "");

  // 255 characters still fit.
  standinScmErase(longName.c_str());
  standinScmErase("later");
  addService(std::string(255, 'n'), cmdToRun());
  EXPECT_EQ(lookup(&name), 0);
  EXPECT_EQ(name, std::string(255, 'n'));
}

TEST_F(LookupTest, ConfigurationLargerThanTheFirstBufferIsReadAfterItGrows) {
  addService("big", cmdToRun(), [](StandinService &s) { s.displayName = std::string(5000, 'D'); });
  std::string name;
  EXPECT_EQ(lookup(&name), 0);
  EXPECT_EQ(name, "big");
  EXPECT_EQ(standinCallCount("QueryServiceConfigA"), 2);
  EXPECT_EQ(standinCallCount("OpenServiceA"), 1);
}

TEST_F(LookupTest, ListingFailuresGiveSevenAndOne) {
  addService("mine", cmdToRun());
  std::string name;
  struct Case {
    const char *call;
    int occurrence;
    const char *trace;
  } cases[] = {
      {"OpenSCManagerA", 1, "getServiceList: error opening scm."},
      {"EnumServicesStatusA", 1, "getServiceList: generic error. Code [5]"},
      {"EnumServicesStatusA", 2, "getServiceList: second try generic error. Code [5]"},
  };
  for (const Case &c : cases) {
    failAfresh(c.call, ERROR_ACCESS_DENIED, c.occurrence);
    EXPECT_EQ(lookup(&name), 7) << c.call;
    std::vector<std::string> lines = log();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[lines.size() - 3], c.trace);
    EXPECT_EQ(lines[lines.size() - 2], "getServiceName: could not get service list.");
    EXPECT_EQ(lines.back(), "The service name was found to be ''.");
  }
  EXPECT_TRUE(logHas(log(), "ERROR:  Failed to open the Service Control Manager.  Last error = 5"));

  // A service added between the two passes needs more than the slack.
  standinClearFaults();
  standinScmAddAfterNextEnum("newcomer", "C:\\n.exe");
  EXPECT_EQ(lookup(&name), 7);
  EXPECT_TRUE(logHas(log(), "getServiceList: buffer error"));
  standinScmAddAfterNextEnum("latecomer", "C:\\n.exe");
  EXPECT_EQ(isServiceNameInUse("mine"), 1);
  EXPECT_EQ(lastLine(), "ERROR:  Could not determine if the service name 'mine' is in use "
                        "because listing the services failed.");
  EXPECT_EQ(lookup(&name), 0) << "the next listing sees them all";
}

TEST_F(LookupTest, NameInUseIsExactAndCaseSensitive) {
  EXPECT_EQ(isServiceNameInUse("Velkor"), 3);
  addService("Velkor", "C:\\v.exe", [](StandinService &s) { s.displayName = "Display"; });
  EXPECT_EQ(isServiceNameInUse("Velkor"), 2);
  EXPECT_EQ(lastLine(), "The service name 'Velkor' is in use.");
  EXPECT_EQ(isServiceNameInUse("velkor"), 3);
  EXPECT_EQ(isServiceNameInUse("Velko"), 3);
  EXPECT_EQ(isServiceNameInUse("Display"), 3) << "display names are not looked at";
}
} // namespace
