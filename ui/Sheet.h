// The wizard: the property sheet that frames the three pages. It owns the page objects
// and, until the platform takes them over, their page handles.
#pragma once

#include <windows.h>
#include <commctrl.h>
#include <prsht.h>

#include <vector>

#include "ui/Page1.h"
#include "ui/Page2.h"
#include "ui/Page3.h"

// The handles of the created pages, in page order. Whatever is still listed when the
// list ends is destroyed; handles the platform has taken over are released from it.
class CPageHandleList {
 public:
  CPageHandleList() = default;
  ~CPageHandleList();
  CPageHandleList(const CPageHandleList&) = delete;
  CPageHandleList& operator=(const CPageHandleList&) = delete;

  // False when the list cannot grow; the caller still owns the handle then.
  bool Append(HPROPSHEETPAGE hPage);
  // Forgets every handle without destroying it: the platform owns them now.
  void Release() { m_rgPages.clear(); }

  HPROPSHEETPAGE* Data() { return m_rgPages.empty() ? NULL : m_rgPages.data(); }
  UINT Count() const { return static_cast<UINT>(m_rgPages.size()); }

 private:
  std::vector<HPROPSHEETPAGE> m_rgPages;
};

class CSheet {
 public:
  CSheet();
  ~CSheet() = default;
  CSheet(const CSheet&) = delete;
  CSheet& operator=(const CSheet&) = delete;

  // Shows the wizard modally. ID_PSREBOOTSYSTEM when the finish page asked for a
  // restart; anything else (IDCANCEL, Finish without restart, -1 when the sheet cannot
  // be shown) means no restart.
  INT_PTR ShowModal(HWND hWndOwner);

 private:
  friend struct TSheetHandlerTable;

  static int CALLBACK SheetCallback(HWND hWnd, UINT uMsg, LPARAM lParam);
  static LRESULT CALLBACK WindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam,
                                     UINT_PTR uIdSubclass, DWORD_PTR dwRefData);
  void Attach(HWND hWnd);
  LRESULT OnNcDestroy(UINT uMsg, WPARAM wParam, LPARAM lParam);

  PROPSHEETHEADERA m_psh;
  CPageHandleList m_oPageHandles;
  CPage1 m_oPage1;
  CPage2 m_oPage2;
  CPage3 m_oPage3;
  // The sheet window while the object is attached to it.
  HWND m_hWnd;
};
