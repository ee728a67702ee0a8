// The progress page: runs the clean-up on the worker thread, shows its progress and
// moves on to the finish page by itself when the worker is done.
#pragma once

#include "engine/WorkerThread.h"
#include "ui/Page.h"

class CPage2 : public TPageImpl<CPage2> {
 public:
  CPage2();

 private:
  friend class TPageImpl<CPage2>;
  LRESULT OnInitDialog(WPARAM wParam, LPARAM lParam);
  LRESULT OnSetRange(WPARAM wParam, LPARAM lParam);
  LRESULT OnSetPos(WPARAM wParam, LPARAM lParam);
  LRESULT OnSetActive(WPARAM wParam, LPARAM lParam);
  LRESULT OnQueryCancel(WPARAM wParam, LPARAM lParam);
  void OnComplete();

  static const TPageHandler<CPage2> s_rgHandlers[5];

  // Idle until the page becomes active; stopped when the page object goes, which is
  // after the wizard has closed.
  CWorkerThread m_oWorker;
};
