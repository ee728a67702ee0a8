// The wizard under a real window: the x86-64 build runs on the wizard desktop of the
// test prefix and is driven from this program as a user would, by its buttons and
// message boxes. The test build of the wizard (RestartRecorder.cpp linked in) never
// restarts anything; it records the restart request instead.
#include <windows.h>
#include <commctrl.h>
#include <prsht.h>

#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "WizardDriver.h"
#include "support/TestSupport.h"

using HVTest::CWizardProcess;
using HVTest::WaitFor;

namespace {

const char kWelcomeText[] =
    "This Clean Up Wizard will remove the current version of Corvelle and Mendora from your "
    "machine.  It will not remove the Antivirus component, however.  You should run "
    "TessalyAVCleanup.exe first if you want to remove AV.";
const char kPressNext[] = "Press \"Next\" to begin the clean up process.";
const char kProgressText[] = "Cleanup in progress...";
const char kCompleteText[] = "Clean up complete.";
const char kNoRestartNote[] = "You can now re-install your copy of Corvelle or Mendora.";
const char kRestartNote[] =
    "You can re-install your copy of Corvelle or Mendora after restarting your machine.";
const char kCancelQuestion[] = "Are you sure you want to cancel the clean up process?";

const int kBack = 0x3023, kNext = 0x3024, kFinish = 0x3025;

// Where the run finds the product's install folder: the wizard reads InstallDir once,
// so pointing it at a scratch folder keeps every removal inside the test's own ground.
const char kMendoraKey[] = "SOFTWARE\\Halvern\\Mendora";
const char kWorkFolder[] = "C:\\hvtest\\wizard";
const char kInstallFolder[] = "C:\\hvtest\\wizard\\Mendora";
const char kRecordFile[] = "C:\\hvtest\\wizard\\record.txt";
const char kSessionManager[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";

std::string ModuleFolder() {
  char szPath[MAX_PATH] = "";
  ::GetModuleFileNameA(NULL, szPath, MAX_PATH);
  std::string str = szPath;
  return str.substr(0, str.find_last_of('\\'));
}

// The test build of the wizard lies beside this program; the product's x86-64 build
// where the build puts it.
std::string TestWizard() { return ModuleFolder() + "\\TessalyCleanUp.exe"; }
std::string ProductWizard() { return HV_PRODUCT_EXE; }
std::string ScreenshotPath(const char* szName) {
  ::CreateDirectoryA(HV_SCREENSHOT_DIR, NULL);
  return std::string(HV_SCREENSHOT_DIR) + "\\" + szName;
}

// The script line list as the worker builds it, read from the program's own resources:
// the number of lines (the bar's range) and of entries (the removal operations).
struct SScriptCounts {
  size_t cLines = 0;
  size_t cEntries = 0;
};

SScriptCounts CountScripts(const std::string& strExe) {
  SScriptCounts counts;
  HMODULE hModule = ::LoadLibraryExA(strExe.c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE);
  if (!hModule) return counts;
  for (const char* szName : {"MD14", "CV14", "MD12", "CV12", "MD11", "CV11", "MD10", "CV10"}) {
    HRSRC hResource = ::FindResourceA(hModule, szName, "SCRIPTS");
    if (!hResource) continue;
    const char* p = static_cast<const char*>(::LockResource(::LoadResource(hModule, hResource)));
    std::string strText(p, ::strnlen(p, ::SizeofResource(hModule, hResource)));
    std::istringstream in(strText);
    std::string strLine;
    while (std::getline(in, strLine)) {
      if (!strLine.empty() && strLine.back() == '\r') strLine.pop_back();
      if (strLine.empty()) continue;
      ++counts.cLines;
      std::string strEntry = strLine.substr(0, strLine.find(';'));
      size_t nFirst = strEntry.find_first_not_of(" \t");
      if (nFirst == std::string::npos || strEntry[nFirst] == '[') continue;
      ++counts.cEntries;
    }
  }
  ::FreeLibrary(hModule);
  return counts;
}

std::map<std::string, std::string> ReadRecord() {
  std::map<std::string, std::string> record;
  std::ifstream in(kRecordFile);
  std::string strLine;
  while (std::getline(in, strLine)) {
    size_t n = strLine.find('=');
    if (n != std::string::npos) record[strLine.substr(0, n)] = strLine.substr(n + 1);
  }
  return record;
}

// Removes the restart registrations this test caused (they name the work folder) and
// leaves every other one alone.
void ForgetPendingRemovals() {
  HKEY hKey = NULL;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_READ | KEY_WRITE, &hKey)) {
    return;
  }
  DWORD cb = 0, dwType = 0;
  if (::RegQueryValueExA(hKey, "PendingFileRenameOperations", NULL, &dwType, NULL, &cb) == 0) {
    std::vector<char> data(cb + 2, '\0');
    ::RegQueryValueExA(hKey, "PendingFileRenameOperations", NULL, &dwType,
                       reinterpret_cast<BYTE*>(data.data()), &cb);
    // Pairs of source and target; an empty target means "delete".
    std::vector<std::string> items;
    for (size_t i = 0; i < cb;) {
      items.emplace_back(data.data() + i);
      i += items.back().size() + 1;
    }
    std::vector<char> kept;
    for (size_t i = 0; i + 1 < items.size(); i += 2) {
      if (items[i].find("hvtest\\wizard") != std::string::npos) continue;
      for (size_t k = i; k < i + 2; ++k) {
        kept.insert(kept.end(), items[k].begin(), items[k].end());
        kept.push_back('\0');
      }
    }
    if (kept.empty()) {
      ::RegDeleteValueA(hKey, "PendingFileRenameOperations");
    } else {
      kept.push_back('\0');
      ::RegSetValueExA(hKey, "PendingFileRenameOperations", 0, REG_MULTI_SZ,
                       reinterpret_cast<const BYTE*>(kept.data()),
                       static_cast<DWORD>(kept.size()));
    }
  }
  ::RegCloseKey(hKey);
}

