// The stand-in SCM calls keep the Windows contracts the program relies on:
// buffer packing and sizes, name rules, deletion that only marks, and how a
// stop request is answered.
#include "scm_fixture.h"

#include <atomic>
#include <csignal>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {
class StandinScmTest : public ScmTest {
protected:
  void SetUp() override {
    ScmTest::SetUp();
    scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(scm, nullptr);
  }
  void TearDown() override {
    CloseServiceHandle(scm);
    ScmTest::TearDown();
  }
  // 0 when CreateServiceA made the service (its handle closed again), else the error.
  DWORD create(const char *name, const char *display) {
    SC_HANDLE service = CreateServiceA(scm, name, display, SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                       SERVICE_ERROR_NORMAL, "C:\\s.exe", nullptr, nullptr,
                                       nullptr, nullptr, nullptr);
    DWORD error = service ? 0 : GetLastError();
    if (service)
      CloseServiceHandle(service);
    return error;
  }
  std::vector<std::string> listed() {
    std::vector<char> buffer(8192);
    auto *records = reinterpret_cast<ENUM_SERVICE_STATUSA *>(buffer.data());
    DWORD needed = 0, returned = 0, resume = 0;
    EXPECT_TRUE(EnumServicesStatusA(scm, SERVICE_WIN32, SERVICE_STATE_ALL, records,
                                    (DWORD)buffer.size(), &needed, &returned, &resume));
    std::vector<std::string> names;
    for (DWORD i = 0; i < returned; ++i)
      names.push_back(records[i].lpServiceName);
    return names;
  }
  SC_HANDLE scm = nullptr;
};

size_t entrySize(const std::string &name) {
  return sizeof(ENUM_SERVICE_STATUSA) + 2 * (name.size() + 1); // display name = name
}

TEST_F(StandinScmTest, EnumerationPacksWhatFitsAndResumes) {
  addService("alpha", "C:\\a.exe");
  addService("drv", "C:\\d.sys", [](StandinService &s) { s.type = SERVICE_KERNEL_DRIVER; });
  addService("beta", "C:\\b.exe", [](StandinService &s) { s.status.dwCurrentState = SERVICE_RUNNING; });
  addService("gamma", "C:\\c.exe");

  DWORD needed = 0, returned = 9, resume = 0;
  EXPECT_FALSE(EnumServicesStatusA(scm, SERVICE_WIN32, SERVICE_STATE_ALL, nullptr, 0, &needed,
                                   &returned, &resume));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_MORE_DATA);
  EXPECT_EQ(needed, entrySize("alpha") + entrySize("beta") + entrySize("gamma"));
  EXPECT_EQ(returned, 0u);
  EXPECT_EQ(resume, 0u);

  // Room for one entry: it comes back whole, the rest is still owed.
  std::vector<char> buffer(entrySize("alpha") + 3);
  auto *records = reinterpret_cast<ENUM_SERVICE_STATUSA *>(buffer.data());
  EXPECT_FALSE(EnumServicesStatusA(scm, SERVICE_WIN32, SERVICE_STATE_ALL, records,
                                   (DWORD)buffer.size(), &needed, &returned, &resume));
  ASSERT_EQ(returned, 1u);
  EXPECT_STREQ(records[0].lpServiceName, "alpha");
  EXPECT_STREQ(records[0].lpDisplayName, "alpha");
  EXPECT_GE(records[0].lpServiceName, buffer.data() + sizeof(ENUM_SERVICE_STATUSA));
  EXPECT_LT(records[0].lpServiceName, buffer.data() + buffer.size());
  EXPECT_EQ(needed, entrySize("beta") + entrySize("gamma"));
  EXPECT_EQ(resume, 1u);

  buffer.assign(needed, 0);
  records = reinterpret_cast<ENUM_SERVICE_STATUSA *>(buffer.data());
  EXPECT_TRUE(EnumServicesStatusA(scm, SERVICE_WIN32, SERVICE_STATE_ALL, records,
                                  (DWORD)buffer.size(), &needed, &returned, &resume));
  ASSERT_EQ(returned, 2u);
  EXPECT_STREQ(records[0].lpServiceName, "beta");
  EXPECT_EQ(records[0].ServiceStatus.dwCurrentState, SERVICE_RUNNING);
  EXPECT_STREQ(records[1].lpServiceName, "gamma");
  EXPECT_EQ(resume, 0u);

  resume = 0;
  buffer.assign(4096, 0);
  records = reinterpret_cast<ENUM_SERVICE_STATUSA *>(buffer.data());
  EXPECT_TRUE(EnumServicesStatusA(scm, SERVICE_WIN32, SERVICE_ACTIVE, records, 4096, &needed,
                                  &returned, &resume));
  EXPECT_EQ(returned, 1u) << "only the running one";
  EXPECT_TRUE(EnumServicesStatusA(scm, SERVICE_KERNEL_DRIVER | SERVICE_FILE_SYSTEM_DRIVER, SERVICE_STATE_ALL, records,
                                  4096, &needed, &returned, &resume));
  ASSERT_EQ(returned, 1u);
  EXPECT_STREQ(records[0].lpServiceName, "drv");

  // A queued service appears right after the next call, in any process.
  standinScmAddAfterNextEnum("late", "C:\\late.exe");
  EXPECT_TRUE(EnumServicesStatusA(scm, SERVICE_WIN32, SERVICE_STATE_ALL, records, 4096, &needed,
                                  &returned, &resume));
  EXPECT_EQ(returned, 3u);
  EXPECT_TRUE(exists("late"));

  SC_HANDLE listOnly = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  EXPECT_FALSE(EnumServicesStatusA(listOnly, SERVICE_WIN32, SERVICE_STATE_ALL, records, 4096,
                                   &needed, &returned, &resume));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
  CloseServiceHandle(listOnly);
}

