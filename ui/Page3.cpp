// The finish page. The restart it offers is only asked for here (PSM_REBOOTSYSTEM);
// WinMain requests it from Windows once the wizard and the worker are gone.
#include "ui/Page3.h"

#include "HVSys.h"
#include "diag/DebugTrace.h"
#include "engine/WorkerThread.h"
#include "resource.h"

// Every other notification gets the page default; PSN_QUERYCANCEL among them, so the
// title bar's close button ends the wizard without a question and without a restart.
const TPageHandler<CPage3> CPage3::s_rgHandlers[3] = {
    {WM_INITDIALOG, 0, &CPage3::OnInitDialog},
    {WM_NOTIFY, PSN_SETACTIVE, &CPage3::OnSetActive},
    {WM_NOTIFY, PSN_WIZFINISH, &CPage3::OnWizardFinish},
};

CPage3::CPage3() : TPageImpl<CPage3>(IDD_PAGE3) {}

LRESULT CPage3::OnInitDialog(WPARAM, LPARAM) { return 0; }

// Reached only after the worker's final message, so the reboot-required flag is
// settled. Finish alone stays; Cancel goes for good. The button changes are posted and
// land in this order once the switch to this page is complete.
LRESULT CPage3::OnSetActive(WPARAM, LPARAM) {
  HWND hSheet = Sheet();
  ::PostMessageA(hSheet, PSM_SETWIZBUTTONS, 0, 0);
  ::PostMessageA(hSheet, PSM_SETWIZBUTTONS, 0, PSWIZB_FINISH);
  ::ShowWindow(::GetDlgItem(hSheet, IDCANCEL), SW_HIDE);
  if (!IsRebootRequired()) return 0;

  // Something awaits the next start of Windows: say so, and offer the restart ticked.
  char szNote[512] = "";
  ::LoadStringA(::GetModuleHandleA(NULL), IDS_RESTARTNOTE, szNote, sizeof(szNote));
  ::SetDlgItemTextA(m_hWnd, IDC_MESSAGE, szNote);
  ::ShowWindow(::GetDlgItem(m_hWnd, IDC_CHECK1), SW_SHOW);
  // If the tick fails, the box is still there for the user to tick.
  BOOL bChecked = HV::Sys::CheckDlgButton(m_hWnd, IDC_CHECK1, BST_CHECKED);
  if (!bChecked) {
    HV_TRACE_LASTERROR("CPage3::OnSetActive", "CheckDlgButton(IDC_CHECK1, BST_CHECKED)");
  }
  return 0;
}

// Only a ticked box asks for the restart; the wizard finishes either way.
LRESULT CPage3::OnWizardFinish(WPARAM, LPARAM) {
  if (::IsDlgButtonChecked(m_hWnd, IDC_CHECK1) == BST_CHECKED) {
    ::SendMessageA(Sheet(), PSM_REBOOTSYSTEM, 0, 0);
  }
  return 0;
}
