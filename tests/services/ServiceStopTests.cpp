// Stopping services, against Wine's own service control manager and real services of
// TestService.exe (beside this program). The platform calls go through forwarding fakes
// that only watch: how often the status is queried, how long each pause is, which
// handles are opened and closed. Failures are injected only where Wine cannot fail.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "HVSys.h"
#include "engine/WorkerThread.h"
#include "support/TestSupport.h"

using HVTest::CTraceFile;

namespace {

const char kFunction[] = "CWorkerThread::StopService";

// ---------------------------------------------------------------------------------------
// The test services, installed and removed with plain service-control calls.

std::string TestServicePath() {
  char szPath[MAX_PATH] = {};
  ::GetModuleFileNameA(NULL, szPath, MAX_PATH);
  std::string strPath = szPath;
  return strPath.substr(0, strPath.rfind('\\') + 1) + "TestService.exe";
}

DWORD StateOf(const std::string& strName) {
  SC_HANDLE hManager = ::OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
  SC_HANDLE hService = ::OpenServiceA(hManager, strName.c_str(), SERVICE_QUERY_STATUS);
  SERVICE_STATUS ss = {};
  if (hService && !::QueryServiceStatus(hService, &ss)) ss.dwCurrentState = 0;
  if (hService) ::CloseServiceHandle(hService);
  ::CloseServiceHandle(hManager);
  return ss.dwCurrentState;
}

bool WaitForState(SC_HANDLE hService, DWORD dwState, DWORD dwTimeoutMs) {
  for (DWORD dwWaited = 0;; dwWaited += 50) {
    SERVICE_STATUS ss = {};
    if (::QueryServiceStatus(hService, &ss) && ss.dwCurrentState == dwState) return true;
    if (dwWaited >= dwTimeoutMs) return false;
    ::Sleep(50);
  }
}

// The process of a running service, to wait for its end or to end it by force.
HANDLE OpenServiceProcess(SC_HANDLE hService) {
  SERVICE_STATUS_PROCESS ssp = {};
  DWORD cbNeeded = 0;
  if (!::QueryServiceStatusEx(hService, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&ssp),
                              sizeof(ssp), &cbNeeded) ||
      !ssp.dwProcessId) {
    return NULL;
  }
  return ::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, ssp.dwProcessId);
}

// Ends the service whatever it does (its exit event first, its process by force if that
// is not enough) and deletes it. hProcess is the service's process as it was started, or
// NULL for a leftover of an earlier run.
void RemoveService(const std::string& strName, HANDLE hProcess) {
  SC_HANDLE hManager = ::OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
  SC_HANDLE hService = ::OpenServiceA(hManager, strName.c_str(), SERVICE_ALL_ACCESS);
  if (hService) {
    HANDLE hLeftover = hProcess ? NULL : OpenServiceProcess(hService);
    if (hLeftover) hProcess = hLeftover;
    if (!WaitForState(hService, SERVICE_STOPPED, 0)) {
      HANDLE hExit = ::OpenEventA(EVENT_MODIFY_STATE, FALSE,
                                  ("Global\\HVTestServiceExit." + strName).c_str());
      if (hExit) {
        ::SetEvent(hExit);
        ::CloseHandle(hExit);
      }
      if (!WaitForState(hService, SERVICE_STOPPED, 5000) && hProcess) {
        ::TerminateProcess(hProcess, 1);
      }
    }
    // Wine's manager removes a deleted service only once its process has ended; waiting
    // for that leaves nothing behind when the run's wineserver is shut down right after.
    if (hProcess) ::WaitForSingleObject(hProcess, 5000);
    EXPECT_TRUE(::DeleteService(hService)) << strName << ": " << ::GetLastError();
    ::CloseServiceHandle(hService);
    if (hLeftover) ::CloseHandle(hLeftover);
  }
  ::CloseServiceHandle(hManager);
}

