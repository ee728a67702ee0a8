// The clean-up engine: one worker thread that reads the eight built-in scripts, walks
// their lines and hands every entry to the removal operation of its section, reporting
// progress to the progress page by posted messages.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>

#include "Include/HVHandles.h"

class CWorkerThread {
 public:
  CWorkerThread();
  ~CWorkerThread();
  CWorkerThread(const CWorkerThread&) = delete;
  CWorkerThread& operator=(const CWorkerThread&) = delete;

  // S_OK, S_FALSE when a thread (running or finished) is already there, or the failure
  // of the thread's creation.
  HRESULT Start();
  // Sets the cancel flag, waits up to 2000 ms for the thread and ends it by force after
  // that; closes the handle. Does nothing when there is no thread.
  void Stop();

  static DWORD WINAPI ThreadProc(LPVOID pvWorker);

  // The removal operations, one per script section. Each receives its own copy of the
  // expanded entry; only a negative result is a failure.
  HRESULT StopService(std::string strLine);
  HRESULT DeleteKey(std::string strKey);
  HRESULT DeleteValue(std::string strKeyAndValue);
  HRESULT RemoveDirectory(std::string strFolder);
  HRESULT DeleteFile(std::string strFile);

  // The window the progress messages go to; set before the first Start, then only read.
  HWND m_hWndTarget;
  // Written by the user-interface thread, polled by the worker and by the operations
  // that wait or recurse.
  std::atomic<bool> m_bCancel;
  HV::CKernelHandle m_hThread;

  // The runner's way to its operations. Tests point it elsewhere to watch the dispatch
  // of entries to sections; the product never changes it.
  typedef HRESULT (*PFN_OPERATION)(CWorkerThread& oWorker, const char* szSection,
                                   const std::string& strLine);
  static PFN_OPERATION s_pfnOperation;
  static HRESULT RunOperation(CWorkerThread& oWorker, const char* szSection,
                              const std::string& strLine);
};

// The status of a removal registered for the next restart: a success code that carries
// ERROR_SUCCESS_REBOOT_REQUIRED.
const HRESULT S_REBOOT_REQUIRED = static_cast<HRESULT>(0x00070BC2);

// The reboot-required flag: set (never cleared) by file and folder removal whenever it
// registers a removal for the next restart; read by the finish page once the worker is
// done.
bool IsRebootRequired();
void SetRebootRequired();
void ResetRebootRequiredForTests();

// A path from a folder and a child name with exactly one backslash between them.
std::string JoinPath(const std::string& strBase, const std::string& strChild);

// Deletes the sub-key strName of hKey with everything below it, in the registry view
// samView (0 or KEY_WOW64_64KEY), deepest first. A Win32 error number, 0 on success.
LONG DeleteKeyTree(HKEY hKey, const std::string& strName, REGSAM samView);

// Forgets the once-per-process lookup of RegDeleteKeyExA. Never called by the product.
void ResetRegDeleteKeyExForTests();
