// The worker thread and the script runner. Scripts are served from memory through the
// resource calls where a test needs scripts of its own; the last tests run the real
// eight resources that this program carries, as the product does.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <map>
#include <string>
#include <vector>

#include "Global.h"
#include "HVSys.h"
#include "diag/DebugTrace.h"
#include "engine/WorkerThread.h"
#include "support/TestSupport.h"

using HVTest::CTraceFile;

namespace {

// ---------------------------------------------------------------------------------
// Scripts from memory

std::map<std::string, std::string> g_scripts;

HRSRC WINAPI FakeFindResource(HMODULE, LPCSTR szName, LPCSTR szType) {
  if (lstrcmpA(szType, "SCRIPTS") != 0) return NULL;
  auto it = g_scripts.find(szName);
  return it == g_scripts.end() ? NULL : reinterpret_cast<HRSRC>(&it->second);
}
DWORD WINAPI FakeSizeofResource(HMODULE, HRSRC hResource) {
  return static_cast<DWORD>(reinterpret_cast<std::string*>(hResource)->size());
}
HGLOBAL WINAPI FakeLoadResource(HMODULE, HRSRC hResource) {
  return reinterpret_cast<HGLOBAL>(hResource);
}
LPVOID WINAPI FakeLockResource(HGLOBAL hData) {
  return const_cast<char*>(reinterpret_cast<std::string*>(hData)->data());
}

class MemoryScripts {
 public:
  // The scripts given; the others of the eight are empty, or missing altogether.
  explicit MemoryScripts(
      std::initializer_list<std::pair<const std::string, std::string>> scripts,
      bool bOthersMissing = false)
      : m_o1(HV::Sys::FindResourceA, &FakeFindResource),
        m_o2(HV::Sys::SizeofResource, &FakeSizeofResource),
        m_o3(HV::Sys::LoadResource, &FakeLoadResource),
        m_o4(HV::Sys::LockResource, &FakeLockResource) {
    g_scripts.clear();
    if (!bOthersMissing) {
      for (const char* szName : {"MD14", "CV14", "MD12", "CV12", "MD11", "CV11", "MD10", "CV10"})
        g_scripts[szName] = "";
    }
    for (const auto& script : scripts) g_scripts[script.first] = script.second;
  }

 private:
  HV::Sys::TOverride<decltype(&::FindResourceA)> m_o1;
  HV::Sys::TOverride<decltype(&::SizeofResource)> m_o2;
  HV::Sys::TOverride<decltype(&::LoadResource)> m_o3;
  HV::Sys::TOverride<decltype(&::LockResource)> m_o4;
};

// ---------------------------------------------------------------------------------
// What the runner hands to the operations

struct Dispatched {
  std::string strSection;
  std::string strLine;
  bool operator==(const Dispatched& o) const {
    return strSection == o.strSection && strLine == o.strLine;
  }
};
std::ostream& operator<<(std::ostream& os, const Dispatched& d) {
  return os << d.strSection << " " << d.strLine;
}

std::vector<Dispatched> g_dispatched;
HRESULT (*g_pfnAnswer)(CWorkerThread&, const std::string&) = nullptr;

HRESULT RecordOperation(CWorkerThread& oWorker, const char* szSection, const std::string& strLine) {
  g_dispatched.push_back({szSection, strLine});
  return g_pfnAnswer ? g_pfnAnswer(oWorker, strLine) : S_OK;
}

class RecordedOperations {
 public:
  RecordedOperations() : m_o(CWorkerThread::s_pfnOperation, &RecordOperation) {
    g_dispatched.clear();
    g_pfnAnswer = nullptr;
  }
  ~RecordedOperations() { g_pfnAnswer = nullptr; }

 private:
  HV::Sys::TOverride<CWorkerThread::PFN_OPERATION> m_o;
};

// ---------------------------------------------------------------------------------
// The progress messages, as a message-only window of the test thread receives them

struct Posted {
  UINT uMsg;
  WPARAM wParam;
  LPARAM lParam;
  bool operator==(const Posted& o) const {
    return uMsg == o.uMsg && wParam == o.wParam && lParam == o.lParam;
  }
};
std::ostream& operator<<(std::ostream& os, const Posted& p) {
  return os << "{" << p.uMsg << ", " << p.wParam << ", " << p.lParam << "}";
}

class ProgressWindow {
 public:
  ProgressWindow() {
    m_hWnd = ::CreateWindowExA(0, "STATIC", "progress", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL,
                               NULL, NULL);
  }
  ~ProgressWindow() { ::DestroyWindow(m_hWnd); }
  HWND Handle() const { return m_hWnd; }

