// A service of its own process for the service-stopping tests. Its first command-line
// argument picks how it answers a stop request:
//   stop      reports STOPPED at once, inside the control handler
//   slow      reports STOP_PENDING, then STOPPED about one second later
//   pending   reports STOP_PENDING and stays there
//   running   accepts the request and goes on running
//   nostop    does not accept stop requests at all
// Whatever the mode, the service ends when the named event "Global\HVTestServiceExit.<name>"
// is set, which is how the tests get rid of a service that does not stop.
#include <windows.h>

#include <atomic>
#include <string>

namespace {

std::string g_strMode;
std::string g_strName;
SERVICE_STATUS_HANDLE g_hStatus = NULL;
HANDLE g_hStopRequested = NULL;
HANDLE g_hExit = NULL;
DWORD g_dwCheckPoint = 0;
std::atomic<bool> g_bStopped(false);
std::atomic<bool> g_bStoppedInHandler(false);

void Report(DWORD dwState, DWORD dwAccepted, DWORD dwWaitHint) {
  SERVICE_STATUS ss = {};
  ss.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  ss.dwCurrentState = dwState;
  ss.dwControlsAccepted = dwAccepted;
  ss.dwCheckPoint = (dwState == SERVICE_STOP_PENDING) ? ++g_dwCheckPoint : 0;
  ss.dwWaitHint = dwWaitHint;
  if (dwState == SERVICE_STOPPED) g_bStopped = true;
  ::SetServiceStatus(g_hStatus, &ss);
}

DWORD AcceptedControls() {
  return g_strMode == "nostop" ? SERVICE_ACCEPT_SHUTDOWN
                               : SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
}

DWORD WINAPI Handler(DWORD dwControl, DWORD, LPVOID, LPVOID) {
  switch (dwControl) {
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      if (g_strMode == "stop") {
        g_bStoppedInHandler = true;
        Report(SERVICE_STOPPED, 0, 0);
        ::SetEvent(g_hExit);
      } else if (g_strMode == "slow" || g_strMode == "pending") {
        Report(SERVICE_STOP_PENDING, 0, 30000);
        ::SetEvent(g_hStopRequested);
      }
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI ServiceMain(DWORD, LPSTR*) {
  g_hStatus = ::RegisterServiceCtrlHandlerExA(g_strName.c_str(), Handler, NULL);
  if (!g_hStatus) return;
  Report(SERVICE_RUNNING, AcceptedControls(), 0);

  HANDLE handles[] = {g_hExit, g_hStopRequested};
  DWORD dwWait = ::WaitForMultipleObjects(2, handles, FALSE, INFINITE);
  if (dwWait == WAIT_OBJECT_0 + 1 && g_strMode == "slow") {
    ::Sleep(1000);
  } else if (dwWait == WAIT_OBJECT_0 + 1) {
    ::WaitForSingleObject(g_hExit, INFINITE);
  }
  if (!g_bStopped) Report(SERVICE_STOPPED, 0, 0);
}

}  // namespace

// TestService.exe MODE NAME
int main(int argc, char** argv) {
  if (argc < 3) return 2;
  g_strMode = argv[1];
  g_strName = argv[2];
  g_hStopRequested = ::CreateEventA(NULL, TRUE, FALSE, NULL);
  g_hExit = ::CreateEventA(NULL, TRUE, FALSE, ("Global\\HVTestServiceExit." + g_strName).c_str());
  if (!g_hStopRequested || !g_hExit) return 3;

  SERVICE_TABLE_ENTRYA table[] = {{&g_strName[0], ServiceMain}, {NULL, NULL}};
  if (!::StartServiceCtrlDispatcherA(table)) return 1;
  // Under Wine the dispatcher returns as soon as STOPPED is reported. When that happened
  // inside the control handler, ending the process at once could cut the dispatcher thread
  // off before it has answered the control, and the manager would report a broken pipe to
  // whoever sent the stop request.
  if (g_bStoppedInHandler) ::Sleep(500);
  return 0;
}
