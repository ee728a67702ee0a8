#include "WizardDriver.h"

#include <commctrl.h>
#include <prsht.h>

#include "Screenshot.h"

namespace HVTest {

const char kWizardTitle[] = "Tessaly Cleanup Wizard 14.3";
const char kWizardDesktop[] = "Tessaly";

namespace {

struct SEnumChildren {
  const char* szClass;
  std::vector<std::string> texts;
};

BOOL CALLBACK CollectChild(HWND hWnd, LPARAM lParam) {
  auto& e = *reinterpret_cast<SEnumChildren*>(lParam);
  char szClass[64] = "";
  ::GetClassNameA(hWnd, szClass, sizeof(szClass));
  // An icon picture's window text is its resource name, not text the user reads.
  bool bIcon = lstrcmpiA(szClass, "Static") == 0 &&
               (::GetWindowLongPtrA(hWnd, GWL_STYLE) & SS_TYPEMASK) == SS_ICON;
  if (lstrcmpiA(szClass, e.szClass) == 0 && !bIcon) e.texts.push_back(WindowText(hWnd));
  return TRUE;
}

BOOL CALLBACK CollectTopLevel(HWND hWnd, LPARAM lParam) {
  reinterpret_cast<std::vector<HWND>*>(lParam)->push_back(hWnd);
  return TRUE;
}

}  // namespace

// IsWindowVisible also asks the desktop window, and the wizard's desktop is not this
// thread's: read the style bits of the window and of its parents instead.
bool IsShown(HWND hWnd) {
  while (hWnd) {
    LONG_PTR style = ::GetWindowLongPtrA(hWnd, GWL_STYLE);
    if (!(style & WS_VISIBLE)) return false;
    if (!(style & WS_CHILD)) return true;
    hWnd = ::GetParent(hWnd);
  }
  return false;
}

std::string WindowText(HWND hWnd) {
  char szText[1024] = "";
  ::SendMessageTimeoutA(hWnd, WM_GETTEXT, sizeof(szText), reinterpret_cast<LPARAM>(szText),
                        SMTO_ABORTIFHUNG, 5000, NULL);
  return szText;
}

std::vector<std::string> ChildTexts(HWND hParent, const char* szClass) {
  SEnumChildren e = {szClass, {}};
  ::EnumChildWindows(hParent, &CollectChild, reinterpret_cast<LPARAM>(&e));
  return e.texts;
}

// The size that makes the wizard desktop a window of its own, and its shell off (which
// would watch the Desktop folder, the trace file's). tools/wine-run sets both when it
// creates a prefix; a prefix made before that gets them here.
void EnsureWizardDesktopSettings() {
  HKEY hKey = NULL;
  if (::RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Wine\\Explorer\\Desktops", 0, NULL, 0,
                        KEY_READ | KEY_WRITE, NULL, &hKey, NULL) != ERROR_SUCCESS) {
    return;
  }
  if (::RegQueryValueExA(hKey, kWizardDesktop, NULL, NULL, NULL, NULL) != ERROR_SUCCESS) {
    const char szSize[] = "800x600";
    ::RegSetValueExA(hKey, kWizardDesktop, 0, REG_SZ, reinterpret_cast<const BYTE*>(szSize),
                     sizeof(szSize));
  }
  HKEY hDesktop = NULL;
  if (::RegCreateKeyExA(hKey, kWizardDesktop, 0, NULL, 0, KEY_READ | KEY_WRITE, NULL, &hDesktop,
                        NULL) == ERROR_SUCCESS) {
    DWORD dwOff = 0;
    ::RegSetValueExA(hDesktop, "EnableShell", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwOff),
                     sizeof(dwOff));
    ::RegCloseKey(hDesktop);
  }
  ::RegCloseKey(hKey);
}

namespace {

// On a thread of its own: only a thread without windows may move to another desktop.
DWORD WINAPI FindDesktopOwner(LPVOID pv) {
  HDESK hDesktop = ::OpenDesktopA(kWizardDesktop, 0, FALSE, GENERIC_ALL);
  if (!hDesktop) return 0;
  if (::SetThreadDesktop(hDesktop)) {
    HWND hDesktopWindow = ::GetDesktopWindow();
    DWORD dwProcessId = 0;
    if (hDesktopWindow) ::GetWindowThreadProcessId(hDesktopWindow, &dwProcessId);
    *static_cast<DWORD*>(pv) = dwProcessId;
  }
  return 0;
}

}  // namespace

void CloseWizardDesktop() {
  DWORD dwProcessId = 0;
  HANDLE hThread = ::CreateThread(NULL, 0, &FindDesktopOwner, &dwProcessId, 0, NULL);
  if (!hThread) return;
  ::WaitForSingleObject(hThread, INFINITE);
  ::CloseHandle(hThread);
  if (!dwProcessId || dwProcessId == ::GetCurrentProcessId()) return;
  HANDLE hProcess = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, dwProcessId);
  if (!hProcess) return;
  ::TerminateProcess(hProcess, 0);
  ::WaitForSingleObject(hProcess, 10000);
  ::CloseHandle(hProcess);
}

CWizardProcess::CWizardProcess(const std::string& strExe,
                               const std::map<std::string, std::string>& env)
    : m_pi(), m_hDesktop(NULL), m_hSheet(NULL) {
  EnsureWizardDesktopSettings();
  for (const auto& kv : env) ::SetEnvironmentVariableA(kv.first.c_str(), kv.second.c_str());
  STARTUPINFOA si = {};
  si.cb = sizeof(si);
  si.lpDesktop = const_cast<char*>(kWizardDesktop);
  std::string strCommand = "\"" + strExe + "\"";
  if (!::CreateProcessA(strExe.c_str(), &strCommand[0], NULL, NULL, FALSE, 0, NULL, NULL, &si,
                        &m_pi)) {
    m_pi = PROCESS_INFORMATION();
  }
  for (const auto& kv : env) ::SetEnvironmentVariableA(kv.first.c_str(), NULL);
}