// An installed-looking Mendora: the product key with its InstallDir, and the install
// folder with a file. Everything goes again at the end.
class CInstallation {
 public:
  CInstallation() {
    HVTest::RemoveTree(kWorkFolder);
    ::CreateDirectoryA("C:\\hvtest", NULL);
    ::CreateDirectoryA(kWorkFolder, NULL);
    ::CreateDirectoryA(kInstallFolder, NULL);
    HVTest::WriteFileBytes(std::string(kInstallFolder) + "\\Mendora.exe", "MZ");
    HVTest::RegSetString(HKEY_LOCAL_MACHINE, kMendoraKey, "InstallDir", kInstallFolder);
  }
  ~CInstallation() {
    if (m_hHeld != INVALID_HANDLE_VALUE) ::CloseHandle(m_hHeld);
    HVTest::RegDeleteTreeIn(HKEY_LOCAL_MACHINE, kMendoraKey);
    HVTest::RemoveTree(kWorkFolder);
    ForgetPendingRemovals();
  }
  CInstallation(const CInstallation&) = delete;
  CInstallation& operator=(const CInstallation&) = delete;

  // A file of the product that is in use for the whole run: without delete sharing it
  // cannot be removed now, only at the next restart.
  void HoldFileOpen() {
    std::string strPath = std::string(kInstallFolder) + "\\MDCore.dll";
    m_hHeld = ::CreateFileA(strPath.c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(m_hHeld, INVALID_HANDLE_VALUE);
  }

 private:
  HANDLE m_hHeld = INVALID_HANDLE_VALUE;
};

class WizardWindow : public ::testing::Test {
 protected:
  void SetUp() override { ::DeleteFileA(kRecordFile); }

  // Next on the welcome page, then the progress page until the finish page shows.
  HWND RunToFinishPage(CWizardProcess& wizard) {
    EXPECT_TRUE(wizard.WaitForPageWithText(kPressNext, 20000));
    EXPECT_TRUE(wizard.WaitForButtons(false, true, false, true, 10000));
    wizard.Press(PSBTN_NEXT);
    return wizard.WaitForPageWithText(kCompleteText, 120000);
  }

