#include "ui/Page2.h"

#include "resource.h"

// The worker reports through the progress bar's own messages, posted to this page.
const TPageHandler<CPage2> CPage2::s_rgHandlers[5] = {
    {WM_INITDIALOG, 0, &CPage2::OnInitDialog},
    {PBM_SETRANGE32, 0, &CPage2::OnSetRange},
    {PBM_SETPOS, 0, &CPage2::OnSetPos},
    {WM_NOTIFY, PSN_SETACTIVE, &CPage2::OnSetActive},
    {WM_NOTIFY, PSN_QUERYCANCEL, &CPage2::OnQueryCancel},
};

CPage2::CPage2() : TPageImpl<CPage2>(IDD_PAGE2) {}

LRESULT CPage2::OnInitDialog(WPARAM, LPARAM) {
  m_oWorker.m_hWndTarget = m_hWnd;
  return 0;
}

// Relayed by posting, so the bar sees range and positions in the worker's order.
LRESULT CPage2::OnSetRange(WPARAM wParam, LPARAM lParam) {
  return ::PostMessageA(::GetDlgItem(m_hWnd, IDC_PROGRESS1), PBM_SETRANGE32, wParam, lParam);
}

// A non-zero lParam is the worker's "done": move on first, then fill the bar.
LRESULT CPage2::OnSetPos(WPARAM wParam, LPARAM lParam) {
  if (lParam) OnComplete();
  return ::PostMessageA(::GetDlgItem(m_hWnd, IDC_PROGRESS1), PBM_SETPOS, wParam, 0);
}

void CPage2::OnComplete() {
  HWND hTab = reinterpret_cast<HWND>(::SendMessageA(Sheet(), PSM_GETTABCONTROL, 0, 0));
  LRESULT nIndex = ::SendMessageA(hTab, TCM_GETCURSEL, 0, 0);
  if (::SendMessageA(Sheet(), PSM_SETCURSEL, static_cast<WPARAM>(nIndex + 1), 0)) return;
  // The wizard did not switch: let the user move on.
  ::PostMessageA(Sheet(), PSM_SETWIZBUTTONS, 0, PSWIZB_NEXT);
  ::MessageBoxA(m_hWnd, "Cleanup complete.  Please click the Next button.", "HVCleanUp", MB_OK);
}

LRESULT CPage2::OnSetActive(WPARAM, LPARAM) {
  ::PostMessageA(Sheet(), PSM_SETWIZBUTTONS, 0, 0);
  // A worker that cannot start leaves the page as it is; Cancel still leaves.
  m_oWorker.Start();
  return 0;
}

// The worker goes on while the question is open and after a No; a Yes closes the
// wizard, and the worker stops when the page object goes.
LRESULT CPage2::OnQueryCancel(WPARAM, LPARAM) {
  HINSTANCE hInstance = ::GetModuleHandleA(NULL);
  char szCaption[256] = "";
  char szText[512] = "";
  ::LoadStringA(hInstance, IDS_TITLE, szCaption, sizeof(szCaption));
  ::LoadStringA(hInstance, IDS_QUERYCANCEL, szText, sizeof(szText));
  int nAnswer = ::MessageBoxA(m_hWnd, szText, szCaption, MB_YESNO | MB_ICONWARNING);
  return nAnswer == IDYES ? FALSE : TRUE;
}
