// The program entry: the wizard, and after it, if the user asked for it, the restart.
#include "Global.h"
#include "diag/DebugTrace.h"
#include "ui/Sheet.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  HWND hWndOwner = ::GetActiveWindow();
  INT_PTR nResult = CSheet().ShowModal(hWndOwner);  // sheet and worker gone after this
  if (ID_PSREBOOTSYSTEM == nResult) {
    HRESULT hr = RebootSystem();
    if (FAILED(hr)) {
      HV_TRACE_STATUS("WinMain", "RebootSystem()", hr);
    }
  }
  return 0;
}
