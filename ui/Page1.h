// The welcome page: what the clean-up removes and what it does not; offers only Next.
#pragma once

#include "ui/Page.h"

class CPage1 : public TPageImpl<CPage1> {
 public:
  CPage1();

 private:
  friend class TPageImpl<CPage1>;
  LRESULT OnInitDialog(WPARAM wParam, LPARAM lParam);
  LRESULT OnSetActive(WPARAM wParam, LPARAM lParam);

  static const TPageHandler<CPage1> s_rgHandlers[2];
};
