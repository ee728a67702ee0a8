// The external sink, against a KVDebug.dll of our own that lies beside this program.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "HVSys.h"
#include "diag/DebugTrace.h"
#include "support/TestSupport.h"

using HVTest::CTraceFile;

namespace {

int g_nLoads = 0;
int g_nLookups = 0;

HMODULE WINAPI CountingLoadLibrary(LPCSTR szName) {
  if (lstrcmpiA(szName, "KVDebug.dll") == 0) ++g_nLoads;
  return ::LoadLibraryA(szName);
}

FARPROC WINAPI CountingGetProcAddress(HMODULE hModule, LPCSTR szName) {
  if (reinterpret_cast<ULONG_PTR>(szName) > 0xFFFF && std::strcmp(szName, "OutputA") == 0)
    ++g_nLookups;
  return ::GetProcAddress(hModule, szName);
}

class ExternalSink : public ::testing::Test {
 protected:
  void SetUp() override {
    g_nLoads = g_nLookups = 0;
    DebugTraceResetForTests();
  }
  void TearDown() override { DebugTraceResetForTests(); }

  typedef int(__cdecl* PFN_COUNT)();
  typedef const char*(__cdecl* PFN_RECORD)(int);
  typedef void(__cdecl* PFN_RESET)();

  static HMODULE Library() { return ::GetModuleHandleA("KVDebug.dll"); }

  static std::vector<std::vector<std::string>> Records() {
    std::vector<std::vector<std::string>> records;
    HMODULE hLibrary = Library();
    if (!hLibrary) return records;
    auto pfnCount = reinterpret_cast<PFN_COUNT>(
        reinterpret_cast<void*>(::GetProcAddress(hLibrary, "KvTestCount")));
    auto pfnRecord = reinterpret_cast<PFN_RECORD>(
        reinterpret_cast<void*>(::GetProcAddress(hLibrary, "KvTestRecord")));
    for (int i = 0; i < pfnCount(); ++i) {
      std::vector<std::string> fields;
      std::string strRecord = pfnRecord(i);
      size_t nStart = 0;
      for (;;) {
        size_t nSep = strRecord.find('\x1f', nStart);
        fields.push_back(strRecord.substr(nStart, nSep == std::string::npos ? nSep : nSep - nStart));
        if (nSep == std::string::npos) break;
        nStart = nSep + 1;
      }
      records.push_back(fields);
    }
    return records;
  }

  static void ResetRecords() {
    if (!Library()) return;
    reinterpret_cast<PFN_RESET>(
        reinterpret_cast<void*>(::GetProcAddress(Library(), "KvTestReset")))();
  }
};

#ifndef HV_EXPECT_NO_EXPORT

TEST_F(ExternalSink, EveryEntryOfEveryLevelReachesOutputAWithTheUnappliedFormat) {
  CTraceFile oTrace;
  auto oLoad = HV::Sys::Override(HV::Sys::LoadLibraryA, &CountingLoadLibrary);
  auto oLookup = HV::Sys::Override(HV::Sys::GetProcAddress, &CountingGetProcAddress);
  ResetRecords();
  const DWORD rgLevels[] = {TRACE_LASTERROR, TRACE_STATUS, TRACE_VALUE, TRACE_WARNING,
                            TRACE_ERROR, TRACE_REGISTRY_REMOVED, TRACE_DELETED,
                            TRACE_DELETE_ON_REBOOT, TRACE_SERVICE_STOPPED};
  for (DWORD dwLevel : rgLevels) {
    HV_TRACE("CWorkerThread::DeleteKey", dwLevel, "%s - %#08lx %lu", "call(a)", 0x80070002ul, 7ul);
  }
  ResetRecords();  // only the entries below count from here on
  const unsigned nLine = __LINE__ + 2;
  for (DWORD dwLevel : rgLevels) {
    HV_TRACE("CWorkerThread::DeleteKey", dwLevel, "%s - %#08lx %lu", "call(a)", 0x80070002ul, 7ul);
  }
  EXPECT_EQ(1, g_nLoads) << "one load attempt per process";
  EXPECT_EQ(1, g_nLookups) << "one lookup per process";

  auto records = Records();
  ASSERT_EQ(9u, records.size());
  for (size_t i = 0; i < records.size(); ++i) {
    const auto& r = records[i];
    ASSERT_EQ(8u, r.size());
    EXPECT_EQ(std::to_string(rgLevels[i]), r[0]);
    EXPECT_STREQ(GetModulePath(), r[1].c_str());
    EXPECT_EQ("ExternalSinkTests.cpp", r[2]);
    EXPECT_EQ("CWorkerThread::DeleteKey", r[3]);
    EXPECT_EQ(std::to_string(nLine), r[4]);
    EXPECT_EQ(__TIMESTAMP__, r[5]);
    EXPECT_EQ("%s - %#08lx %lu", r[6]);
    EXPECT_EQ("call(a) - 0x80070002 7", r[7]) << "the argument list is handed on intact";
  }
  EXPECT_EQ(18u, oTrace.Lines().size()) << "the file sink saw every entry too";
}

TEST_F(ExternalSink, AnExceptionFromOutputAIsSwallowedAfterTheFileLineIsWritten) {
  CTraceFile oTrace;
  ResetRecords();
  HV_TRACE("TraceTest", TRACE_ERROR, "throw");
  HV_TRACE("TraceTest", TRACE_ERROR, "%s", "after");
  auto lines = oTrace.Lines();
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ("throw", lines[0][1]);
  auto records = Records();
  ASSERT_EQ(1u, records.size()) << "the library stays in use after it threw";
  EXPECT_EQ("after", records[0][7]);
}

TEST_F(ExternalSink, ALibraryThatIsNoLongerLoadedIsNotUsedAgain) {
  CTraceFile oTrace;
  auto oLoad = HV::Sys::Override(HV::Sys::LoadLibraryA, &CountingLoadLibrary);
  HV_TRACE("TraceTest", TRACE_ERROR, "%s", "loads it");
  ASSERT_NE(nullptr, Library());
  while (Library()) ::FreeLibrary(Library());

  HV_TRACE("TraceTest", TRACE_ERROR, "%s", "finds it gone");
  ASSERT_NE(nullptr, ::LoadLibraryA("KVDebug.dll"));
  ResetRecords();
  HV_TRACE("TraceTest", TRACE_ERROR, "%s", "not sent");
  EXPECT_TRUE(Records().empty());
  EXPECT_EQ(1, g_nLoads);
  EXPECT_EQ(3u, oTrace.Lines().size());
}

#else

TEST_F(ExternalSink, ALibraryWithoutOutputAIsLoadedOnceAndLookedUpOnce) {
  CTraceFile oTrace;
  auto oLoad = HV::Sys::Override(HV::Sys::LoadLibraryA, &CountingLoadLibrary);
  auto oLookup = HV::Sys::Override(HV::Sys::GetProcAddress, &CountingGetProcAddress);
  for (int i = 0; i < 4; ++i) HV_TRACE("TraceTest", TRACE_VALUE, "%d", i);
  EXPECT_NE(nullptr, Library()) << "the library stays loaded";
  EXPECT_EQ(1, g_nLoads);
  EXPECT_EQ(1, g_nLookups);
  EXPECT_TRUE(Records().empty());
  EXPECT_EQ(4u, oTrace.Lines().size());
}

#endif

}  // namespace
