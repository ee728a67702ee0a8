#include "ui/Page1.h"

#include "resource.h"

const TPageHandler<CPage1> CPage1::s_rgHandlers[2] = {
    {WM_INITDIALOG, 0, &CPage1::OnInitDialog},
    {WM_NOTIFY, PSN_SETACTIVE, &CPage1::OnSetActive},
};

CPage1::CPage1() : TPageImpl<CPage1>(IDD_PAGE1) {}

// The start page's window exists as soon as the wizard does: it gives the whole sheet
// its window icons. The icons live as long as the process.
LRESULT CPage1::OnInitDialog(WPARAM, LPARAM) {
  HINSTANCE hInstance = ::GetModuleHandleA(NULL);
  HANDLE hSmall = ::LoadImageA(hInstance, MAKEINTRESOURCEA(IDI_APP), IMAGE_ICON, 16, 16,
                               LR_DEFAULTCOLOR);
  HANDLE hBig = ::LoadImageA(hInstance, MAKEINTRESOURCEA(IDI_APP), IMAGE_ICON, 32, 32,
                             LR_DEFAULTCOLOR);
  ::SendMessageA(Sheet(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(hSmall));
  ::SendMessageA(Sheet(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(hBig));
  return 0;
}

LRESULT CPage1::OnSetActive(WPARAM, LPARAM) {
  ::PostMessageA(Sheet(), PSM_SETWIZBUTTONS, 0, PSWIZB_NEXT);
  return 0;
}