// Installs "TestService.exe MODE NAME" as an own-process service and, if asked, starts it,
// waits until it runs and hands out its process.
void InstallService(const std::string& strName, const std::string& strMode, bool bStart,
                    HANDLE* phProcess) {
  RemoveService(strName, NULL);
  SC_HANDLE hManager = ::OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
  ASSERT_NE(nullptr, hManager) << ::GetLastError();
  std::string strCommand = "\"" + TestServicePath() + "\" " + strMode + " " + strName;
  SC_HANDLE hService = ::CreateServiceA(hManager, strName.c_str(), strName.c_str(),
                                        SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                        SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                                        strCommand.c_str(), NULL, NULL, NULL, NULL, NULL);
  DWORD dwError = ::GetLastError();
  ::CloseServiceHandle(hManager);
  ASSERT_NE(nullptr, hService) << strName << ": " << dwError;
  bool bRunning = !bStart || (::StartServiceA(hService, 0, NULL) &&
                              WaitForState(hService, SERVICE_RUNNING, 10000));
  if (bStart && bRunning) *phProcess = OpenServiceProcess(hService);
  ::CloseServiceHandle(hService);
  ASSERT_TRUE(bRunning) << strName << " does not start";
}

// ---------------------------------------------------------------------------------------
// What the code under test does with the platform, seen through forwarding fakes.

struct CCalls {
  CWorkerThread* pWorker = nullptr;
  int nCancelAfterQueries = -1;  // sets the worker's cancel flag inside that query
  int nQueries = 0;
  std::vector<DWORD> sleeps;
  int nControls = 0;
  std::vector<DWORD> controls;
  std::vector<std::string> managerArgs;  // "machine|database|access" per call
  std::vector<DWORD> serviceAccess;
  std::vector<SC_HANDLE> opened;  // manager first, then the service
  std::vector<SC_HANDLE> closed;
};
CCalls g_calls;

SC_HANDLE WINAPI WatchOpenSCManagerA(LPCSTR szMachine, LPCSTR szDatabase, DWORD dwAccess) {
  g_calls.managerArgs.push_back(std::string(szMachine ? szMachine : "NULL") + "|" +
                                (szDatabase ? szDatabase : "NULL") + "|" +
                                std::to_string(dwAccess));
  SC_HANDLE h = ::OpenSCManagerA(szMachine, szDatabase, dwAccess);
  if (h) g_calls.opened.push_back(h);
  return h;
}
SC_HANDLE WINAPI WatchOpenServiceA(SC_HANDLE hManager, LPCSTR szName, DWORD dwAccess) {
  g_calls.serviceAccess.push_back(dwAccess);
  SC_HANDLE h = ::OpenServiceA(hManager, szName, dwAccess);
  if (h) g_calls.opened.push_back(h);
  return h;
}
BOOL WINAPI WatchCloseServiceHandle(SC_HANDLE h) {
  g_calls.closed.push_back(h);
  return ::CloseServiceHandle(h);
}
BOOL WINAPI WatchControlService(SC_HANDLE h, DWORD dwControl, LPSERVICE_STATUS pss) {
  g_calls.controls.push_back(dwControl);
  return ::ControlService(h, dwControl, pss);
}
BOOL WINAPI WatchQueryServiceStatus(SC_HANDLE h, LPSERVICE_STATUS pss) {
  ++g_calls.nQueries;
  BOOL bResult = ::QueryServiceStatus(h, pss);
  if (g_calls.nQueries == g_calls.nCancelAfterQueries) g_calls.pWorker->m_bCancel = true;
  return bResult;
}
VOID WINAPI WatchSleep(DWORD dwMilliseconds) {
  g_calls.sleeps.push_back(dwMilliseconds);
  ::Sleep(dwMilliseconds);
}

// A query that fails with an injected error number.
DWORD g_dwQueryError = 0;
BOOL WINAPI FailingQueryServiceStatus(SC_HANDLE, LPSERVICE_STATUS) {
  ++g_calls.nQueries;
  ::SetLastError(g_dwQueryError);
  return FALSE;
}

DWORD g_dwOpenError = 0;
SC_HANDLE WINAPI FailingOpenSCManagerA(LPCSTR, LPCSTR, DWORD) {
  g_calls.managerArgs.push_back("failed");
  ::SetLastError(g_dwOpenError);
  return NULL;
}
SC_HANDLE WINAPI FailingOpenServiceA(SC_HANDLE, LPCSTR, DWORD dwAccess) {
  g_calls.serviceAccess.push_back(dwAccess);
  ::SetLastError(g_dwOpenError);
  return NULL;
}

struct CEntry {
  std::string strLevel;
  std::string strMessage;
  bool operator==(const CEntry& o) const {
    return strLevel == o.strLevel && strMessage == o.strMessage;
  }
};
void PrintTo(const CEntry& e, std::ostream* os) { *os << e.strLevel << " \"" << e.strMessage << "\""; }