  // Everything posted so far.
  std::vector<Posted> Drain() {
    std::vector<Posted> messages;
    MSG msg;
    while (::PeekMessageA(&msg, m_hWnd, 0, 0, PM_REMOVE)) {
      if (msg.message == PBM_SETRANGE32 || msg.message == PBM_SETPOS)
        messages.push_back({msg.message, msg.wParam, msg.lParam});
    }
    return messages;
  }

 private:
  HWND m_hWnd;
};

std::vector<Posted> ExpectedProgress(size_t n) {
  std::vector<Posted> expected = {{PBM_SETRANGE32, 0, static_cast<LPARAM>(n)}};
  for (size_t i = 0; i < n; ++i) expected.push_back({PBM_SETPOS, i, 0});
  expected.push_back({PBM_SETPOS, n, 1});
  return expected;
}

class Runner : public ::testing::Test {
 protected:
  void SetUp() override {
    // The variables' first-call traces are not what these tests look at.
    ResetReplacementsForTests();
    DoReplacements("");
    m_oWorker.m_hWndTarget = m_oWindow.Handle();
  }

  // Runs the worker's thread procedure on the test thread.
  HRESULT RunHere() { return static_cast<HRESULT>(CWorkerThread::ThreadProc(&m_oWorker)); }

  ProgressWindow m_oWindow;
  CWorkerThread m_oWorker;
};

// ---------------------------------------------------------------------------------

TEST_F(Runner, PostsTheRangeOnePositionPerLineAndTheFinalReport) {
  MemoryScripts oScripts({
      {"MD14", ";first\r\n\r\n[SERVICES]\r\n  \r\nsvc\r\n;last\r\n"},
      {"CV10", "[FILES]\r\n%WINDOWS%\\x.txt"},
  });
  RecordedOperations oOperations;
  EXPECT_EQ(S_OK, RunHere());
  // Blank lines never reach the list; a white-space-only line, comments and headers do.
  EXPECT_EQ(ExpectedProgress(7), m_oWindow.Drain());
}

TEST_F(Runner, WithNoScriptAtAllTheRangeIsZeroAndTheRunIsDone) {
  CTraceFile oTrace;
  MemoryScripts oScripts({}, true);
  RecordedOperations oOperations;
  EXPECT_EQ(S_OK, RunHere());
  EXPECT_EQ(ExpectedProgress(0), m_oWindow.Drain());
  EXPECT_EQ(std::vector<std::string>(8, "FAILURE: E_INVALIDARG - 0x80070057"),
            oTrace.MessagesOf("SplitString"));
  EXPECT_EQ(std::vector<std::string>(
                8, "SplitString(T2CA(szData), _T(\"\\r\\n\"), oStringArray) - 0x80070057"),
            oTrace.MessagesOf("CWorkerThread::ThreadProc"));
}

const char kLastScript[] = "[files]\r\nlast without line break\0";

TEST_F(Runner, LinesAreCutTrimmedExpandedAndHandedToTheirSection) {
  char szWindows[MAX_PATH];
  ::GetWindowsDirectoryA(szWindows, MAX_PATH);
  MemoryScripts oScripts({
      {"MD14",
       ";comment\r\n"
       "[SERVICES]\r\n"
       "\t Mendora Task Manager  ; trailing comment\r\n"
       "   [keys]   ; a header in lower case with blanks\r\n"
       "HKLM\\SOFTWARE\\Halvern\\Mendora\r\n"
       "[ KEYS ]\r\n"
       "[VALUES]\r\n"
       "HKLM\\SOFTWARE\\X|\r\n"
       "HKLM\\SOFTWARE\\X|a|b\\c\r\n"
       "[FOLDERS]"},
      // No header: these belong to the section in which MD14 ended.
      {"CV14", "\n\r\n%WINDOWS%\\Temp\\\r\r\n[FILES]\r\n%windows%\\x\0[SERVICES]\r\nnever\r\n"},
      {"MD10", std::string(kLastScript, sizeof(kLastScript) - 1)},
  });
  RecordedOperations oOperations;
  EXPECT_EQ(S_OK, RunHere());
  const std::vector<Dispatched> expected = {
      {"[SERVICES]", "Mendora Task Manager"},
      {"[KEYS]", "HKLM\\SOFTWARE\\Halvern\\Mendora"},
      {"[KEYS]", "[ KEYS ]"},
      {"[VALUES]", "HKLM\\SOFTWARE\\X|"},
      {"[VALUES]", "HKLM\\SOFTWARE\\X|a|b\\c"},
      {"[FOLDERS]", std::string(szWindows) + "\\Temp\\"},
      {"[FILES]", "%windows%\\x"},
      {"[FILES]", "last without line break"},
  };
  EXPECT_EQ(expected, g_dispatched);
}

TEST_F(Runner, EntriesBeforeTheFirstHeaderAreTracedLiterallyAndSkipped) {
  CTraceFile oTrace;
  MemoryScripts oScripts({{"MD14", "  100% of %WINDOWS% ;x\r\n[FILES]\r\nfile\r\n"}});
  RecordedOperations oOperations;
  EXPECT_EQ(S_OK, RunHere());
  EXPECT_EQ((std::vector<Dispatched>{{"[FILES]", "file"}}), g_dispatched);
  EXPECT_EQ((std::vector<std::string>{"The script is in an unknown state",
                                      "  100% of %WINDOWS% ;x"}),
            oTrace.MessagesOf("CWorkerThread::ThreadProc"));
  EXPECT_EQ(2u, oTrace.Messages(TRACE_ERROR).size());
}

HRESULT AnswerByLine(CWorkerThread&, const std::string& strLine) {
  if (strLine == "fails") return E_ACCESSDENIED;
  if (strLine == "absent") return S_FALSE;
  if (strLine == "deferred") return S_REBOOT_REQUIRED;
  return S_OK;
}

TEST_F(Runner, EveryFailedOperationIsTracedOnceAndTheRunGoesOn) {
  CTraceFile oTrace;
  std::string strScript;
  for (const char* szSection : {"[SERVICES]", "[KEYS]", "[VALUES]", "[FOLDERS]", "[FILES]"}) {
    strScript += std::string(szSection) + "\r\nfails\r\nabsent\r\ndeferred\r\nok\r\n";
  }
  MemoryScripts oScripts({{"CV12", strScript}});
  RecordedOperations oOperations;
  g_pfnAnswer = &AnswerByLine;
  EXPECT_EQ(S_OK, RunHere());
  EXPECT_EQ(20u, g_dispatched.size());
  EXPECT_EQ((std::vector<std::string>{
                "StopService(strLine) - 0x80070005", "DeleteKey(strLine) - 0x80070005",
                "DeleteValue(strLine) - 0x80070005", "RemoveDirectory(strLine) - 0x80070005",
                "DeleteFile(strLine) - 0x80070005"}),
            oTrace.MessagesOf("CWorkerThread::ThreadProc"));
  EXPECT_EQ(ExpectedProgress(25), m_oWindow.Drain());
}

TEST_F(Runner, ACancelBeforeTheFirstScriptPostsNothing) {
  MemoryScripts oScripts({{"MD14", "[FILES]\r\nx\r\n"}});
  RecordedOperations oOperations;
  m_oWorker.m_bCancel = true;
  EXPECT_EQ(E_ABORT, RunHere());
  EXPECT_TRUE(m_oWindow.Drain().empty());
  EXPECT_TRUE(g_dispatched.empty());
}

HRESULT CancelAtThird(CWorkerThread& oWorker, const std::string& strLine) {
  if (strLine == "3") oWorker.m_bCancel = true;
  return S_OK;
}

TEST_F(Runner, ACancelDuringTheLinesStopsAtTheCurrentLineWithoutTheFinalReport) {
  MemoryScripts oScripts({{"MD14", "[FILES]\r\n1\r\n2\r\n3\r\n4\r\n5\r\n"}});
  RecordedOperations oOperations;
  g_pfnAnswer = &CancelAtThird;
  EXPECT_EQ(E_ABORT, RunHere());
  std::vector<Posted> expected = {{PBM_SETRANGE32, 0, 6}};
  for (WPARAM i = 0; i <= 3; ++i) expected.push_back({PBM_SETPOS, i, 0});
  EXPECT_EQ(expected, m_oWindow.Drain());
  EXPECT_EQ(3u, g_dispatched.size());
}

// ---------------------------------------------------------------------------------
// Start and Stop on real threads

int g_nWaits = 0;
DWORD WINAPI CountingWait(HANDLE h, DWORD dwMilliseconds) {
  ++g_nWaits;
  return ::WaitForSingleObject(h, dwMilliseconds);
}

HANDLE g_hRelease = NULL;
HRESULT BlockUntilReleased(CWorkerThread&, const std::string&) {
  ::WaitForSingleObject(g_hRelease, 20000);
  return S_OK;
}

void PumpUntilDone(ProgressWindow& oWindow, std::vector<Posted>& messages) {
  for (int i = 0; i < 1000; ++i) {
    for (const auto& p : oWindow.Drain()) messages.push_back(p);
    if (!messages.empty() && messages.back().uMsg == PBM_SETPOS && messages.back().lParam) return;
    ::Sleep(10);
  }
  FAIL() << "the worker never reported that it was done";
}

TEST_F(Runner, StartRunsTheWorkerOnceWhileAHandleIsHeld) {
  CTraceFile oTrace;
  MemoryScripts oScripts({{"MD14", "[FILES]\r\na\r\n"}});
  RecordedOperations oOperations;
  g_hRelease = ::CreateEventA(NULL, TRUE, FALSE, NULL);
  g_pfnAnswer = &BlockUntilReleased;

  EXPECT_EQ(S_OK, m_oWorker.Start());
  HANDLE hFirst = m_oWorker.m_hThread;
  EXPECT_EQ(S_FALSE, m_oWorker.Start()) << "running";
  EXPECT_EQ(hFirst, m_oWorker.m_hThread.Get());
  ::SetEvent(g_hRelease);
  std::vector<Posted> messages;
  PumpUntilDone(m_oWindow, messages);
  EXPECT_EQ(ExpectedProgress(2), messages);
  ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(m_oWorker.m_hThread, 5000));
  EXPECT_EQ(S_FALSE, m_oWorker.Start()) << "finished, handle still held";
  EXPECT_EQ(1u, g_dispatched.size());

