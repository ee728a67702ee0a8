// Linked into the test build of the wizard only, never into the product. At start-up it
// points the restart request at a recorder, so that no test can ever restart anything,
// and lets the window tests slow the clean-up down and watch the worker.
//
// Environment (all optional):
//   HV_TEST_RECORD         file that receives "key=value" lines: the restart request
//                          (flags, reason, whether the wizard window and the worker's
//                          handle were already gone) and, at exit, the operation count
//   HV_TEST_RESTART_ERROR  make the restart request fail with this error number
//   HV_TEST_OPERATION_DELAY_MS  pause before each removal operation
//   HV_TEST_CHECKBOX_ERROR make ticking the restart box fail with this error number
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "HVSys.h"
#include "engine/WorkerThread.h"

namespace {

const char kTitle[] = "Tessaly Cleanup Wizard 14.3";

HANDLE g_hWorker = NULL;
DWORD g_dwWorkerId = 0;
std::atomic<bool> g_bWorkerHandleClosed(false);
std::atomic<long> g_nOperations(0);
DWORD g_dwDelay = 0;

std::string Environment(const char* szName, bool* pbSet = NULL) {
  char szValue[1024] = "";
  DWORD cch = ::GetEnvironmentVariableA(szName, szValue, sizeof(szValue));
  if (pbSet) *pbSet = cch > 0 && cch < sizeof(szValue);
  return (cch > 0 && cch < sizeof(szValue)) ? szValue : "";
}

void Record(const std::string& strLines) {
  std::string strPath = Environment("HV_TEST_RECORD");
  if (strPath.empty()) return;
  FILE* pFile = std::fopen(strPath.c_str(), "ab");
  if (!pFile) return;
  std::fputs(strLines.c_str(), pFile);
  std::fclose(pFile);
}

BOOL CALLBACK FindWizard(HWND hWnd, LPARAM lParam) {
  DWORD dwProcessId = 0;
  ::GetWindowThreadProcessId(hWnd, &dwProcessId);
  char szTitle[128] = "";
  ::GetWindowTextA(hWnd, szTitle, sizeof(szTitle));
  if (dwProcessId == ::GetCurrentProcessId() && std::string(szTitle) == kTitle) {
    *reinterpret_cast<bool*>(lParam) = true;
    return FALSE;
  }
  return TRUE;
}

bool WorkerThreadEnded() {
  if (!g_dwWorkerId) return true;
  HANDLE hThread = ::OpenThread(SYNCHRONIZE, FALSE, g_dwWorkerId);
  if (!hThread) return true;
  bool bEnded = ::WaitForSingleObject(hThread, 0) == WAIT_OBJECT_0;
  ::CloseHandle(hThread);
  return bEnded;
}

HANDLE WINAPI RecordCreateThread(LPSECURITY_ATTRIBUTES pAttributes, SIZE_T cbStack,
                                 LPTHREAD_START_ROUTINE pfnStart, LPVOID pvParameter,
                                 DWORD dwFlags, LPDWORD pdwThreadId) {
  DWORD dwThreadId = 0;
  HANDLE hThread = ::CreateThread(pAttributes, cbStack, pfnStart, pvParameter, dwFlags,
                                  &dwThreadId);
  if (pdwThreadId) *pdwThreadId = dwThreadId;
  if (hThread && !g_hWorker) {
    g_hWorker = hThread;
    g_dwWorkerId = dwThreadId;
  }
  return hThread;
}

BOOL WINAPI RecordCloseHandle(HANDLE hObject) {
  if (hObject && hObject == g_hWorker) g_bWorkerHandleClosed = true;
  return ::CloseHandle(hObject);
}

BOOL WINAPI RecordExitWindowsEx(UINT uFlags, DWORD dwReason) {
  bool bWizardPresent = false;
  ::EnumWindows(&FindWizard, reinterpret_cast<LPARAM>(&bWizardPresent));
  char szLines[512];
  std::snprintf(szLines, sizeof(szLines),
                "restart=called\nflags=%#x\nreason=%#lx\nwizard_window=%s\n"
                "worker_started=%s\nworker_handle=%s\nworker_thread=%s\n",
                uFlags, static_cast<unsigned long>(dwReason),
                bWizardPresent ? "present" : "destroyed", g_hWorker ? "yes" : "no",
                g_bWorkerHandleClosed ? "closed" : "open",
                WorkerThreadEnded() ? "ended" : "running");
  Record(szLines);

  bool bFail = false;
  std::string strError = Environment("HV_TEST_RESTART_ERROR", &bFail);
  if (bFail) {
    ::SetLastError(static_cast<DWORD>(std::strtoul(strError.c_str(), NULL, 10)));
    return FALSE;
  }
  return TRUE;
}

DWORD g_dwCheckboxError = 0;

BOOL WINAPI FailCheckDlgButton(HWND, int, UINT) {
  ::SetLastError(g_dwCheckboxError);
  return FALSE;
}

HRESULT CountedOperation(CWorkerThread& oWorker, const char* szSection,
                         const std::string& strLine) {
  ++g_nOperations;
  if (g_dwDelay) ::Sleep(g_dwDelay);
  return CWorkerThread::RunOperation(oWorker, szSection, strLine);
}

struct CRecorder {
  CRecorder() {
    HV::Sys::ExitWindowsEx = &RecordExitWindowsEx;
    HV::Sys::CreateThread = &RecordCreateThread;
    HV::Sys::CloseHandle = &RecordCloseHandle;
    CWorkerThread::s_pfnOperation = &CountedOperation;
    g_dwDelay = static_cast<DWORD>(
        std::strtoul(Environment("HV_TEST_OPERATION_DELAY_MS").c_str(), NULL, 10));
    bool bFailTick = false;
    std::string strTickError = Environment("HV_TEST_CHECKBOX_ERROR", &bFailTick);
    if (bFailTick) {
      g_dwCheckboxError = static_cast<DWORD>(std::strtoul(strTickError.c_str(), NULL, 10));
      HV::Sys::CheckDlgButton = &FailCheckDlgButton;
    }
  }
  ~CRecorder() {
    char szLines[128];
    std::snprintf(szLines, sizeof(szLines), "operations=%ld\nexit_worker_thread=%s\n",
                  g_nOperations.load(), WorkerThreadEnded() ? "ended" : "running");
    Record(szLines);
  }
};

CRecorder g_oRecorder;

}  // namespace