class ServiceStop : public ::testing::Test {
 protected:
  void SetUp() override {
    g_calls = CCalls();
    g_calls.pWorker = &m_oWorker;
  }
  void TearDown() override {
    for (const auto& installed : m_installed) {
      RemoveService(installed.first, installed.second);
      if (installed.second) ::CloseHandle(installed.second);
    }
  }

  std::string Install(const std::string& strName, const std::string& strMode, bool bStart) {
    m_installed.emplace_back(strName, static_cast<HANDLE>(NULL));
    InstallService(strName, strMode, bStart, &m_installed.back().second);
    return strName;
  }

  // Every entry of the trace file, all of which must come from the function under test.
  std::vector<CEntry> Entries() const {
    std::vector<CEntry> entries;
    for (const auto& fields : m_oTrace.Lines()) {
      EXPECT_EQ(12u, fields.size());
      if (fields.size() < 12) continue;
      EXPECT_EQ(kFunction, fields[5]);
      entries.push_back({fields[0], fields[1]});
    }
    return entries;
  }

  // Whatever was opened was closed exactly once, the service before the manager.
  void ExpectHandlesClosedInReverse() const {
    std::vector<SC_HANDLE> reversed(g_calls.opened.rbegin(), g_calls.opened.rend());
    EXPECT_EQ(reversed, g_calls.closed);
  }

  CTraceFile m_oTrace;
  CWorkerThread m_oWorker;
  std::vector<std::pair<std::string, HANDLE>> m_installed;  // with the started process
  HV::Sys::TOverride<decltype(&::OpenSCManagerA)> m_oManager{HV::Sys::OpenSCManagerA,
                                                              &WatchOpenSCManagerA};
  HV::Sys::TOverride<decltype(&::OpenServiceA)> m_oService{HV::Sys::OpenServiceA,
                                                            &WatchOpenServiceA};
  HV::Sys::TOverride<decltype(&::CloseServiceHandle)> m_oClose{HV::Sys::CloseServiceHandle,
                                                                &WatchCloseServiceHandle};
  HV::Sys::TOverride<decltype(&::ControlService)> m_oControl{HV::Sys::ControlService,
                                                              &WatchControlService};
  HV::Sys::TOverride<decltype(&::QueryServiceStatus)> m_oQuery{HV::Sys::QueryServiceStatus,
                                                                &WatchQueryServiceStatus};
  HV::Sys::TOverride<decltype(&::Sleep)> m_oSleep{HV::Sys::Sleep, &WatchSleep};
};

const char kManagerArgs[] = "NULL|NULL|983103";  // SC_MANAGER_ALL_ACCESS
const DWORD kServiceAllAccess = 0xF01FF;

// ---------------------------------------------------------------------------------------
// Real services, one per way of answering the stop request.

struct COutcome {
  const char* szName;
  const char* szMode;  // NULL: not installed
  bool bStart;
  HRESULT hr;
  const char* szLevel;  // of the one trace entry; NULL: no trace at all
  const char* szFormat;  // its message, %s standing for the name
  int nMinQueries, nMaxQueries;
  DWORD dwStateAfter;  // 0: not installed
};

std::string Format(const char* szFormat, const std::string& strName) {
  std::string str = szFormat;
  size_t n = str.find("%s");
  if (n != std::string::npos) str.replace(n, 2, strName);
  return str;
}

void PrintTo(const COutcome& c, std::ostream* os) { *os << c.szName; }

class ServiceStopOutcome : public ServiceStop, public ::testing::WithParamInterface<COutcome> {};

TEST_P(ServiceStopOutcome, AnswersTheServicesOwnBehaviour) {
  const COutcome& c = GetParam();
  std::string strName = c.szName;
  if (c.szMode) {
    Install(strName, c.szMode, c.bStart);
    if (HasFatalFailure()) return;
  }

  EXPECT_EQ(c.hr, m_oWorker.StopService(strName));

  std::vector<CEntry> expected;
  if (c.szLevel) expected.push_back({c.szLevel, Format(c.szFormat, strName)});
  EXPECT_EQ(expected, Entries());
  EXPECT_GE(g_calls.nQueries, c.nMinQueries);
  EXPECT_LE(g_calls.nQueries, c.nMaxQueries);
  // A pause follows every query that did not see the stopped state, and only those.
  EXPECT_EQ(std::vector<DWORD>(g_calls.nQueries > 0 ? g_calls.nQueries - 1 : 0, 200),
            g_calls.sleeps);
  EXPECT_EQ(std::vector<std::string>{kManagerArgs}, g_calls.managerArgs);
  EXPECT_EQ(std::vector<DWORD>{kServiceAllAccess}, g_calls.serviceAccess);
  EXPECT_EQ(std::vector<DWORD>(c.szMode ? 1 : 0, SERVICE_CONTROL_STOP), g_calls.controls);
  EXPECT_EQ(c.szMode ? 2u : 1u, g_calls.opened.size());
  ExpectHandlesClosedInReverse();
  EXPECT_EQ(c.dwStateAfter, StateOf(strName));
}