  auto oWait = HV::Sys::Override(HV::Sys::WaitForSingleObject, &CountingWait);
  g_nWaits = 0;
  m_oWorker.Stop();
  EXPECT_EQ(1, g_nWaits);
  EXPECT_TRUE(m_oWorker.m_hThread.IsEmpty());
  m_oWorker.m_bCancel = false;
  m_oWorker.Stop();
  EXPECT_EQ(1, g_nWaits) << "no thread, no wait";
  EXPECT_FALSE(m_oWorker.m_bCancel) << "set only when there was a thread to stop";
  EXPECT_EQ("", oTrace.Bytes());
  ::CloseHandle(g_hRelease);
}

TEST_F(Runner, StopOnARunningWorkerCancelsItBetweenLines) {
  CTraceFile oTrace;
  std::string strScript = "[FILES]\r\n";
  for (int i = 0; i < 100; ++i) strScript += "f\r\n";
  MemoryScripts oScripts({{"MD14", strScript}});
  RecordedOperations oOperations;
  g_hRelease = ::CreateEventA(NULL, TRUE, FALSE, NULL);
  g_pfnAnswer = &BlockUntilReleased;
  ASSERT_EQ(S_OK, m_oWorker.Start());
  HANDLE hThread = NULL;
  ::DuplicateHandle(::GetCurrentProcess(), m_oWorker.m_hThread, ::GetCurrentProcess(), &hThread,
                    0, FALSE, DUPLICATE_SAME_ACCESS);
  while (g_dispatched.empty()) ::Sleep(5);
  ::SetEvent(g_hRelease);
  m_oWorker.Stop();
  DWORD dwExit = 0;
  ::GetExitCodeThread(hThread, &dwExit);
  EXPECT_EQ(static_cast<DWORD>(E_ABORT), dwExit);
  EXPECT_LT(g_dispatched.size(), 100u);
  auto messages = m_oWindow.Drain();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(0, messages.back().lParam) << "no final report after a cancel";
  EXPECT_EQ("", oTrace.Bytes());
  ::CloseHandle(hThread);
  ::CloseHandle(g_hRelease);
}