TEST_F(StandinScmTest, ConfigurationReportsTheWholeSizeItNeeds) {
  addService("svc", "\"C:\\p q\\s.exe\" start", [](StandinService &s) {
    s.startType = SERVICE_AUTO_START;
    s.displayName = "Service shown";
  });
  SC_HANDLE service = OpenServiceA(scm, "SVC", SERVICE_QUERY_CONFIG);
  ASSERT_NE(service, nullptr) << "names are compared without case";
  DWORD needed = 0;
  QUERY_SERVICE_CONFIGA small;
  EXPECT_EQ(lastErrorOf(QueryServiceConfigA(service, &small, sizeof small, &needed)),
            (DWORD)ERROR_INSUFFICIENT_BUFFER);
  EXPECT_GT(needed, (DWORD)sizeof small);

  std::vector<char> buffer(needed);
  auto *config = reinterpret_cast<QUERY_SERVICE_CONFIGA *>(buffer.data());
  ASSERT_TRUE(QueryServiceConfigA(service, config, needed, &needed));
  EXPECT_STREQ(config->lpBinaryPathName, "\"C:\\p q\\s.exe\" start");
  EXPECT_STREQ(config->lpDisplayName, "Service shown");
  EXPECT_STREQ(config->lpServiceStartName, "LocalSystem");
  EXPECT_EQ(config->dwStartType, SERVICE_AUTO_START);
  EXPECT_EQ(config->dwServiceType, SERVICE_WIN32_OWN_PROCESS);

  SERVICE_STATUS status;
  EXPECT_EQ(lastErrorOf(QueryServiceStatus(service, &status)),
            (DWORD)ERROR_ACCESS_DENIED) << "opened for the configuration only";
  EXPECT_TRUE(CloseServiceHandle(service));
  EXPECT_EQ(lastErrorOf(CloseServiceHandle(service)), (DWORD)ERROR_INVALID_HANDLE);

  EXPECT_EQ(OpenServiceA(scm, "missing", SERVICE_QUERY_CONFIG), nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_DOES_NOT_EXIST);
  StandinService locked = this->service("svc");
  locked.configUnreadable = true;
  standinScmSave(locked);
  EXPECT_EQ(OpenServiceA(scm, "svc", SERVICE_QUERY_CONFIG), nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
  service = OpenServiceA(scm, "svc", SERVICE_QUERY_STATUS);
  EXPECT_NE(service, nullptr) << "its status stays readable";
  CloseServiceHandle(service);
}

// Names are compared without case for every letter of the code page (1252
// here: E acute is 0xC9 and 0xE9).
TEST_F(StandinScmTest, CreationRefusesTakenNamesAndDisplayNames) {
  EXPECT_EQ(create("Alpha", "Alpha shown"), 0u);
  EXPECT_EQ(create("ALPHA", "other"), (DWORD)ERROR_SERVICE_EXISTS);
  EXPECT_EQ(create("alpha shown", "x"), (DWORD)ERROR_DUPLICATE_SERVICE_NAME);
  EXPECT_EQ(create("beta", "alpha"), (DWORD)ERROR_DUPLICATE_SERVICE_NAME);
  EXPECT_EQ(create("beta", "ALPHA SHOWN"), (DWORD)ERROR_DUPLICATE_SERVICE_NAME);
  EXPECT_EQ(create("\xC9t\xE9", "\xC9t\xE9 shown"), 0u);
  EXPECT_EQ(create("\xE9T\xC9", "x"), (DWORD)ERROR_SERVICE_EXISTS);
  EXPECT_EQ(create("beta", "\xE9T\xC9 SHOWN"), (DWORD)ERROR_DUPLICATE_SERVICE_NAME);
  SC_HANDLE accented = OpenServiceA(scm, "\xE9t\xC9", SERVICE_QUERY_STATUS);
  EXPECT_NE(accented, nullptr);
  CloseServiceHandle(accented);
  EXPECT_EQ(create("a\\b", "a\\b"), (DWORD)ERROR_INVALID_NAME);
  EXPECT_EQ(create(std::string(257, 'n').c_str(), "n"), (DWORD)ERROR_INVALID_NAME);
  EXPECT_EQ(create(std::string(256, 'n').c_str(), "n"), 0u);

  SC_HANDLE service = OpenServiceA(scm, "alpha", SERVICE_ALL_ACCESS);
  EXPECT_TRUE(DeleteService(service));
  EXPECT_EQ(create("alpha", "again"), (DWORD)ERROR_SERVICE_MARKED_FOR_DELETE);
  SERVICE_DESCRIPTIONA description = {const_cast<char *>("text")};
  EXPECT_EQ(lastErrorOf(ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &description)),
            (DWORD)ERROR_SERVICE_MARKED_FOR_DELETE);
  CloseServiceHandle(service);
  EXPECT_EQ(create("alpha", "again"), 0u) << "gone with its last handle";

  SC_HANDLE readOnly = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE);
  EXPECT_EQ(CreateServiceA(readOnly, "gamma", "gamma", SERVICE_ALL_ACCESS,
                           SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                           "C:\\s.exe", nullptr, nullptr, nullptr, nullptr, nullptr),
            nullptr);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
  CloseServiceHandle(readOnly);
}

