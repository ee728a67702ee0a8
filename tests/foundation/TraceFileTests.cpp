// The trace file sink, for real on the prefix's desktop folder.
#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "HVSys.h"
#include "diag/DebugTrace.h"
#include "support/TestSupport.h"

using HVTest::CTraceFile;

namespace {

std::string ModuleFileName() {
  char sz[MAX_PATH] = {};
  ::GetModuleFileNameA(NULL, sz, MAX_PATH);
  return sz;
}

TEST(TraceFile, NoFileAtFirstEntryKeepsTheSinkOffEvenAfterTheFileAppears) {
  CTraceFile oTrace(false);
  HV_TRACE("TraceTest", TRACE_ERROR, "first %s", "entry");
  ASSERT_TRUE(HVTest::WriteFileBytes(HVTest::TraceFilePath(), ""));
  HV_TRACE("TraceTest", TRACE_ERROR, "second %s", "entry");
  EXPECT_EQ("", oTrace.Bytes());
}

TEST(TraceFile, EachEntryAppendsOneLineOfTwelveFields) {
  CTraceFile oTrace;
  ASSERT_TRUE(HVTest::WriteFileBytes(HVTest::TraceFilePath(), "existing line\r\n"));
  long long llBefore = ::_time64(NULL);
  DWORD dwTickBefore = ::GetTickCount();
  const unsigned nLine = __LINE__ + 1;
  HV_TRACE("CWorkerThread::Start", TRACE_ERROR, "FAILED: %s - GetLastError = %lu", "call()", 5ul);
  HV_TRACE("DoReplacements", TRACE_STATUS, "%s - %#08lx", "x", 0x80070057ul);
  HV_TRACE("Other", TRACE_VALUE, "%s - %#08lx", "zero", 0ul);

  auto lines = oTrace.Lines();
  ASSERT_EQ(4u, lines.size());
  EXPECT_EQ(std::vector<std::string>{"existing line"}, lines[0]) << "appended after the content";
  lines.erase(lines.begin());
  for (const auto& fields : lines) ASSERT_EQ(12u, fields.size());

  const auto& f = lines[0];
  EXPECT_EQ("128", f[0]);
  EXPECT_EQ("FAILED: call() - GetLastError = 5", f[1]);
  EXPECT_EQ(ModuleFileName(), f[2]);
  EXPECT_EQ(f[2], f[3]) << "the facility is part of the program file";
  EXPECT_EQ("TraceFileTests.cpp", f[4]);
  EXPECT_EQ("CWorkerThread::Start", f[5]);
  EXPECT_EQ(std::to_string(nLine), f[6]);
  EXPECT_EQ(__TIMESTAMP__, f[7]);
  EXPECT_EQ(std::to_string(::GetCurrentProcessId()), f[8]);
  EXPECT_EQ(std::to_string(::GetCurrentThreadId()), f[9]);
  DWORD dwTick = std::stoul(f[10]);
  EXPECT_LE(dwTick - dwTickBefore, 60000u);
  long long llTime = std::stoll(f[11]);
  EXPECT_GE(llTime, llBefore);
  EXPECT_LE(llTime, llBefore + 60);

  EXPECT_EQ("x - 0x80070057", lines[1][1]);
  EXPECT_EQ("4", lines[1][0]);
  EXPECT_EQ("zero - 00000000", lines[2][1]);
}

TEST(TraceFile, TabsInTheMessageBecomeSpacesAndLineBreaksStay) {
  CTraceFile oTrace;
  HV_TRACE("TraceTest", TRACE_WARNING, "a\tb%s", "\tc\t");
  HV_TRACE("TraceTest", TRACE_WARNING, "%s", "");
  auto lines = oTrace.Lines();
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ(12u, lines[0].size());
  EXPECT_EQ("a b c ", lines[0][1]);
  EXPECT_EQ(12u, lines[1].size());
  EXPECT_EQ("", lines[1][1]);
}

TEST(TraceFile, AFolderNamedLikeTheFileTurnsTheSinkOff) {
  CTraceFile oTrace(false);
  std::string strPath = HVTest::TraceFilePath();
  ASSERT_TRUE(::CreateDirectoryA(strPath.c_str(), NULL));
  HV_TRACE("TraceTest", TRACE_ERROR, "%s", "into a folder");
  ASSERT_TRUE(::RemoveDirectoryA(strPath.c_str()));
  ASSERT_TRUE(HVTest::WriteFileBytes(strPath, ""));
  HV_TRACE("TraceTest", TRACE_ERROR, "%s", "after");
  EXPECT_EQ("", oTrace.Bytes());
}

TEST(TraceFile, AnotherProcessHoldingTheFileTurnsTheSinkOff) {
  CTraceFile oTrace;
  // A handle without sharing stands for another program that has the file open.
  HANDLE hFile = ::CreateFileA(HVTest::TraceFilePath().c_str(), GENERIC_READ, 0, NULL,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  ASSERT_NE(INVALID_HANDLE_VALUE, hFile);
  HV_TRACE("TraceTest", TRACE_ERROR, "%s", "blocked");
  ::CloseHandle(hFile);
  HV_TRACE("TraceTest", TRACE_ERROR, "%s", "after");
  EXPECT_EQ("", oTrace.Bytes());
}

TEST(TraceFile, OverlongTextIsCutWithoutOverrunAndKeepsTwelveFields) {
  CTraceFile oTrace;
  std::string strHuge(5000, 'm');
  std::string strLongFunction(600, 'f');
  HV_TRACE("TraceTest", TRACE_ERROR, "%s", strHuge.c_str());
  HV_TRACE(strLongFunction.c_str(), TRACE_ERROR, "%s%s", strHuge.c_str(), strHuge.c_str());
  HV_TRACE("TraceTest", TRACE_ERROR, "%s", "still on");
  auto lines = oTrace.Lines();
  ASSERT_EQ(3u, lines.size());
  for (const auto& fields : lines) EXPECT_EQ(12u, fields.size());
  EXPECT_EQ(std::string(2047, 'm'), lines[0][1]);
  EXPECT_EQ(strLongFunction, lines[1][5]);
  size_t cbLine = 0;
  for (const auto& field : lines[1]) cbLine += field.size() + 1;
  EXPECT_LE(cbLine - 1, 2559u);
  EXPECT_EQ("still on", lines[2][1]);
}

TEST(TraceFile, EntriesOfTwoThreadsNeverCollide) {
  CTraceFile oTrace;
  const int kEntries = 300;
  auto traceMany = [](const char* szWho) {
    for (int i = 0; i < kEntries; ++i) HV_TRACE("TraceTest", TRACE_VALUE, "%s %d", szWho, i);
  };
  std::thread worker(traceMany, "worker");
  traceMany("ui");
  worker.join();
  auto lines = oTrace.Lines();
  ASSERT_EQ(2u * kEntries, lines.size()) << "an entry was lost or the sink went off";
  for (const auto& fields : lines) ASSERT_EQ(12u, fields.size());
}

TEST(TraceFile, FirstEntriesOfTwoThreadsAtTheSameMomentFillTheCachesOnce) {
  for (int nRound = 0; nRound < 20; ++nRound) {
    CTraceFile oTrace;
    HANDLE hGo = ::CreateEventA(NULL, TRUE, FALSE, NULL);
    auto first = [hGo]() {
      ::WaitForSingleObject(hGo, INFINITE);
      HV_TRACE("TraceTest", TRACE_VALUE, "%s", "first");
    };
    std::thread a(first), b(first);
    ::SetEvent(hGo);
    a.join();
    b.join();
    ::CloseHandle(hGo);
    auto lines = oTrace.Lines();
    ASSERT_EQ(2u, lines.size());
    for (const auto& fields : lines) {
      ASSERT_EQ(12u, fields.size());
      EXPECT_EQ(ModuleFileName(), fields[2]);
      EXPECT_EQ(ModuleFileName(), fields[3]);
    }
  }
}

TEST(TraceFile, TracingKeepsTheCallersLastError) {
  CTraceFile oTrace;
  ::SetLastError(ERROR_ACCESS_DENIED);
  HV_TRACE("TraceTest", TRACE_ERROR, "%s", "x");
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), ::GetLastError());
}