HRESULT IgnoreTheCancel(CWorkerThread&, const std::string&) {
  ::Sleep(8000);
  return S_OK;
}

BOOL WINAPI FailingTerminate(HANDLE, DWORD) {
  ::SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

TEST_F(Runner, AWorkerStillBusyAfterTwoSecondsIsEndedByForce) {
  MemoryScripts oScripts({{"MD14", "[FOLDERS]\r\nslow\r\n"}});
  RecordedOperations oOperations;
  g_pfnAnswer = &IgnoreTheCancel;
  {
    CTraceFile oTrace;
    ASSERT_EQ(S_OK, m_oWorker.Start());
    HANDLE hThread = NULL;
    ::DuplicateHandle(::GetCurrentProcess(), m_oWorker.m_hThread, ::GetCurrentProcess(),
                      &hThread, 0, FALSE, DUPLICATE_SAME_ACCESS);
    while (g_dispatched.empty()) ::Sleep(5);
    m_oWorker.Stop();
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(hThread, 1000)) << "ended by force";
    DWORD dwExit = STILL_ACTIVE;
    ::GetExitCodeThread(hThread, &dwExit);
    EXPECT_EQ(0u, dwExit);
    ::CloseHandle(hThread);
    EXPECT_EQ(std::vector<std::string>{"The worker thread refused to stop"},
              oTrace.Messages(TRACE_WARNING));
    EXPECT_TRUE(oTrace.Messages(TRACE_LASTERROR).empty());
  }
  {
    CTraceFile oTrace;
    g_dispatched.clear();
    auto oTerminate = HV::Sys::Override(HV::Sys::TerminateThread, &FailingTerminate);
    ASSERT_EQ(S_OK, m_oWorker.Start());
    while (g_dispatched.empty()) ::Sleep(5);
    m_oWorker.Stop();
    EXPECT_EQ(std::vector<std::string>{"TerminateThread(m_hThread, 0) - 5"},
              oTrace.MessagesOf("CWorkerThread::Stop").size() == 2
                  ? std::vector<std::string>{oTrace.MessagesOf("CWorkerThread::Stop")[1]}
                  : oTrace.MessagesOf("CWorkerThread::Stop"));
    EXPECT_TRUE(m_oWorker.m_hThread.IsEmpty()) << "the handle is closed in every case";
    ::Sleep(8000);  // let the abandoned worker finish before the scripts go away
  }
}

