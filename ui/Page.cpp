#include "ui/Page.h"

#include <map>
#include <mutex>

#include "resource.h"

namespace {

// The page whose dialog window the platform is about to create, per thread: the page
// callback registers it just before the creation, and the dialog procedure takes it at
// the first message of the new window, which comes before WM_INITDIALOG.
std::mutex g_oLock;
std::map<DWORD, CPage*> g_oCreating;

void RegisterCreating(CPage* pPage) {
  std::lock_guard<std::mutex> oGuard(g_oLock);
  g_oCreating[::GetCurrentThreadId()] = pPage;
}

CPage* TakeCreating() {
  std::lock_guard<std::mutex> oGuard(g_oLock);
  auto it = g_oCreating.find(::GetCurrentThreadId());
  if (it == g_oCreating.end()) return NULL;
  CPage* pPage = it->second;
  g_oCreating.erase(it);
  return pPage;
}

// The property-sheet notifications that a page answers with 0 when its own table has
// no row for them; in the wizard 0 means: go ahead.
bool IsDefaultAnswered(UINT nCode) {
  switch (nCode) {
    case PSN_SETACTIVE:
    case PSN_KILLACTIVE:
    case PSN_APPLY:
    case PSN_RESET:
    case PSN_HELP:
    case PSN_WIZBACK:
    case PSN_WIZNEXT:
    case PSN_WIZFINISH:
    case PSN_QUERYCANCEL:
    case PSN_TRANSLATEACCELERATOR:
    case PSN_QUERYINITIALFOCUS:
      return true;
    default:
      return false;
  }
}

}  // namespace

// The version-3 page description: 52 bytes on i686.
#ifndef _WIN64
static_assert(sizeof(PROPSHEETPAGEA_V3) == 52, "page description size");
#endif

CPage::CPage(UINT nTemplate, PFN_DISPATCH pfnDispatch)
    : m_psp(), m_hWnd(NULL), m_pfnDispatch(pfnDispatch) {
  m_psp.dwSize = sizeof(PROPSHEETPAGEA_V3);
  m_psp.dwFlags = PSP_USETITLE | PSP_USECALLBACK;
  m_psp.hInstance = ::GetModuleHandleA(NULL);
  m_psp.pszTemplate = MAKEINTRESOURCEA(nTemplate);
  m_psp.pszTitle = MAKEINTRESOURCEA(IDS_TITLE);
  m_psp.pfnDlgProc = &CPage::DialogProc;
  m_psp.lParam = reinterpret_cast<LPARAM>(this);
  m_psp.pfnCallback = &CPage::PageCallback;
}

HPROPSHEETPAGE CPage::Create() { return ::CreatePropertySheetPageA(&m_psp); }

UINT CALLBACK CPage::PageCallback(HWND, UINT uMsg, LPPROPSHEETPAGEA ppsp) {
  if (uMsg != PSPCB_CREATE) return 0;
  try {
    if (ppsp) RegisterCreating(reinterpret_cast<CPage*>(ppsp->lParam));
  } catch (...) {
    // Unregistered, the page is still bound at WM_INITDIALOG.
  }
  return 1;
}

// The page object of a page window: bound at the window's first message to the page
// registered by the page callback, and at WM_INITDIALOG to the page that the
// platform's copy of the description names, which is the authority.
CPage* CPage::Bind(HWND hWnd, UINT uMsg, LPARAM lParam) {
  CPage* pPage = reinterpret_cast<CPage*>(::GetWindowLongPtrA(hWnd, DWLP_USER));
  if (!pPage) pPage = TakeCreating();
  if (uMsg == WM_INITDIALOG && lParam) {
    CPage* pNamed = reinterpret_cast<CPage*>(reinterpret_cast<LPPROPSHEETPAGEA>(lParam)->lParam);
    if (pNamed) pPage = pNamed;
  }
  if (pPage && pPage->m_hWnd != hWnd) {
    pPage->m_hWnd = hWnd;
    ::SetWindowLongPtrA(hWnd, DWLP_USER, reinterpret_cast<LONG_PTR>(pPage));
  }
  return pPage;
}

INT_PTR CALLBACK CPage::DialogProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  // Nothing may unwind into the platform's dialog code.
  try {
    CPage* pPage = Bind(hWnd, uMsg, lParam);
    if (!pPage) return FALSE;
    INT_PTR nResult = pPage->Dispatch(uMsg, wParam, lParam);
    if (uMsg == WM_NCDESTROY) {
      ::SetWindowLongPtrA(hWnd, DWLP_USER, 0);
      pPage->m_hWnd = NULL;
    }
    return nResult;
  } catch (...) {
    return FALSE;
  }
}

INT_PTR CPage::Dispatch(UINT uMsg, WPARAM wParam, LPARAM lParam) {
  if (uMsg == WM_NOTIFY) {
    // Only the page's own notifications and those of the sheet are the page's business.
    LPNMHDR pHeader = reinterpret_cast<LPNMHDR>(lParam);
    if (!pHeader || (pHeader->hwndFrom != m_hWnd && pHeader->hwndFrom != Sheet())) {
      return FALSE;
    }
  }

  LRESULT lResult = 0;
  bool bHandled = m_pfnDispatch(*this, uMsg, wParam, lParam, lResult);
  if (!bHandled && uMsg == WM_NOTIFY &&
      IsDefaultAnswered(reinterpret_cast<LPNMHDR>(lParam)->code)) {
    bHandled = true;
    lResult = 0;
  }
  if (!bHandled) return FALSE;
  if (uMsg == WM_INITDIALOG) return static_cast<INT_PTR>(lResult);
  ::SetWindowLongPtrA(m_hWnd, DWLP_MSGRESULT, lResult);
  return TRUE;
}
