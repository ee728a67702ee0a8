#include "ui/Sheet.h"

#include <cstddef>
#include <map>
#include <mutex>
#include <new>

namespace {

// The sheet being shown, per thread, for the sheet callback, which the platform calls
// without any reference data.
std::mutex g_oLock;
std::map<DWORD, CSheet*> g_oShowing;

void RegisterShowing(CSheet* pSheet) {
  std::lock_guard<std::mutex> oGuard(g_oLock);
  if (pSheet) {
    g_oShowing[::GetCurrentThreadId()] = pSheet;
  } else {
    g_oShowing.erase(::GetCurrentThreadId());
  }
}

CSheet* FindShowing() {
  std::lock_guard<std::mutex> oGuard(g_oLock);
  auto it = g_oShowing.find(::GetCurrentThreadId());
  return it == g_oShowing.end() ? NULL : it->second;
}

const UINT_PTR kSubclassId = 1;

// The header up to and including the wizard-97 fields (52 bytes on i686). The SDK's
// PROPSHEETHEADERA_V2_SIZE does not compile with these headers.
constexpr DWORD kHeaderSize = offsetof(PROPSHEETHEADERA, hbmHeader) + sizeof(HBITMAP);
#ifndef _WIN64
static_assert(kHeaderSize == 52, "sheet description size");
#endif

}  // namespace

// The sheet's handler table: everything not listed goes to the platform's sheet
// procedure unchanged.
struct TSheetHandlerTable {
  struct SRow {
    UINT uMsg;
    LRESULT (CSheet::*pfnHandler)(UINT uMsg, WPARAM wParam, LPARAM lParam);
  };
  static const SRow s_rgRows[1];
};

const TSheetHandlerTable::SRow TSheetHandlerTable::s_rgRows[1] = {
    {WM_NCDESTROY, &CSheet::OnNcDestroy},
};

CPageHandleList::~CPageHandleList() {
  for (HPROPSHEETPAGE hPage : m_rgPages) ::DestroyPropertySheetPage(hPage);
}

bool CPageHandleList::Append(HPROPSHEETPAGE hPage) {
  try {
    m_rgPages.push_back(hPage);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

CSheet::CSheet() : m_psh(), m_hWnd(NULL) {
  m_psh.dwSize = kHeaderSize;
  m_psh.dwFlags = PSH_USECALLBACK;
  m_psh.hInstance = ::GetModuleHandleA(NULL);
  m_psh.pfnCallback = &CSheet::SheetCallback;

  m_psh.dwFlags |= PSH_WIZARD;
  CPage* rgpPages[] = {&m_oPage1, &m_oPage2, &m_oPage3};
  for (CPage* pPage : rgpPages) {
    HPROPSHEETPAGE hPage = pPage->Create();
    if (!hPage) continue;
    if (!m_oPageHandles.Append(hPage)) ::DestroyPropertySheetPage(hPage);
  }
}

INT_PTR CSheet::ShowModal(HWND hWndOwner) {
  m_psh.dwFlags &= ~static_cast<DWORD>(PSH_MODELESS);
  if (!m_psh.hwndParent) m_psh.hwndParent = hWndOwner;
  m_psh.phpage = m_oPageHandles.Data();
  m_psh.nPages = m_oPageHandles.Count();

  RegisterShowing(this);
  INT_PTR nResult = ::PropertySheetA(&m_psh);
  RegisterShowing(NULL);

  m_psh.phpage = NULL;
  m_psh.nPages = 0;
  m_oPageHandles.Release();
  return nResult;
}

int CALLBACK CSheet::SheetCallback(HWND hWnd, UINT uMsg, LPARAM) {
  if (uMsg != PSCB_INITIALIZED) return 0;
  try {
    CSheet* pSheet = FindShowing();
    if (pSheet) {
      pSheet->Attach(hWnd);
      pSheet->m_oPageHandles.Release();
    }
  } catch (...) {
  }
  return 0;
}

void CSheet::Attach(HWND hWnd) {
  if (::SetWindowSubclass(hWnd, &CSheet::WindowProc, kSubclassId,
                          reinterpret_cast<DWORD_PTR>(this))) {
    m_hWnd = hWnd;
  }
}

LRESULT CALLBACK CSheet::WindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam,
                                    UINT_PTR, DWORD_PTR dwRefData) {
  try {
    CSheet* pSheet = reinterpret_cast<CSheet*>(dwRefData);
    for (const auto& row : TSheetHandlerTable::s_rgRows) {
      if (row.uMsg == uMsg) return (pSheet->*row.pfnHandler)(uMsg, wParam, lParam);
    }
  } catch (...) {
  }
  return ::DefSubclassProc(hWnd, uMsg, wParam, lParam);
}

// The window goes away: detach, then let the platform finish its own clean-up.
LRESULT CSheet::OnNcDestroy(UINT uMsg, WPARAM wParam, LPARAM lParam) {
  HWND hWnd = m_hWnd;
  m_hWnd = NULL;
  LRESULT lResult = ::DefSubclassProc(hWnd, uMsg, wParam, lParam);
  ::RemoveWindowSubclass(hWnd, &CSheet::WindowProc, kSubclassId);
  return lResult;
}
