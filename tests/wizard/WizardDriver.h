// Drives a wizard process from outside, as a user would: finds its window on the
// wizard's desktop, reads the pages and buttons, presses buttons and answers message
// boxes. Every wait is bounded.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace HVTest {

extern const char kWizardTitle[];
// Wine shows programs started on this desktop in a window of their own, with title
// bars drawn (Xvfb has no window manager to draw them).
extern const char kWizardDesktop[];

// Polls until the condition holds or the time is up; the condition's last answer.
template <typename TCondition>
bool WaitFor(TCondition condition, DWORD dwTimeoutMs) {
  DWORD dwStart = ::GetTickCount();
  for (;;) {
    if (condition()) return true;
    if (::GetTickCount() - dwStart >= dwTimeoutMs) return condition();
    ::Sleep(25);
  }
}

struct SButtonState {
  bool bVisible;
  bool bEnabled;
  bool Offered() const { return bVisible && bEnabled; }
};

class CWizardProcess {
 public:
  // Starts the program on the wizard desktop with these extra environment variables.
  CWizardProcess(const std::string& strExe, const std::map<std::string, std::string>& env);
  // Ends the process if a test left it running.
  ~CWizardProcess();
  CWizardProcess(const CWizardProcess&) = delete;
  CWizardProcess& operator=(const CWizardProcess&) = delete;

  bool Started() const { return m_pi.hProcess != NULL; }
  // The sheet window, once it is shown (waits for it).
  HWND Sheet(DWORD dwTimeoutMs = 20000);
  HWND CurrentPage();
  // Waits until the current page holds a static text control with this text.
  HWND WaitForPageWithText(const std::string& strText, DWORD dwTimeoutMs);

  SButtonState Button(int nId);
  // Waits until the four wizard buttons show these states (visible and enabled):
  // Back, Next, Finish, Cancel.
  bool WaitForButtons(bool bBack, bool bNext, bool bFinish, bool bCancel, DWORD dwTimeoutMs);
  // PSBTN_NEXT, PSBTN_FINISH, PSBTN_CANCEL: what a click on that button does.
  void Press(int nPsButton);

  // A message box of the wizard (a dialog of its process other than the sheet).
  HWND FindMessageBox();
  HWND WaitForMessageBox(DWORD dwTimeoutMs);
  void Answer(HWND hBox, int nId);

  // Exit code, or STILL_ACTIVE when the process has not ended in time.
  DWORD WaitForExit(DWORD dwTimeoutMs);
  // The wizard's window rectangle on its desktop, saved as a PNG file.
  bool Screenshot(HWND hWnd, const std::string& strPngPath);

 private:
  std::vector<HWND> TopLevelWindows();

  PROCESS_INFORMATION m_pi;
  HDESK m_hDesktop;
  HWND m_hSheet;
};

// Ends the process that keeps the wizard desktop (Wine's explorer for it), if there is
// one, and waits for it. Left running after the wizard, it disturbs other programs'
// use of the Desktop folder, and so of the trace file, until Wine ends it by itself.
void CloseWizardDesktop();

// Texts of a window's child controls of a class ("Static", "Button").
std::vector<std::string> ChildTexts(HWND hParent, const char* szClass);
std::string WindowText(HWND hWnd);
// Visible, as far as its own and its parents' styles go.
bool IsShown(HWND hWnd);

}  // namespace HVTest