CWizardProcess::~CWizardProcess() {
  if (m_pi.hProcess) {
    if (::WaitForSingleObject(m_pi.hProcess, 0) == WAIT_TIMEOUT) {
      ::TerminateProcess(m_pi.hProcess, 1);
      ::WaitForSingleObject(m_pi.hProcess, 10000);
    }
    ::CloseHandle(m_pi.hThread);
    ::CloseHandle(m_pi.hProcess);
  }
  if (m_hDesktop) ::CloseDesktop(m_hDesktop);
}

std::vector<HWND> CWizardProcess::TopLevelWindows() {
  std::vector<HWND> all;
  if (!m_hDesktop) {
    m_hDesktop = ::OpenDesktopA(kWizardDesktop, 0, FALSE,
                                DESKTOP_READOBJECTS | DESKTOP_ENUMERATE | GENERIC_READ);
  }
  if (m_hDesktop) {
    ::EnumDesktopWindows(m_hDesktop, &CollectTopLevel, reinterpret_cast<LPARAM>(&all));
  } else {
    ::EnumWindows(&CollectTopLevel, reinterpret_cast<LPARAM>(&all));
  }
  std::vector<HWND> own;
  for (HWND hWnd : all) {
    DWORD dwProcessId = 0;
    ::GetWindowThreadProcessId(hWnd, &dwProcessId);
    if (dwProcessId == m_pi.dwProcessId && IsShown(hWnd)) own.push_back(hWnd);
  }
  return own;
}

HWND CWizardProcess::Sheet(DWORD dwTimeoutMs) {
  if (m_hSheet && ::IsWindow(m_hSheet)) return m_hSheet;
  WaitFor(
      [this] {
        for (HWND hWnd : TopLevelWindows()) {
          if (WindowText(hWnd) == kWizardTitle && ::GetDlgItem(hWnd, IDCANCEL)) {
            m_hSheet = hWnd;
            return true;
          }
        }
        return false;
      },
      dwTimeoutMs);
  return m_hSheet;
}

HWND CWizardProcess::CurrentPage() {
  DWORD_PTR nResult = 0;
  if (!Sheet(0)) return NULL;
  ::SendMessageTimeoutA(m_hSheet, PSM_GETCURRENTPAGEHWND, 0, 0, SMTO_ABORTIFHUNG, 5000,
                        &nResult);
  return reinterpret_cast<HWND>(nResult);
}

HWND CWizardProcess::WaitForPageWithText(const std::string& strText, DWORD dwTimeoutMs) {
  HWND hFound = NULL;
  WaitFor(
      [&] {
        HWND hPage = CurrentPage();
        if (!hPage) return false;
        for (const std::string& s : ChildTexts(hPage, "Static")) {
          if (s == strText) {
            hFound = hPage;
            return true;
          }
        }
        return false;
      },
      dwTimeoutMs);
  return hFound;
}

SButtonState CWizardProcess::Button(int nId) {
  HWND hButton = Sheet(0) ? ::GetDlgItem(m_hSheet, nId) : NULL;
  SButtonState state = {hButton && IsShown(hButton),
                        hButton && ::IsWindowEnabled(hButton) != FALSE};
  return state;
}

bool CWizardProcess::WaitForButtons(bool bBack, bool bNext, bool bFinish, bool bCancel,
                                    DWORD dwTimeoutMs) {
  return WaitFor(
      [&] {
        return Button(0x3023).Offered() == bBack && Button(0x3024).Offered() == bNext &&
               Button(0x3025).Offered() == bFinish && Button(IDCANCEL).Offered() == bCancel;
      },
      dwTimeoutMs);
}

void CWizardProcess::Press(int nPsButton) {
  if (Sheet(0)) ::PostMessageA(m_hSheet, PSM_PRESSBUTTON, nPsButton, 0);
}

HWND CWizardProcess::FindMessageBox() {
  for (HWND hWnd : TopLevelWindows()) {
    char szClass[64] = "";
    ::GetClassNameA(hWnd, szClass, sizeof(szClass));
    if (hWnd != m_hSheet && lstrcmpA(szClass, "#32770") == 0) return hWnd;
  }
  return NULL;
}

HWND CWizardProcess::WaitForMessageBox(DWORD dwTimeoutMs) {
  HWND hBox = NULL;
  WaitFor([&] { return (hBox = FindMessageBox()) != NULL; }, dwTimeoutMs);
  return hBox;
}

void CWizardProcess::Answer(HWND hBox, int nId) {
  ::PostMessageA(hBox, WM_COMMAND, MAKEWPARAM(nId, BN_CLICKED),
                 reinterpret_cast<LPARAM>(::GetDlgItem(hBox, nId)));
}

DWORD CWizardProcess::WaitForExit(DWORD dwTimeoutMs) {
  if (!m_pi.hProcess) return STILL_ACTIVE;
  if (::WaitForSingleObject(m_pi.hProcess, dwTimeoutMs) != WAIT_OBJECT_0) return STILL_ACTIVE;
  DWORD dwExitCode = STILL_ACTIVE;
  ::GetExitCodeProcess(m_pi.hProcess, &dwExitCode);
  return dwExitCode;
}

bool CWizardProcess::Screenshot(HWND hWnd, const std::string& strPngPath) {
  RECT rc = {};
  if (!::GetWindowRect(hWnd, &rc)) return false;
  // Let the last posted button changes and repaints land first.
  ::Sleep(300);
  return SaveScreenshot(kWizardDesktop, rc, strPngPath);
}

}  // namespace HVTest