TEST_F(StandinScmTest, DeletionMarksAndTheServiceGoesOnceStoppedClosedAndItsProcessEnded) {
  pid_t process = fork(); // the service's process, which outlives its stop
  if (process == 0) {
    pause();
    _exit(0);
  }
  ASSERT_GT(process, 0) << "fork failed: nothing may be signalled";
  addService("svc", "C:\\s.exe", [process](StandinService &s) {
    s.status.dwCurrentState = SERVICE_RUNNING;
    s.processPid = process;
  });
  SC_HANDLE first = OpenServiceA(scm, "svc", SERVICE_ALL_ACCESS);
  SC_HANDLE second = OpenServiceA(scm, "svc", SERVICE_QUERY_STATUS);
  EXPECT_EQ(service("svc").openHandles, 2);
  EXPECT_TRUE(DeleteService(first));
  EXPECT_EQ(lastErrorOf(DeleteService(first)), (DWORD)ERROR_SERVICE_MARKED_FOR_DELETE);
  EXPECT_EQ(lastErrorOf(DeleteService(second)),
            (DWORD)ERROR_ACCESS_DENIED) << "DELETE access is needed";
  CloseServiceHandle(first);
  CloseServiceHandle(second);
  EXPECT_TRUE(exists("svc")) << "still running";

  StandinService stopped = service("svc");
  stopped.status.dwCurrentState = SERVICE_STOPPED;
  standinScmSave(stopped);
  SC_HANDLE last = OpenServiceA(scm, "svc", SERVICE_QUERY_STATUS);
  EXPECT_NE(last, nullptr) << "a marked service can still be opened";
  CloseServiceHandle(last);
  EXPECT_EQ(listed(), std::vector<std::string>{"svc"}) << "stopped and closed, but its process runs";
  EXPECT_EQ(create("svc", "again"), (DWORD)ERROR_SERVICE_MARKED_FOR_DELETE);
  kill(process, SIGKILL);
  waitpid(process, nullptr, 0);
  EXPECT_EQ(listed(), std::vector<std::string>{});
  EXPECT_FALSE(exists("svc"));
}