INSTANTIATE_TEST_SUITE_P(
    Real, ServiceStopOutcome,
    ::testing::Values(
        // Stopped by the time of the first query: no pause at all.
        COutcome{"HVTestSvc_StopsAtOnce", "stop", true, S_OK, "2048", "Service Stopped: %s",
                 1, 1, SERVICE_STOPPED},
        // STOP_PENDING for about a second: watched until it has stopped.
        COutcome{"HVTestSvc_StopsSlowly", "slow", true, S_OK, "2048", "Service Stopped: %s",
                 2, 24, SERVICE_STOPPED},
        // Does not accept stop requests: the platform's refusal is the result.
        COutcome{"HVTestSvc_RefusesStop", "nostop", true,
                 HRESULT_FROM_WIN32(ERROR_INVALID_SERVICE_CONTROL), "128",
                 "ControlService(%s) failed, GetLastError = 1052", 0, 0, SERVICE_RUNNING},
        // Installed but not running, and not installed at all: nothing to do, no trace.
        COutcome{"HVTestSvc_NotRunning", "stop", false, S_FALSE, NULL, NULL, 0, 0,
                 SERVICE_STOPPED},
        COutcome{"HVTestSvc_NotInstalled", NULL, false, S_FALSE, NULL, NULL, 0, 0, 0}),
    [](const ::testing::TestParamInfo<COutcome>& info) {
      return std::string(info.param.szName).substr(10);
    });

TEST_F(ServiceStop, AServiceThatNeverStopsIsWatchedFor25QueriesAndLeftAsItIs) {
  std::string strName = Install("HVTestSvc_NeverStops", "pending", true);
  if (HasFatalFailure()) return;

  EXPECT_EQ(S_OK, m_oWorker.StopService(strName));

  EXPECT_EQ(25, g_calls.nQueries);
  EXPECT_EQ(std::vector<DWORD>(25, 200), g_calls.sleeps);
  EXPECT_EQ((std::vector<CEntry>{{"64", "The service did not appear to stop: " + strName}}),
            Entries());
  ExpectHandlesClosedInReverse();
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), StateOf(strName));
}

// The cancel flag, set before the call or by the user while the worker waits: the wait
// ends before the next query, after at most the one pause already begun.
TEST_F(ServiceStop, CancelEndsTheWaitWithinOnePause) {
  struct CCase {
    const char* szName;
    const char* szMode;
    int nCancelAfterQueries;  // 0: set before the call
    DWORD dwStateAfter;
  };
  const CCase cases[] = {
      // The stop request goes out all the same: the service is left stopping.
      {"HVTestSvc_CancelledAtOnce", "pending", 0, SERVICE_STOP_PENDING},
      {"HVTestSvc_CancelledWaiting", "running", 3, SERVICE_RUNNING},
  };
  for (const CCase& c : cases) {
    SCOPED_TRACE(c.szName);
    std::string strName = Install(c.szName, c.szMode, true);
    if (HasFatalFailure()) return;
    g_calls = CCalls();
    g_calls.pWorker = &m_oWorker;
    g_calls.nCancelAfterQueries = c.nCancelAfterQueries;
    m_oWorker.m_bCancel = (c.nCancelAfterQueries == 0);
    m_oTrace.Clear();

    EXPECT_EQ(S_OK, m_oWorker.StopService(strName));

    EXPECT_EQ(c.nCancelAfterQueries, g_calls.nQueries);
    EXPECT_EQ(std::vector<DWORD>(c.nCancelAfterQueries, 200), g_calls.sleeps);
    EXPECT_EQ(std::vector<DWORD>{SERVICE_CONTROL_STOP}, g_calls.controls);
    EXPECT_EQ((std::vector<CEntry>{{"64", "The service did not appear to stop: " + strName}}),
              Entries());
    ExpectHandlesClosedInReverse();
    EXPECT_EQ(c.dwStateAfter, StateOf(strName));
  }
}