HANDLE WINAPI FailingCreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID,
                                  DWORD, LPDWORD) {
  ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return NULL;
}

TEST_F(Runner, AThreadThatCannotBeCreatedIsTracedAndLeavesTheWorkerIdle) {
  CTraceFile oTrace;
  auto o = HV::Sys::Override(HV::Sys::CreateThread, &FailingCreateThread);
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY), m_oWorker.Start());
  EXPECT_TRUE(m_oWorker.m_hThread.IsEmpty());
  EXPECT_EQ(std::vector<std::string>{"FAILED: m_hThread = CreateThread(0, 0, ThreadProc, this, 0, "
                                     "&dwThreadId) - GetLastError = 8"},
            oTrace.MessagesOf("CWorkerThread::Start"));
}

// ---------------------------------------------------------------------------------
// The real eight scripts

TEST_F(Runner, TheBuiltInScriptsWalkAll481LinesWithTheRightSectionForEach) {
  CTraceFile oTrace;
  RecordedOperations oOperations;
  EXPECT_EQ(S_OK, RunHere());
  EXPECT_EQ(ExpectedProgress(481), m_oWindow.Drain());

  std::map<std::string, int> counts;
  for (const auto& d : g_dispatched) ++counts[d.strSection];
  EXPECT_EQ((std::map<std::string, int>{{"[SERVICES]", 24},
                                        {"[KEYS]", 196},
                                        {"[VALUES]", 53},
                                        {"[FOLDERS]", 22},
                                        {"[FILES]", 48}}),
            counts);
  ASSERT_EQ(343u, g_dispatched.size());
  EXPECT_EQ((Dispatched{"[SERVICES]", "HVFileRestore"}), g_dispatched.front());
  EXPECT_EQ((Dispatched{"[FILES]", DoReplacements("%SYSTEM%") + "\\kvntdfg.exe"}),
            g_dispatched.back());
  EXPECT_EQ((Dispatched{"[FOLDERS]", DoReplacements("%MDINSTALLDIR%")}), g_dispatched[34]);
  for (const auto& d : g_dispatched) {
    EXPECT_EQ(std::string::npos, d.strLine.find('%')) << "unexpanded: " << d.strLine;
    EXPECT_EQ(std::string::npos, d.strLine.find(';')) << d.strLine;
  }
  EXPECT_TRUE(oTrace.MessagesOf("CWorkerThread::ThreadProc").empty());
}

}  // namespace