// A live process's handler answers; a record a test made stands for one
// through its stopAnswer knob, hosted by this (live) process.
TEST_F(StandinScmTest, StopRequestAnsweredByTheRecordOrByItsHost) {
  // No live process: stopped, or a record whose process is gone.
  addService("idle", "C:\\s.exe");
  addService("orphan", "C:\\s.exe", [](StandinService &s) {
    s.status.dwCurrentState = SERVICE_RUNNING;
    s.status.dwControlsAccepted = SERVICE_ACCEPT_STOP;
    s.stopAnswer = SERVICE_STOPPED;
  });
  SERVICE_STATUS status;
  for (const char *name : {"idle", "orphan"}) {
    SC_HANDLE handle = OpenServiceA(scm, name, SERVICE_ALL_ACCESS);
    EXPECT_FALSE(ControlService(handle, SERVICE_CONTROL_STOP, &status)) << name;
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_NOT_ACTIVE) << name;
    CloseServiceHandle(handle);
  }

  // Start-pending: only a stop the service accepts would be sent (ControlService, Remarks).
  addService("starting", "C:\\s.exe", [](StandinService &s) {
    s.status.dwCurrentState = SERVICE_START_PENDING;
    s.hostPid = (int)getpid();
  });
  SC_HANDLE starting = OpenServiceA(scm, "starting", SERVICE_ALL_ACCESS);
  EXPECT_EQ(lastErrorOf(ControlService(starting, SERVICE_CONTROL_INTERROGATE, &status)),
            (DWORD)ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  EXPECT_EQ(status.dwCurrentState, SERVICE_START_PENDING) << "the status is filled in";
  for (DWORD systemOnly : {SERVICE_CONTROL_SHUTDOWN, SERVICE_CONTROL_PRESHUTDOWN}) {
    EXPECT_EQ(lastErrorOf(ControlService(starting, systemOnly, &status)),
              (DWORD)ERROR_INVALID_PARAMETER) << "only the system sends it";
  }
  CloseServiceHandle(starting);

  addService("made", "C:\\s.exe", [](StandinService &s) {
    s.status.dwCurrentState = SERVICE_RUNNING;
    s.status.dwControlsAccepted = SERVICE_ACCEPT_STOP;
    s.hostPid = (int)getpid();
    s.stopAnswer = SERVICE_PAUSED;
  });
  SC_HANDLE made = OpenServiceA(scm, "made", SERVICE_ALL_ACCESS);
  ASSERT_TRUE(ControlService(made, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(status.dwCurrentState, SERVICE_PAUSED);
  EXPECT_EQ(service("made").status.dwCurrentState, SERVICE_PAUSED);
  CloseServiceHandle(made);

  // Hosted by this (live) process: a thread plays the service's handler.
  addService("hosted", "C:\\s.exe", [](StandinService &s) {
    s.status.dwCurrentState = SERVICE_RUNNING;
    s.status.dwControlsAccepted = SERVICE_ACCEPT_STOP;
    s.hostPid = (int)getpid();
  });
  std::atomic<bool> answer{true};
  std::atomic<bool> done{false};
  std::thread host([&] {
    long seq = 0;
    DWORD control = 0;
    while (!done) {
      if (answer && standinScmTakeControl("hosted", seq, &seq, &control)) {
        StandinScmLock lock;
        StandinService s;
        standinScmLoad("hosted", &s);
        s.status.dwCurrentState = control == SERVICE_CONTROL_STOP ? SERVICE_STOP_PENDING : s.status.dwCurrentState;
        standinScmSave(s);
        standinScmAckControl("hosted", seq);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  SC_HANDLE hosted = OpenServiceA(scm, "hosted", SERVICE_ALL_ACCESS);
  ASSERT_TRUE(ControlService(hosted, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(status.dwCurrentState, SERVICE_STOP_PENDING) << "what the handler reported";
  EXPECT_EQ(lastErrorOf(ControlService(hosted, SERVICE_CONTROL_STOP, &status)),
            (DWORD)ERROR_SERVICE_CANNOT_ACCEPT_CTRL) << "already stopping";

  // A handler that never answers: the request times out.
  answer = false;
  StandinService running = service("hosted");
  running.status.dwCurrentState = SERVICE_RUNNING;
  standinScmSave(running);
  standinSetTimeScale(0);
  EXPECT_EQ(lastErrorOf(ControlService(hosted, SERVICE_CONTROL_STOP, &status)),
            (DWORD)ERROR_SERVICE_REQUEST_TIMEOUT);
  done = true;
  host.join();
  CloseServiceHandle(hosted);
}
} // namespace
