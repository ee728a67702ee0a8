// The common part of the three wizard pages: the page description handed to the
// property sheet, and the one dialog procedure that binds each page's dialog window to
// its page object and hands the window's messages to the page's handler table.
#pragma once

#include <windows.h>
#include <commctrl.h>
#include <prsht.h>

#include <cstddef>

class CPage {
 public:
  CPage(const CPage&) = delete;
  CPage& operator=(const CPage&) = delete;

  // The page for the property sheet, or NULL when the platform refuses it.
  HPROPSHEETPAGE Create();

  // Filled at construction; lParam points back at the page object.
  PROPSHEETPAGEA m_psp;
  // The page's dialog window once the platform has created it; NULL before.
  HWND m_hWnd;

 protected:
  // Looks a message up in the page's handler table. True when the table has a row for
  // it; lResult then holds the handler's answer.
  typedef bool (*PFN_DISPATCH)(CPage& oPage, UINT uMsg, WPARAM wParam, LPARAM lParam,
                               LRESULT& lResult);

  CPage(UINT nTemplate, PFN_DISPATCH pfnDispatch);
  ~CPage() = default;

  HWND Sheet() const { return ::GetParent(m_hWnd); }

 private:
  static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
  static UINT CALLBACK PageCallback(HWND hWnd, UINT uMsg, LPPROPSHEETPAGEA ppsp);
  static CPage* Bind(HWND hWnd, UINT uMsg, LPARAM lParam);
  INT_PTR Dispatch(UINT uMsg, WPARAM wParam, LPARAM lParam);

  PFN_DISPATCH m_pfnDispatch;
};

// One row of a page's handler table: the window message and, for WM_NOTIFY, the
// notification code the row answers.
template <class TPage>
struct TPageHandler {
  UINT uMsg;
  UINT nCode;
  LRESULT (TPage::*pfnHandler)(WPARAM wParam, LPARAM lParam);
};

// Gives a page class the lookup in its own table, TPage::s_rgHandlers, tested in the
// order of its rows.
template <class TPage>
class TPageImpl : public CPage {
 protected:
  explicit TPageImpl(UINT nTemplate) : CPage(nTemplate, &TPageImpl::DispatchTable) {}

 private:
  static bool DispatchTable(CPage& oPage, UINT uMsg, WPARAM wParam, LPARAM lParam,
                            LRESULT& lResult) {
    TPage& oThis = static_cast<TPage&>(oPage);
    const UINT nCode = (uMsg == WM_NOTIFY) ? reinterpret_cast<LPNMHDR>(lParam)->code : 0;
    for (const auto& row : TPage::s_rgHandlers) {
      if (row.uMsg == uMsg && (uMsg != WM_NOTIFY || row.nCode == nCode)) {
        lResult = (oThis.*row.pfnHandler)(wParam, lParam);
        return true;
      }
    }
    return false;
  }
};
