// The stand-in SCM's hosting side: who may dispatch, how controls reach the
// handler, when the dispatcher returns, and starting a service's process.
#include "runtime_support.h"

#include <atomic>

namespace {
std::atomic<int> controlsSeen{0};
std::atomic<DWORD> lastControl{0};
std::atomic<SERVICE_STATUS_HANDLE> hostHandle{nullptr};

void report(DWORD state) {
  SERVICE_STATUS status = {SERVICE_WIN32_OWN_PROCESS, state, 5, 0, 0, 0, 0};
  SetServiceStatus(hostHandle, &status);
}

void WINAPI handler(DWORD control) {
  lastControl = control;
  ++controlsSeen;
  if (control == SERVICE_CONTROL_SHUTDOWN)
    report(SERVICE_STOP_PENDING);
}

void WINAPI hostMain(DWORD argc, LPSTR *argv) {
  ASSERT_EQ(1u, argc);
  hostHandle = RegisterServiceCtrlHandlerA(argv[0], handler);
  report(SERVICE_RUNNING);
}

struct StandinDispatcher : testing::Test {
  ServiceBed bed;
  SERVICE_TABLE_ENTRYA table[2] = {{const_cast<char *>("any"), hostMain}, {nullptr, nullptr}};
};
} // namespace

TEST_F(StandinDispatcher, OnlyAProcessTheScmStartedMayDispatch) {
  bed.registerService(0);
  unsetenv("VELKOR_STANDIN_SERVICE");
  EXPECT_EQ(lastErrorOf(StartServiceCtrlDispatcherA(table)),
            (DWORD)ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  setenv("VELKOR_STANDIN_SERVICE", bed.name.c_str(), 1); // named, but not hosted here
  EXPECT_EQ(lastErrorOf(StartServiceCtrlDispatcherA(table)),
            (DWORD)ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  SERVICE_TABLE_ENTRYA empty[1] = {{nullptr, nullptr}};
  EXPECT_EQ(lastErrorOf(StartServiceCtrlDispatcherA(empty)), (DWORD)ERROR_INVALID_DATA);
  EXPECT_EQ(nullptr, RegisterServiceCtrlHandlerA(bed.name.c_str(), handler));
  EXPECT_EQ((DWORD)ERROR_SERVICE_DOES_NOT_EXIST, GetLastError());
}

// The SCM hands a service only what its state lets through (ControlService,
// Remarks: no control while start- or stop-pending but a stop it accepts,
// none it does not accept) and the dispatcher returns only once the service
// reported SERVICE_STOPPED (StartServiceCtrlDispatcher documentation).
TEST_F(StandinDispatcher, ControlsReachTheHandlerInOrderAsTheStateAllowsUntilTheServiceStops) {
  bed.registerService();
  // Queued before the service ran: meant for an earlier run, never delivered.
  standinScmPostControl(bed.name.c_str(), SERVICE_CONTROL_PAUSE);
  std::thread scm([&] {
    EXPECT_TRUE(bed.waitForState(SERVICE_RUNNING));
    EXPECT_EQ(0u, bed.control(SERVICE_CONTROL_INTERROGATE));
    EXPECT_EQ((DWORD)SERVICE_CONTROL_INTERROGATE, lastControl.load());
    EXPECT_EQ((DWORD)ERROR_INVALID_SERVICE_CONTROL, bed.control(SERVICE_CONTROL_CONTINUE))
        << "pause and continue are not accepted";
    EXPECT_EQ((DWORD)ERROR_INVALID_SERVICE_CONTROL, bed.control(SERVICE_CONTROL_PRESHUTDOWN));
    EXPECT_EQ(0u, bed.control(SERVICE_CONTROL_SHUTDOWN)); // reports stop-pending
    EXPECT_EQ((DWORD)ERROR_SERVICE_CANNOT_ACCEPT_CTRL, bed.control(SERVICE_CONTROL_INTERROGATE));
    EXPECT_EQ((DWORD)ERROR_SERVICE_CANNOT_ACCEPT_CTRL, bed.control(SERVICE_CONTROL_STOP));
  });
  std::atomic<bool> returned{false};
  std::thread dispatcher([&] {
    EXPECT_TRUE(StartServiceCtrlDispatcherA(table));
    returned = true;
  });
  scm.join();
  // Stop-pending is not stopped: the dispatcher keeps waiting.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(returned.load());
  report(SERVICE_STOPPED);
  dispatcher.join();
  EXPECT_EQ(2, controlsSeen.load());
  EXPECT_EQ(std::vector<std::string>({"4 0 0 0 0 5", "3 0 0 0 0 5", "1 0 0 0 0 5"}),
            bed.statuses());
  StandinService service;
  standinScmLoad(bed.name.c_str(), &service);
  EXPECT_EQ(0, service.hostPid);

  // A report after the stopped one changes nothing and is recorded as a fault.
  EXPECT_TRUE(standinScmLateStatuses(bed.name.c_str()).empty());
  report(SERVICE_RUNNING);
  EXPECT_EQ((DWORD)SERVICE_STOPPED, bed.current().dwCurrentState);
  ASSERT_EQ(1u, standinScmLateStatuses(bed.name.c_str()).size());
  EXPECT_EQ("4 0 0 0 0 5", statusText(standinScmLateStatuses(bed.name.c_str())[0]));
  EXPECT_EQ(lastErrorOf(SetServiceStatus(nullptr, &service.status)), (DWORD)ERROR_INVALID_HANDLE);
}

// A start returns once the process has connected to the dispatcher; one
// that never connects, whether it ends or waits past the bound (2 s of real
// time at this scale), fails the start and is ended (standinStartService).
TEST_F(StandinDispatcher, StartingAServiceWaitsForItsProcessToConnect) {
  // A service whose program is missing does not start and stays stopped.
  bed.registerService(0);
  unlink(bed.inst.program.c_str());
  EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, standinStartService(bed.name.c_str()));
  EXPECT_EQ((DWORD)SERVICE_STOPPED, bed.current().dwCurrentState);
  EXPECT_EQ((DWORD)ERROR_SERVICE_DOES_NOT_EXIST, standinStartService("nothing"));

  for (const char *body : {"exit 0", "exec sleep 60"}) {
    writeWholeFile(bed.inst.program, std::string("#!/bin/sh\n") + body + "\n");
    chmod(bed.inst.program.c_str(), 0755);
    EXPECT_EQ((DWORD)ERROR_SERVICE_REQUEST_TIMEOUT, standinStartService(bed.name.c_str())) << body;
    StandinService service;
    ASSERT_TRUE(standinScmLoad(bed.name.c_str(), &service));
    EXPECT_EQ((DWORD)SERVICE_STOPPED, service.status.dwCurrentState) << body;
    EXPECT_EQ(0, service.hostPid) << body;
    EXPECT_NE(0, kill(service.processPid, 0)) << body << ": the process is ended";
  }

  StandinService service;
  standinScmLoad(bed.name.c_str(), &service);
  service.status.dwCurrentState = SERVICE_START_PENDING;
  {
    StandinScmLock lock;
    standinScmSave(service);
  }
  EXPECT_EQ((DWORD)ERROR_SERVICE_ALREADY_RUNNING, standinStartService(bed.name.c_str()));
  service.status.dwCurrentState = SERVICE_STOPPED;
  service.markedForDelete = true;
  service.openHandles = 1; // kept by a handle
  {
    StandinScmLock lock;
    standinScmSave(service);
  }
  EXPECT_EQ((DWORD)ERROR_SERVICE_MARKED_FOR_DELETE, standinStartService(bed.name.c_str()));
}
