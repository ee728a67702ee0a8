// The run command's user when there is no screen: takes the wizard through its three
// pages as a user would and saves a picture of each.
//
//   DriveWizard WIZARD_EXE SCREENSHOT_FOLDER
//
// On the finish page a restart box, if offered, is unticked before Finish: the sandbox
// is not restarted, so that the run's report can show what awaits the restart.
#include <windows.h>
#include <commctrl.h>
#include <prsht.h>

#include <cstdio>
#include <string>

#include "WizardDriver.h"

using HVTest::CWizardProcess;

namespace {

const char kPressNext[] = "Press \"Next\" to begin the clean up process.";
const char kProgressText[] = "Cleanup in progress...";
const char kCompleteText[] = "Clean up complete.";

void PrintPage(const char* szName, HWND hPage) {
  std::printf("%s:\n", szName);
  for (const std::string& s : HVTest::ChildTexts(hPage, "Static")) {
    if (!s.empty()) std::printf("    %s\n", s.c_str());
  }
}

int Fail(const char* szWhat) {
  std::printf("DriveWizard: %s\n", szWhat);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return Fail("usage: DriveWizard WIZARD_EXE SCREENSHOT_FOLDER");
  const std::string strFolder = argv[2];
  ::CreateDirectoryA(strFolder.c_str(), NULL);
  CWizardProcess wizard(argv[1], {});
  if (!wizard.Started()) return Fail("the wizard did not start");
  if (!wizard.Sheet(60000)) return Fail("no wizard window");
  std::printf("wizard window: \"%s\"\n", HVTest::WindowText(wizard.Sheet()).c_str());

  HWND hPage = wizard.WaitForPageWithText(kPressNext, 30000);
  if (!hPage) return Fail("no welcome page");
  wizard.WaitForButtons(false, true, false, true, 10000);
  PrintPage("page 1 (welcome)", hPage);
  wizard.Screenshot(wizard.Sheet(), strFolder + "\\page1.png");
  std::printf("    -> Next\n");
  wizard.Press(PSBTN_NEXT);

  hPage = wizard.WaitForPageWithText(kProgressText, 30000);
  if (!hPage) return Fail("no progress page");
  HWND hBar = ::GetDlgItem(hPage, 1002);
  // A picture with the bar under way, if the run is not over by then.
  HVTest::WaitFor(
      [&] {
        LRESULT nRange = ::SendMessageA(hBar, PBM_GETRANGE, FALSE, 0);
        return wizard.CurrentPage() != hPage ||
               (nRange > 0 && ::SendMessageA(hBar, PBM_GETPOS, 0, 0) * 4 >= nRange);
      },
      30000);
  PrintPage("page 2 (progress)", hPage);
  if (wizard.CurrentPage() == hPage) wizard.Screenshot(wizard.Sheet(), strFolder + "\\page2.png");

  hPage = wizard.WaitForPageWithText(kCompleteText, 15 * 60 * 1000);
  if (!hPage) return Fail("the wizard did not reach its finish page");
  // The bar is filled after the switch to the finish page.
  HVTest::WaitFor(
      [&] {
        return ::SendMessageA(hBar, PBM_GETPOS, 0, 0) ==
               ::SendMessageA(hBar, PBM_GETRANGE, FALSE, 0);
      },
      5000);
  std::printf("    the bar reached %ld of %ld\n",
              static_cast<long>(::SendMessageA(hBar, PBM_GETPOS, 0, 0)),
              static_cast<long>(::SendMessageA(hBar, PBM_GETRANGE, FALSE, 0)));
  wizard.WaitForButtons(false, false, true, false, 10000);
  PrintPage("page 3 (finish)", hPage);
  HWND hBox = ::GetDlgItem(hPage, 1003);
  bool bOffered = HVTest::IsShown(hBox);
  bool bTicked = ::SendMessageA(hBox, BM_GETCHECK, 0, 0) == BST_CHECKED;
  std::printf("    restart box: %s\n",
              bOffered ? (bTicked ? "shown, ticked" : "shown, not ticked") : "not shown");
  wizard.Screenshot(wizard.Sheet(), strFolder + "\\page3.png");
  if (bOffered && bTicked) {
    std::printf("    -> untick \"Restart my machine now\" (the sandbox is not restarted)\n");
    ::PostMessageA(hBox, BM_CLICK, 0, 0);
    HVTest::WaitFor([&] { return ::SendMessageA(hBox, BM_GETCHECK, 0, 0) == BST_UNCHECKED; },
                    5000);
  }
  std::printf("    -> Finish\n");
  wizard.Press(PSBTN_FINISH);
  DWORD dwExitCode = wizard.WaitForExit(60000);
  if (dwExitCode == STILL_ACTIVE) return Fail("the wizard did not end");
  std::printf("wizard ended, exit code %lu\n", dwExitCode);
  HVTest::CloseWizardDesktop();
  return dwExitCode == 0 ? 0 : 1;
}