  CInstallation m_oInstallation;
  HVTest::CTraceFile m_oTrace;
};

std::map<std::string, std::string> RecorderEnvironment(DWORD dwDelayMs = 0) {
  std::map<std::string, std::string> env = {{"HV_TEST_RECORD", kRecordFile}};
  if (dwDelayMs) env["HV_TEST_OPERATION_DELAY_MS"] = std::to_string(dwDelayMs);
  return env;
}

bool Contains(const std::vector<std::string>& texts, const std::string& str) {
  for (const auto& s : texts) {
    if (s == str) return true;
  }
  return false;
}

// The wizard's own trace lines (the trace file also holds this program's).
std::vector<std::vector<std::string>> WizardTraces(const HVTest::CTraceFile& trace) {
  std::vector<std::vector<std::string>> lines;
  for (const auto& fields : trace.Lines()) {
    if (fields.size() == 12 && fields[2].find("TessalyCleanUp.exe") != std::string::npos) {
      lines.push_back(fields);
    }
  }
  return lines;
}

// The product build on the welcome page: only Next is offered, and Cancel closes the
// wizard at once, asking nothing and running nothing.
TEST_F(WizardWindow, CancelOnTheWelcomePageClosesWithoutQuestionAndRemovesNothing) {
  CWizardProcess wizard(ProductWizard(), {});
  ASSERT_TRUE(wizard.Started()) << ProductWizard();
  ASSERT_TRUE(wizard.Sheet()) << "no wizard window";
  HWND hPage = wizard.WaitForPageWithText(kPressNext, 20000);
  ASSERT_TRUE(hPage);
  EXPECT_TRUE(Contains(HVTest::ChildTexts(hPage, "Static"), kWelcomeText));
  EXPECT_TRUE(wizard.WaitForButtons(false, true, false, true, 10000))
      << "welcome page: only Next and Cancel";
  EXPECT_TRUE(wizard.Screenshot(wizard.Sheet(), ScreenshotPath("page1.png")));

  wizard.Press(PSBTN_CANCEL);
  EXPECT_EQ(wizard.WaitForExit(20000), 0u);
  EXPECT_FALSE(wizard.FindMessageBox());

  EXPECT_TRUE(HVTest::PathExists(std::string(kInstallFolder) + "\\Mendora.exe"));
  EXPECT_TRUE(HVTest::RegValueExists(HKEY_LOCAL_MACHINE, kMendoraKey, "InstallDir"));
  // The worker never ran: not even the path variables were worked out.
  for (const auto& fields : WizardTraces(m_oTrace)) {
    ADD_FAILURE() << "unexpected trace: " << fields[5] << ": " << fields[1];
  }
}

// Next starts the clean-up: the buttons go off, the bar climbs to the number of script
// lines, and the wizard moves on to the finish page by itself. Nothing awaits a restart,
// so Finish ends the program without one.
TEST_F(WizardWindow, NextRunsTheCleanUpAndMovesToTheFinishPageByItself) {
  const SScriptCounts counts = CountScripts(TestWizard());
  ASSERT_GT(counts.cLines, 0u);

  CWizardProcess wizard(TestWizard(), RecorderEnvironment(10));
  ASSERT_TRUE(wizard.Sheet()) << "no wizard window";
  ASSERT_TRUE(wizard.WaitForPageWithText(kPressNext, 20000));
  ASSERT_TRUE(wizard.WaitForButtons(false, true, false, true, 10000));
  wizard.Press(PSBTN_NEXT);

  HWND hProgress = wizard.WaitForPageWithText(kProgressText, 20000);
  ASSERT_TRUE(hProgress);
  HWND hBar = ::GetDlgItem(hProgress, 1002);
  EXPECT_TRUE(wizard.WaitForButtons(false, false, false, true, 10000))
      << "progress page: only Cancel";
  LRESULT nRange = 0, nSeen = 0;
  EXPECT_TRUE(WaitFor(
      [&] {
        nRange = ::SendMessageA(hBar, PBM_GETRANGE, FALSE, 0);
        nSeen = ::SendMessageA(hBar, PBM_GETPOS, 0, 0);
        return nRange > 0 && nSeen > nRange / 3;
      },
      30000));
  EXPECT_EQ(static_cast<size_t>(nRange), counts.cLines);
  if (wizard.CurrentPage() == hProgress) {
    EXPECT_TRUE(wizard.Screenshot(wizard.Sheet(), ScreenshotPath("page2.png")));
  }

  HWND hFinish = wizard.WaitForPageWithText(kCompleteText, 120000);
  ASSERT_TRUE(hFinish) << "the wizard did not move on to the finish page";
  EXPECT_FALSE(wizard.FindMessageBox()) << "the fallback box of a refused switch";
  EXPECT_TRUE(WaitFor([&] { return ::SendMessageA(hBar, PBM_GETPOS, 0, 0) == nRange; }, 5000))
      << "the bar is not full";

  EXPECT_TRUE(wizard.WaitForButtons(false, false, true, false, 10000))
      << "finish page: only Finish";
  EXPECT_FALSE(wizard.Button(IDCANCEL).bVisible);
  EXPECT_TRUE(Contains(HVTest::ChildTexts(hFinish, "Static"), kNoRestartNote));
  EXPECT_FALSE(HVTest::IsShown(::GetDlgItem(hFinish, 1003)));
  EXPECT_TRUE(wizard.Screenshot(wizard.Sheet(), ScreenshotPath("page3.png")));

  wizard.Press(PSBTN_FINISH);
  EXPECT_EQ(wizard.WaitForExit(20000), 0u);
  auto record = ReadRecord();
  EXPECT_EQ(record.count("restart"), 0u) << "a restart was requested";
  EXPECT_EQ(record["operations"], std::to_string(counts.cEntries));
}

// Cancel on the progress page asks first. No: the run goes on to the finish page.
// Yes: the wizard closes, and the worker is stopped after that, before its last line.
struct SCancelCase {
  const char* szName;
  int nAnswer;
};

void PrintTo(const SCancelCase& c, std::ostream* os) { *os << c.szName; }

class CancelOnProgressPage : public WizardWindow,
                             public ::testing::WithParamInterface<SCancelCase> {};

TEST_P(CancelOnProgressPage, AsksAndHonoursTheAnswer) {
  const SScriptCounts counts = CountScripts(TestWizard());
  // Slow enough to answer the question long before the run ends.
  CWizardProcess wizard(TestWizard(), RecorderEnvironment(40));
  ASSERT_TRUE(wizard.Sheet()) << "no wizard window";
  ASSERT_TRUE(wizard.WaitForPageWithText(kPressNext, 20000));
  ASSERT_TRUE(wizard.WaitForButtons(false, true, false, true, 10000));
  wizard.Press(PSBTN_NEXT);
  HWND hProgress = wizard.WaitForPageWithText(kProgressText, 20000);
  ASSERT_TRUE(hProgress);
  ASSERT_TRUE(wizard.WaitForButtons(false, false, false, true, 10000));
  HWND hBar = ::GetDlgItem(hProgress, 1002);

  wizard.Press(PSBTN_CANCEL);
  HWND hBox = wizard.WaitForMessageBox(10000);
  ASSERT_TRUE(hBox) << "no question";
  EXPECT_EQ(HVTest::WindowText(hBox), HVTest::kWizardTitle);
  EXPECT_TRUE(Contains(HVTest::ChildTexts(hBox, "Static"), kCancelQuestion));
  EXPECT_TRUE(::GetDlgItem(hBox, IDYES) && ::GetDlgItem(hBox, IDNO));
  // The worker is not held back while the question is open.
  LRESULT nBefore = ::SendMessageA(hBar, PBM_GETPOS, 0, 0);
  EXPECT_TRUE(WaitFor([&] { return ::SendMessageA(hBar, PBM_GETPOS, 0, 0) > nBefore; }, 10000));
  if (GetParam().nAnswer == IDNO) {
    EXPECT_TRUE(wizard.Screenshot(hBox, ScreenshotPath("page2-cancel-question.png")));
  }
  wizard.Answer(hBox, GetParam().nAnswer);

  if (GetParam().nAnswer == IDNO) {
    EXPECT_TRUE(WaitFor([&] { return !::IsWindow(hBox); }, 10000));
    EXPECT_EQ(wizard.CurrentPage(), hProgress);
    EXPECT_TRUE(wizard.WaitForButtons(false, false, false, true, 5000));
    LRESULT nAfter = ::SendMessageA(hBar, PBM_GETPOS, 0, 0);
    EXPECT_TRUE(WaitFor([&] { return ::SendMessageA(hBar, PBM_GETPOS, 0, 0) > nAfter; }, 10000))
        << "the run stopped after No";
    ASSERT_TRUE(wizard.WaitForPageWithText(kCompleteText, 120000));
    wizard.Press(PSBTN_FINISH);
    EXPECT_EQ(wizard.WaitForExit(20000), 0u);
    EXPECT_EQ(ReadRecord()["operations"], std::to_string(counts.cEntries));
  } else {
    EXPECT_EQ(wizard.WaitForExit(20000), 0u);
    auto record = ReadRecord();
    EXPECT_LT(std::stoul(record["operations"]), counts.cEntries) << "the run was not stopped";
    EXPECT_EQ(record["exit_worker_thread"], "ended");
    EXPECT_EQ(record.count("restart"), 0u);
    for (const auto& fields : WizardTraces(m_oTrace)) {
      EXPECT_NE(fields[1], "The worker thread refused to stop");
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Answers, CancelOnProgressPage,
                         ::testing::Values(SCancelCase{"No", IDNO}, SCancelCase{"Yes", IDYES}),
                         [](const auto& info) { return std::string(info.param.szName); });

// A file of the product stays in use, so the run registers it for the next restart and
// the finish page offers the restart, ticked. What Finish then does depends on the box
// and on whether Windows accepts the request.
struct SRestartCase {
  const char* szName;
  bool bUntick;
  const char* szRestartError;  // NULL: the request is accepted
  const char* szErrorTraced;   // the error of the restart's failure trace
  const char* szStatusTraced;  // the status of WinMain's trace
};

void PrintTo(const SRestartCase& c, std::ostream* os) { *os << c.szName; }

class FinishWithPendingRestart : public WizardWindow,
                                 public ::testing::WithParamInterface<SRestartCase> {};

TEST_P(FinishWithPendingRestart, RestartsOnlyAfterTheWizardHasGone) {
  const SRestartCase& c = GetParam();
  m_oInstallation.HoldFileOpen();
  auto env = RecorderEnvironment();
  if (c.szRestartError) env["HV_TEST_RESTART_ERROR"] = c.szRestartError;
  CWizardProcess wizard(TestWizard(), env);
  ASSERT_TRUE(wizard.Sheet()) << "no wizard window";
  HWND hFinish = RunToFinishPage(wizard);
  ASSERT_TRUE(hFinish);

  EXPECT_TRUE(wizard.WaitForButtons(false, false, true, false, 10000));
  EXPECT_TRUE(Contains(HVTest::ChildTexts(hFinish, "Static"), kRestartNote));
  HWND hBox = ::GetDlgItem(hFinish, 1003);
  EXPECT_TRUE(HVTest::IsShown(hBox));
  EXPECT_EQ(HVTest::WindowText(hBox), "Restart my machine now");
  EXPECT_EQ(::SendMessageA(hBox, BM_GETCHECK, 0, 0), BST_CHECKED);
  if (!c.bUntick && !c.szRestartError) {
    EXPECT_TRUE(wizard.Screenshot(wizard.Sheet(), ScreenshotPath("page3-restart.png")));
  }
  if (c.bUntick) {
    ::PostMessageA(hBox, BM_CLICK, 0, 0);
    EXPECT_TRUE(WaitFor([&] { return ::SendMessageA(hBox, BM_GETCHECK, 0, 0) == BST_UNCHECKED; },
                        5000));
  }

  wizard.Press(PSBTN_FINISH);
  EXPECT_EQ(wizard.WaitForExit(20000), 0u);
  auto record = ReadRecord();
  // Level and message; the entry's trace also with its line.
  std::vector<std::string> rebootTraces, entryTraces;
  for (const auto& fields : WizardTraces(m_oTrace)) {
    if (fields[5] == "RebootSystem") rebootTraces.push_back(fields[0] + " " + fields[1]);
    if (fields[5] == "WinMain") {
      entryTraces.push_back(fields[0] + " " + fields[1] + " @" + fields[6]);
    }
  }
  if (c.bUntick) {
    EXPECT_EQ(record.count("restart"), 0u) << "restart requested with the box unticked";
    EXPECT_TRUE(rebootTraces.empty() && entryTraces.empty());
    return;
  }
  ASSERT_EQ(record["restart"], "called");
  EXPECT_EQ(record["flags"], "0x2");
  EXPECT_EQ(record["reason"], "0x80040001");
  EXPECT_EQ(record["wizard_window"], "destroyed");
  EXPECT_EQ(record["worker_started"], "yes");
  EXPECT_EQ(record["worker_handle"], "closed");
  EXPECT_EQ(record["worker_thread"], "ended");
  if (!c.szRestartError) {
    EXPECT_TRUE(rebootTraces.empty()) << rebootTraces.front();
    EXPECT_TRUE(entryTraces.empty()) << entryTraces.front();
    return;
  }
  ASSERT_EQ(rebootTraces.size(), 1u);
  EXPECT_EQ(rebootTraces[0],
            std::string("128 FAILED: ::ExitWindowsEx(0x00000002, 0x00040000 | 0x00000001 | "
                        "0x80000000) - GetLastError = ") + c.szErrorTraced);
  ASSERT_EQ(entryTraces.size(), 1u);
  EXPECT_EQ(entryTraces[0], std::string("4 RebootSystem() - ") + c.szStatusTraced + " @12");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FinishWithPendingRestart,
    ::testing::Values(SRestartCase{"Ticked", false, NULL, NULL, NULL},
                      SRestartCase{"Unticked", true, NULL, NULL, NULL},
                      SRestartCase{"RefusedWithError5", false, "5", "5", "0x80070005"},
                      SRestartCase{"RefusedWithoutError", false, "0", "31", "0x8007001f"}),
    [](const auto& info) { return std::string(info.param.szName); });

// If the restart box cannot be ticked, the page says so in the trace and goes on: the
// box is offered unticked, and Finish as it stands requests no restart.
TEST_F(WizardWindow, AFailedTickOffersTheRestartBoxUntickedAndIsTraced) {
  m_oInstallation.HoldFileOpen();
  auto env = RecorderEnvironment();
  env["HV_TEST_CHECKBOX_ERROR"] = "1400";
  CWizardProcess wizard(TestWizard(), env);
  ASSERT_TRUE(wizard.Sheet()) << "no wizard window";
  HWND hFinish = RunToFinishPage(wizard);
  ASSERT_TRUE(hFinish);
  EXPECT_TRUE(wizard.WaitForButtons(false, false, true, false, 10000));
  EXPECT_TRUE(Contains(HVTest::ChildTexts(hFinish, "Static"), kRestartNote));
  HWND hBox = ::GetDlgItem(hFinish, 1003);
  EXPECT_TRUE(HVTest::IsShown(hBox));
  EXPECT_EQ(::SendMessageA(hBox, BM_GETCHECK, 0, 0), BST_UNCHECKED);

  wizard.Press(PSBTN_FINISH);
  EXPECT_EQ(wizard.WaitForExit(20000), 0u);
  EXPECT_EQ(ReadRecord().count("restart"), 0u);
  std::vector<std::string> pageTraces;
  for (const auto& fields : WizardTraces(m_oTrace)) {
    if (fields[5] == "CPage3::OnSetActive") {
      pageTraces.push_back(fields[0] + " " + fields[1] + " " + fields[4] + ":" + fields[6]);
    }
  }
  ASSERT_EQ(pageTraces.size(), 1u);
  EXPECT_EQ(pageTraces[0], "1 CheckDlgButton(IDC_CHECK1, BST_CHECKED) - 1400 Page3.cpp:40");
}

// The wizard desktop goes with this program.
class CWizardDesktopEnvironment : public ::testing::Environment {
 public:
  void TearDown() override { HVTest::CloseWizardDesktop(); }
};

const auto* g_pWizardDesktop =
    ::testing::AddGlobalTestEnvironment(new CWizardDesktopEnvironment);

}  // namespace