// A status query cannot fail under Wine once the service is open; an error number of 0
// must still come out as a failure.
TEST_F(ServiceStop, AFailedStatusQueryIsTheResult) {
  const std::pair<DWORD, DWORD> cases[] = {{0, ERROR_GEN_FAILURE}, {ERROR_ACCESS_DENIED, 5}};
  int nCase = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    std::string strName = Install("HVTestSvc_QueryFails" + std::to_string(++nCase), "stop", true);
    if (HasFatalFailure()) return;
    g_calls = CCalls();
    m_oTrace.Clear();
    g_dwQueryError = c.first;
    auto oQuery = HV::Sys::Override(HV::Sys::QueryServiceStatus, &FailingQueryServiceStatus);

    EXPECT_EQ(HRESULT_FROM_WIN32(c.second), m_oWorker.StopService(strName));

    EXPECT_EQ(1, g_calls.nQueries);
    EXPECT_TRUE(g_calls.sleeps.empty());
    EXPECT_EQ((std::vector<CEntry>{
                  {"128", "FAILED: QueryServiceStatus(hService, &ss) - GetLastError = " +
                              std::to_string(c.second)}}),
              Entries());
    ExpectHandlesClosedInReverse();
  }
}

// Missing rights cannot be had under Wine, where the tests hold every right.
TEST_F(ServiceStop, AManagerThatCannotBeOpenedIsTheResult) {
  const std::pair<DWORD, DWORD> cases[] = {{ERROR_ACCESS_DENIED, 5}, {0, ERROR_GEN_FAILURE}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    g_calls = CCalls();
    m_oTrace.Clear();
    g_dwOpenError = c.first;
    auto oOpen = HV::Sys::Override(HV::Sys::OpenSCManagerA, &FailingOpenSCManagerA);

    EXPECT_EQ(HRESULT_FROM_WIN32(c.second), m_oWorker.StopService("HVTestSvc_Any"));

    EXPECT_EQ((std::vector<CEntry>{
                  {"128",
                   "FAILED: hManager = OpenSCManagerA(0, 0, ((0x000F0000L) | 0x0001 | 0x0002 | "
                   "0x0004 | 0x0008 | 0x0010 | 0x0020)) - GetLastError = " +
                       std::to_string(c.second)}}),
              Entries());
    EXPECT_TRUE(g_calls.serviceAccess.empty());
    EXPECT_TRUE(g_calls.closed.empty());
  }
}

TEST_F(ServiceStop, AServiceThatCannotBeOpenedIsTheResult) {
  struct CCase {
    const char* szName;
    bool bInject;
    DWORD dwError;
    HRESULT hr;
  };
  const CCase cases[] = {
      // A line whose variables expanded to nothing names no service: refused without
      // asking the manager, with the manager's own answer to an empty name.
      {"", false, ERROR_INVALID_NAME, HRESULT_FROM_WIN32(ERROR_INVALID_NAME)},
      {"HVTestSvc_Locked", true, ERROR_ACCESS_DENIED, HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)},
      // An error number of 0 is traced as it is, but a failed open is never a success.
      {"HVTestSvc_Locked", true, 0, HRESULT_FROM_WIN32(ERROR_GEN_FAILURE)},
  };
  for (const CCase& c : cases) {
    SCOPED_TRACE(std::string(c.szName) + " " + std::to_string(c.dwError));
    g_calls = CCalls();
    m_oTrace.Clear();
    g_dwOpenError = c.dwError;
    auto oOpen = HV::Sys::Override(HV::Sys::OpenServiceA,
                                   c.bInject ? &FailingOpenServiceA : &WatchOpenServiceA);

    EXPECT_EQ(c.hr, m_oWorker.StopService(c.szName));

    EXPECT_EQ((std::vector<CEntry>{{"128", "OpenService(" + std::string(c.szName) +
                                               ") failed, GetLastError = " +
                                               std::to_string(c.dwError)}}),
              Entries());
    EXPECT_EQ(c.bInject ? std::vector<DWORD>{kServiceAllAccess} : std::vector<DWORD>{},
              g_calls.serviceAccess);
    EXPECT_TRUE(g_calls.controls.empty());
    EXPECT_EQ(1u, g_calls.opened.size());
    ExpectHandlesClosedInReverse();
  }
}

}  // namespace