HRESULT WINAPI NoDesktop(HWND, int, HANDLE, DWORD, LPSTR szPath) {
  szPath[0] = '\0';
  return E_FAIL;
}

TEST(TraceFile, NoDesktopFolderMeansNoTraceFile) {
  CTraceFile oTrace;
  auto o = HV::Sys::Override(HV::Sys::SHGetFolderPathA, &NoDesktop);
  HV_TRACE("TraceTest", TRACE_ERROR, "%s", "x");
  EXPECT_EQ("", oTrace.Bytes());
}

TEST(TraceFile, FailureHelpersTraceTheirFormsAndConvertZeroToGenFailure) {
  CTraceFile oTrace;
  ::SetLastError(0);
  HRESULT hr = HV_FAILED_LASTERROR("F", "call(0)");
  EXPECT_EQ(static_cast<HRESULT>(0x8007001F), hr);
  ::SetLastError(5);
  hr = HV_FAILED_LASTERROR("F", "call(5)");
  EXPECT_EQ(static_cast<HRESULT>(0x80070005), hr);
  ::SetLastError(0);
  HV_TRACE_LASTERROR("F", "survivable()");
  HV_TRACE_STATUS("F", "status()", E_ABORT);
  auto lines = oTrace.Lines();
  ASSERT_EQ(4u, lines.size());
  EXPECT_EQ("128", lines[0][0]);
  EXPECT_EQ("FAILED: call(0) - GetLastError = 31", lines[0][1]);
  EXPECT_EQ("FAILED: call(5) - GetLastError = 5", lines[1][1]);
  EXPECT_EQ("1", lines[2][0]);
  EXPECT_EQ("survivable() - 0", lines[2][1]);
  EXPECT_EQ("4", lines[3][0]);
  EXPECT_EQ("status() - 0x80004004", lines[3][1]);
}

HMODULE WINAPI CountingLoadLibrary(LPCSTR szName);
int g_nLibraryLoads = 0;
HMODULE WINAPI CountingLoadLibrary(LPCSTR szName) {
  if (lstrcmpiA(szName, "KVDebug.dll") == 0) ++g_nLibraryLoads;
  return ::LoadLibraryA(szName);
}

TEST(TraceFile, WithoutTheLibraryTheLoadIsAttemptedOnce) {
  CTraceFile oTrace;
  g_nLibraryLoads = 0;
  auto o = HV::Sys::Override(HV::Sys::LoadLibraryA, &CountingLoadLibrary);
  for (int i = 0; i < 5; ++i) HV_TRACE("TraceTest", TRACE_VALUE, "%d", i);
  EXPECT_EQ(1, g_nLibraryLoads);
  EXPECT_EQ(5u, oTrace.Lines().size());
}

}  // namespace
