// A stand-in for the products' services in the run command's sandbox: it runs until it
// is asked to stop, then stops like a well-behaved service.
#include <windows.h>

namespace {

SERVICE_STATUS_HANDLE g_hStatus = NULL;
HANDLE g_hStop = NULL;

void Report(DWORD dwState) {
  SERVICE_STATUS ss = {};
  ss.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  ss.dwCurrentState = dwState;
  ss.dwControlsAccepted = dwState == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  ss.dwWaitHint = dwState == SERVICE_STOP_PENDING ? 2000 : 0;
  ::SetServiceStatus(g_hStatus, &ss);
}

DWORD WINAPI Handler(DWORD dwControl, DWORD, LPVOID, LPVOID) {
  if (dwControl == SERVICE_CONTROL_STOP || dwControl == SERVICE_CONTROL_SHUTDOWN) {
    Report(SERVICE_STOP_PENDING);
    ::SetEvent(g_hStop);
  }
  return NO_ERROR;
}

void WINAPI ServiceMain(DWORD, LPSTR* argv) {
  g_hStatus = ::RegisterServiceCtrlHandlerExA(argv && argv[0] ? argv[0] : "", &Handler, NULL);
  if (!g_hStatus) return;
  g_hStop = ::CreateEventA(NULL, TRUE, FALSE, NULL);
  Report(SERVICE_RUNNING);
  ::WaitForSingleObject(g_hStop, INFINITE);
  Report(SERVICE_STOPPED);
}

}  // namespace

int main() {
  char szName[] = "";
  SERVICE_TABLE_ENTRYA table[] = {{szName, &ServiceMain}, {NULL, NULL}};
  return ::StartServiceCtrlDispatcherA(table) ? 0 : 1;
}
