// The finish page: reports the clean-up complete, offers only Finish, and offers a
// restart when something awaits the next start of Windows.
#pragma once

#include "ui/Page.h"

class CPage3 : public TPageImpl<CPage3> {
 public:
  CPage3();

 private:
  friend class TPageImpl<CPage3>;
  LRESULT OnInitDialog(WPARAM wParam, LPARAM lParam);
  LRESULT OnSetActive(WPARAM wParam, LPARAM lParam);
  LRESULT OnWizardFinish(WPARAM wParam, LPARAM lParam);

  static const TPageHandler<CPage3> s_rgHandlers[3];
};
