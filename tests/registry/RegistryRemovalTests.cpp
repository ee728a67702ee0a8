// Registry removal against the real registry of the Wine prefix, in both of its views:
// as the 64-bit test program is, and as the 32-bit product is on 64-bit Windows
// (RegistryPlatform.h). Failures come from Wine itself (keys locked by their access
// list); the seam only records calls, emulates the 32-bit process and, for entries that
// must never reach the registry, refuses every call.
#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "Global.h"
#include "HVSys.h"
#include "RegistryPlatform.h"
#include "diag/DebugTrace.h"
#include "engine/WorkerThread.h"
#include "support/TestSupport.h"

using HVRegTest::CLockedKey;
using HVRegTest::CPlatform;
using HVRegTest::CRefuseEverything;
using HVRegTest::EWow64;
using HVRegTest::g_calls;
using HVRegTest::Traces;
using HVTest::RegCreate;
using HVTest::RegKeyExists;
using HVTest::RegSetString;
using HVTest::RegValueExists;

namespace {

const REGSAM k32 = KEY_WOW64_32KEY;
const REGSAM k64 = KEY_WOW64_64KEY;

const std::string kBase = "Software\\HVTests\\Registry";
const std::string kTarget = kBase + "\\Target";
const std::string kValues = kBase + "\\Values";

// The canaries beside every key the tests delete, in both views and under HKCU.
const char* const kCanaries[] = {"Canary", "Target2", "Targe"};

const HRESULT kBadKey = static_cast<HRESULT>(0x800703F2);
const HRESULT kAccessDenied = static_cast<HRESULT>(0x80070005);

std::string Removed(const char* szWhat, const std::string& strEntry) {
  return std::string("256 CWorkerThread::Delete") + szWhat + ": Removed registry " +
         (std::string(szWhat) == "Key" ? "key: " : "value: ") + strEntry;
}

class RegistryRemoval : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* szCanary : kCanaries) {
      for (REGSAM samView : {k32, k64}) {
        RegSetString(HKEY_LOCAL_MACHINE, kBase + "\\" + szCanary, "Keep", "1", REG_SZ, samView);
      }
      RegSetString(HKEY_CURRENT_USER, kBase + "\\" + szCanary, "Keep", "1");
    }
    // The emulation means something only while HKLM\Software is redirected.
    ASSERT_TRUE(RegKeyExists(HKEY_LOCAL_MACHINE, "Software\\Wow6432Node\\HVTests\\Registry\\Canary",
                             k64))
        << "the two views are not apart";
  }

  void TearDown() override {
    for (const char* szCanary : kCanaries) {
      for (REGSAM samView : {k32, k64}) {
        EXPECT_TRUE(RegValueExists(HKEY_LOCAL_MACHINE, kBase + "\\" + szCanary, "Keep", samView))
            << szCanary << " in view " << samView;
      }
      EXPECT_TRUE(RegValueExists(HKEY_CURRENT_USER, kBase + "\\" + szCanary, "Keep")) << szCanary;
    }
    ResetIs64BitWindowsForTests();
    ResetRegDeleteKeyExForTests();
  }

  // A small tree: the key, a value in it and a sub-key with a value.
  static void MakeTree(HKEY hRoot, const std::string& strPath, REGSAM samView) {
    RegSetString(hRoot, strPath, "Value", "v", REG_SZ, samView);
    RegSetString(hRoot, strPath + "\\Sub", "Value", "v", REG_SZ, samView);
  }

  HVTest::CSandboxKey m_oMachine64{HKEY_LOCAL_MACHINE, kBase, k64};
  HVTest::CSandboxKey m_oMachine32{HKEY_LOCAL_MACHINE, kBase, k32};
  HVTest::CSandboxKey m_oUser{HKEY_CURRENT_USER, kBase};
  HVTest::CTraceFile m_oTrace;
  CWorkerThread m_oWorker;
};

// ---------------------------------------------------------------------------------
// ExtractRootKey and Is64BitWindows

TEST_F(RegistryRemoval, ExtractRootKeyTakesOnlyTheFourPrefixesAsWritten) {
  struct {
    const char* szText;
    HKEY hRoot;
    const char* szRest;
  } const cases[] = {
      {"HKCR\\CLSID\\{X}", HKEY_CLASSES_ROOT, "CLSID\\{X}"},
      {"HKLM\\SOFTWARE\\Halvern", HKEY_LOCAL_MACHINE, "SOFTWARE\\Halvern"},
      {"HKCU\\Software\\Halvern", HKEY_CURRENT_USER, "Software\\Halvern"},
      {"HKU\\.DEFAULT\\Software", HKEY_USERS, ".DEFAULT\\Software"},
      {"HKLM\\", HKEY_LOCAL_MACHINE, ""},
      {"HKLM\\HKCU\\x", HKEY_LOCAL_MACHINE, "HKCU\\x"},
      {"HKLM\\a|b", HKEY_LOCAL_MACHINE, "a|b"},
      {"hklm\\SOFTWARE", NULL, "hklm\\SOFTWARE"},
      {"HKEY_LOCAL_MACHINE\\SOFTWARE", NULL, "HKEY_LOCAL_MACHINE\\SOFTWARE"},
      {"HKLM", NULL, "HKLM"},
      {"HKLM/SOFTWARE", NULL, "HKLM/SOFTWARE"},
      {" HKLM\\SOFTWARE", NULL, " HKLM\\SOFTWARE"},
      {"HKCC\\System", NULL, "HKCC\\System"},
      {"", NULL, ""},
  };
  for (const auto& c : cases) {
    m_oTrace.Clear();
    std::string strText = c.szText;
    ::SetLastError(0);
    EXPECT_EQ(c.hRoot, ExtractRootKey(strText)) << c.szText;
    EXPECT_EQ(c.szRest, strText) << c.szText;
    if (c.hRoot) {
      EXPECT_EQ(std::vector<std::string>{}, Traces(m_oTrace)) << c.szText;
    } else {
      EXPECT_EQ(static_cast<DWORD>(ERROR_BADKEY), ::GetLastError()) << c.szText;
      EXPECT_EQ(std::vector<std::string>{std::string("128 ExtractRootKey: Root key not found in: ") +
                                         c.szText},
                Traces(m_oTrace));
    }
  }
}

TEST_F(RegistryRemoval, Is64BitWindowsAsksIsWow64ProcessOnceAndKeepsTheAnswer) {
  struct {
    EWow64 eWow64;
    BOOL bExpected;
    std::vector<std::string> traces;
  } const cases[] = {
      {EWow64::Real, FALSE, {}},
      {EWow64::Yes, TRUE, {}},
      {EWow64::Missing, FALSE, {}},
      {EWow64::CallFails, FALSE,
       {"1 Is64BitWindows: pfIsWow64Process(GetCurrentProcess(), &b) - 5"}},
      {EWow64::CallFailsAfterAnswering, TRUE,
       {"1 Is64BitWindows: pfIsWow64Process(GetCurrentProcess(), &b) - 87"}},
  };
  for (const auto& c : cases) {
    m_oTrace.Clear();
    CPlatform oPlatform(c.eWow64);
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(c.bExpected, Is64BitWindows() != FALSE) << static_cast<int>(c.eWow64);
    }
    {
      // Once known, the answer stays whatever the platform would say now.
      auto o = HV::Sys::Override(HV::Sys::GetProcAddress, &::GetProcAddress);
      EXPECT_EQ(c.bExpected, Is64BitWindows() != FALSE) << static_cast<int>(c.eWow64);
    }
    EXPECT_EQ(1u, g_calls.LookupsOf("IsWow64Process")) << static_cast<int>(c.eWow64);
    EXPECT_EQ(c.traces, Traces(m_oTrace)) << static_cast<int>(c.eWow64);
  }
}

// ---------------------------------------------------------------------------------
// DeleteKey as the 64-bit test program: its own view is the only one it touches

TEST_F(RegistryRemoval, DeleteKeyNativeRemovesTheTreeInTheOwnViewOnly) {
  CPlatform oPlatform(EWow64::Real);
  MakeTree(HKEY_LOCAL_MACHINE, kTarget, k64);
  MakeTree(HKEY_LOCAL_MACHINE, kTarget, k32);
  const std::string strEntry = "HKLM\\" + kTarget;

  EXPECT_EQ(S_OK, m_oWorker.DeleteKey(strEntry));
  EXPECT_EQ(S_FALSE, m_oWorker.DeleteKey(strEntry));
  EXPECT_EQ(S_FALSE, m_oWorker.DeleteKey("HKCU\\" + kBase + "\\NoSuchKey"));

  EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, kTarget, k64));
  EXPECT_TRUE(RegKeyExists(HKEY_LOCAL_MACHINE, kTarget + "\\Sub", k32))
      << "a 64-bit process has no second view to reach";
  EXPECT_EQ(std::vector<std::string>{Removed("Key", strEntry)}, Traces(m_oTrace));
  EXPECT_FALSE(Is64BitWindows());
  EXPECT_FALSE(g_calls.OpenedIn64BitView());
  EXPECT_EQ(1u, g_calls.LookupsOf("IsWow64Process"));
  EXPECT_EQ(0u, g_calls.LookupsOf("RegDeleteKeyExA"));
}

TEST_F(RegistryRemoval, DeleteKeyNativeReachesEachRootByItsPrefix) {
  const std::string strClasses = "HVTests.Registry";
  const std::string strUsers = ".DEFAULT\\" + kBase;
  HVTest::CSandboxKey oClasses(HKEY_CLASSES_ROOT, strClasses);
  HVTest::CSandboxKey oUsers(HKEY_USERS, strUsers);
  struct {
    const char* szPrefix;
    HKEY hRoot;
    std::string strParent;
  } const cases[] = {
      {"HKCR\\", HKEY_CLASSES_ROOT, strClasses},
      {"HKLM\\", HKEY_LOCAL_MACHINE, kBase},
      {"HKCU\\", HKEY_CURRENT_USER, kBase},
      {"HKU\\", HKEY_USERS, strUsers},
  };
  CPlatform oPlatform(EWow64::Real);
  for (const auto& c : cases) {
    m_oTrace.Clear();
    MakeTree(c.hRoot, c.strParent + "\\Target", 0);
    RegCreate(c.hRoot, c.strParent + "\\Target2");
    const std::string strEntry = c.szPrefix + c.strParent + "\\Target";
    EXPECT_EQ(S_OK, m_oWorker.DeleteKey(strEntry)) << strEntry;
    EXPECT_FALSE(RegKeyExists(c.hRoot, c.strParent + "\\Target")) << strEntry;
    EXPECT_TRUE(RegKeyExists(c.hRoot, c.strParent + "\\Target2")) << strEntry;
    EXPECT_EQ(std::vector<std::string>{Removed("Key", strEntry)}, Traces(m_oTrace));
  }
}

TEST_F(RegistryRemoval, DeleteKeyNativeReportsARefusalWithTheWholeEntry) {
  CPlatform oPlatform(EWow64::Real);
  MakeTree(HKEY_CURRENT_USER, kTarget, 0);
  CLockedKey oLocked(HKEY_CURRENT_USER, kTarget + "\\Sub", 0);
  const std::string strEntry = "HKCU\\" + kTarget;

  EXPECT_EQ(kAccessDenied, m_oWorker.DeleteKey(strEntry));
  EXPECT_EQ(std::vector<std::string>{"128 CWorkerThread::DeleteKey: SHDeleteKey(" + strEntry +
                                     ") failed returning 5"},
            Traces(m_oTrace));
}

// ---------------------------------------------------------------------------------
// DeleteKey as the 32-bit product on 64-bit Windows

TEST_F(RegistryRemoval, DeleteKeyAs32BitProcessRemovesTheKeyFromEitherView) {
  struct {
    const char* szName;
    bool bIn32;
    bool bIn64;
    const char* szSuffix;  // written after the key path in the entry
    HRESULT hr;
  } const cases[] = {
      {"only in the 64-bit view", false, true, "", S_OK},
      {"only in the 32-bit view", true, false, "", S_OK},
      {"in both views", true, true, "", S_OK},
      {"in neither view", false, false, "", S_FALSE},
      {"only in the 64-bit view, written with a final backslash", false, true, "\\", S_OK},
  };
  for (const auto& c : cases) {
    m_oTrace.Clear();
    CPlatform oPlatform(EWow64::Yes);
    if (c.bIn32) MakeTree(HKEY_LOCAL_MACHINE, kTarget, k32);
    if (c.bIn64) MakeTree(HKEY_LOCAL_MACHINE, kTarget, k64);
    ASSERT_EQ(c.bIn32, RegKeyExists(HKEY_LOCAL_MACHINE, kTarget, k32)) << c.szName;
    const std::string strEntry = "HKLM\\" + kTarget + c.szSuffix;

    EXPECT_EQ(c.hr, m_oWorker.DeleteKey(strEntry)) << c.szName;
    EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, kTarget, k32)) << c.szName;
    EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, kTarget, k64)) << c.szName;
    EXPECT_EQ(c.hr == S_OK ? std::vector<std::string>{Removed("Key", strEntry)}
                           : std::vector<std::string>{},
              Traces(m_oTrace))
        << c.szName;
    EXPECT_EQ(1u, g_calls.ownView.size()) << c.szName;
    for (const auto& call : g_calls.opens) {
      EXPECT_EQ(static_cast<REGSAM>(0x2011F), call.samView) << c.szName << ": " << call.strName;
    }
  }
}

TEST_F(RegistryRemoval, DeleteKeyAs32BitProcessTakesTheDeepestSubKeyAtIndexZeroFirst) {
  CPlatform oPlatform(EWow64::Yes);
  for (const char* szKey : {"B\\B1\\B11", "A\\A1", "A\\A2", "C"}) {
    RegSetString(HKEY_LOCAL_MACHINE, kTarget + "\\" + szKey, "Value", "v", REG_SZ, k64);
  }
  RegSetString(HKEY_LOCAL_MACHINE, kTarget + "\\B", "Value", "v", REG_SZ, k64);
  const std::string strEntry = "HKLM\\" + kTarget;

  EXPECT_EQ(S_OK, m_oWorker.DeleteKey(strEntry));
  EXPECT_EQ((std::vector<std::string>{"A1@64", "A2@64", "A@64", "B11@64", "B1@64", "B@64", "C@64",
                                      "Target@64"}),
            g_calls.DeletedKeys());
  EXPECT_EQ(std::vector<DWORD>(g_calls.enumIndices.size(), 0), g_calls.enumIndices);
  EXPECT_EQ(15u, g_calls.enumIndices.size()) << "one more enumeration per key than it has sub-keys";
  EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, kTarget, k64));
  EXPECT_EQ(std::vector<std::string>{Removed("Key", strEntry)}, Traces(m_oTrace));
}

TEST_F(RegistryRemoval, DeleteKeyAs32BitProcessLooksUpRegDeleteKeyExOnceAndFallsBack) {
  for (bool bRegDeleteKeyEx : {true, false}) {
    CPlatform oPlatform(EWow64::Yes, bRegDeleteKeyEx);
    for (const char* szKey : {"Target\\Sub\\Deeper", "Target2\\Sub"}) {
      RegSetString(HKEY_LOCAL_MACHINE, kBase + "\\Second\\" + szKey, "Value", "v", REG_SZ, k64);
    }
    EXPECT_EQ(S_OK, m_oWorker.DeleteKey("HKLM\\" + kBase + "\\Second\\Target"));
    EXPECT_EQ(S_OK, m_oWorker.DeleteKey("HKLM\\" + kBase + "\\Second\\Target2"));
    EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, kBase + "\\Second\\Target", k64));
    EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, kBase + "\\Second\\Target2", k64));
    EXPECT_EQ(1u, g_calls.LookupsOf("RegDeleteKeyExA"));
    const std::string strView = bRegDeleteKeyEx ? "@64" : "@-";
    EXPECT_EQ((std::vector<std::string>{"Deeper" + strView, "Sub" + strView, "Target" + strView,
                                        "Sub" + strView, "Target2" + strView}),
              g_calls.DeletedKeys());
  }
}

TEST_F(RegistryRemoval, DeleteKeyAs32BitProcessMakesNo64BitStepDirectlyUnderTheRoot) {
  const std::string strTop = "HVTests.Registry.Top";
  HVTest::CSandboxKey oTop(HKEY_CURRENT_USER, strTop);
  CPlatform oPlatform(EWow64::Yes);
  MakeTree(HKEY_CURRENT_USER, strTop, 0);

  EXPECT_EQ(S_OK, m_oWorker.DeleteKey("HKCU\\" + strTop));
  EXPECT_EQ(S_FALSE, m_oWorker.DeleteKey("HKCU\\" + strTop));
  EXPECT_FALSE(RegKeyExists(HKEY_CURRENT_USER, strTop));
  EXPECT_EQ(2u, g_calls.ownView.size());
  EXPECT_TRUE(g_calls.opens.empty());
  EXPECT_TRUE(g_calls.deletions.empty());
  EXPECT_EQ(std::vector<std::string>{Removed("Key", "HKCU\\" + strTop)}, Traces(m_oTrace));
}

TEST_F(RegistryRemoval, DeleteKeyAs32BitProcessReportsOnlyTheFirstOfTwoFailures) {
  enum EState { Absent, Present, Locked };
  struct {
    const char* szName;
    EState eOwn;
    EState e64;
    HRESULT hr;
    bool bRemoved64;
  } const cases[] = {
      {"refused in the own view, removed in the 64-bit view", Locked, Present, S_OK, true},
      {"refused in the own view, absent from the 64-bit view", Locked, Absent, kAccessDenied, false},
      {"refused in both views", Locked, Locked, kAccessDenied, false},
      {"absent from the own view, refused in the 64-bit view", Absent, Locked, S_FALSE, false},
  };
  const std::string strEntry = "HKLM\\" + kTarget;
  for (const auto& c : cases) {
    m_oTrace.Clear();
    CPlatform oPlatform(EWow64::Yes);
    HVTest::RegDeleteTreeIn(HKEY_LOCAL_MACHINE, kTarget, k32);
    HVTest::RegDeleteTreeIn(HKEY_LOCAL_MACHINE, kTarget, k64);
    if (c.eOwn != Absent) MakeTree(HKEY_LOCAL_MACHINE, kTarget, k32);
    if (c.e64 != Absent) MakeTree(HKEY_LOCAL_MACHINE, kTarget, k64);
    {
      std::vector<std::unique_ptr<CLockedKey>> locks;
      if (c.eOwn == Locked) locks.emplace_back(new CLockedKey(HKEY_LOCAL_MACHINE, kTarget, k32));
      if (c.e64 == Locked) locks.emplace_back(new CLockedKey(HKEY_LOCAL_MACHINE, kTarget, k64));

      EXPECT_EQ(c.hr, m_oWorker.DeleteKey(strEntry)) << c.szName;
    }
    EXPECT_EQ(c.eOwn != Absent, RegKeyExists(HKEY_LOCAL_MACHINE, kTarget, k32)) << c.szName;
    EXPECT_EQ(c.e64 != Absent && !c.bRemoved64, RegKeyExists(HKEY_LOCAL_MACHINE, kTarget, k64))
        << c.szName;
    std::vector<std::string> traces;
    if (c.hr == S_OK) traces.push_back(Removed("Key", strEntry));
    if (c.hr == kAccessDenied) {
      traces.push_back("128 CWorkerThread::DeleteKey: SHDeleteKey(" + strEntry +
                       ") failed returning 5");
    }
    EXPECT_EQ(traces, Traces(m_oTrace)) << c.szName;
  }
}

TEST_F(RegistryRemoval, DeleteKeyTreeKeepsWhatItDeletedBeforeARefusal) {
  for (const char* szKey : {"A\\A1", "B\\B1", "C"}) {
    RegCreate(HKEY_LOCAL_MACHINE, kTarget + "\\" + szKey, k64);
  }
  {
    CLockedKey oLocked(HKEY_LOCAL_MACHINE, kTarget + "\\B\\B1", k64);
    HV::CRegKey oParent;
    ASSERT_EQ(ERROR_SUCCESS, oParent.Open(HKEY_LOCAL_MACHINE, kBase.c_str(), 0x2011F));
    EXPECT_EQ(ERROR_ACCESS_DENIED, DeleteKeyTree(oParent, "Target", k64));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, DeleteKeyTree(oParent, "NoSuchKey", k64));
  }
  EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, kTarget + "\\A", k64));
  EXPECT_TRUE(RegKeyExists(HKEY_LOCAL_MACHINE, kTarget + "\\B\\B1", k64));
  EXPECT_TRUE(RegKeyExists(HKEY_LOCAL_MACHINE, kTarget + "\\C", k64));
}

// The scripts name the 32-bit copies of some keys explicitly through Wow6432Node, and the
// native copies in a second entry right after.
TEST_F(RegistryRemoval, DeleteKeyAs32BitProcessTakesTheScriptsWow6432NodePairApart) {
  CPlatform oPlatform(EWow64::Yes);
  const std::string strMendora = kBase + "\\Halvern\\Mendora";
  for (REGSAM samView : {k32, k64}) {
    MakeTree(HKEY_LOCAL_MACHINE, strMendora, samView);
    RegCreate(HKEY_LOCAL_MACHINE, kBase + "\\Halvern\\Corvelle", samView);
  }
  const std::string strWow = "HKLM\\SOFTWARE\\Wow6432Node\\HVTests\\Registry\\Halvern\\Mendora";
  const std::string strNative = "HKLM\\SOFTWARE\\HVTests\\Registry\\Halvern\\Mendora";

  EXPECT_EQ(S_OK, m_oWorker.DeleteKey(strWow));
  EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, strMendora, k32));
  EXPECT_TRUE(RegKeyExists(HKEY_LOCAL_MACHINE, strMendora + "\\Sub", k64));
  EXPECT_EQ(S_OK, m_oWorker.DeleteKey(strNative));
  EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, strMendora, k64));
  EXPECT_EQ(S_FALSE, m_oWorker.DeleteKey(strWow));
  EXPECT_EQ(S_FALSE, m_oWorker.DeleteKey(strNative));
  for (REGSAM samView : {k32, k64}) {
    EXPECT_TRUE(RegKeyExists(HKEY_LOCAL_MACHINE, kBase + "\\Halvern\\Corvelle", samView));
  }
  EXPECT_EQ((std::vector<std::string>{Removed("Key", strWow), Removed("Key", strNative)}),
            Traces(m_oTrace));
}

// ---------------------------------------------------------------------------------
// Entries that name no key below a root: nothing may reach the registry

TEST_F(RegistryRemoval, DeleteKeyRefusesEntriesWithoutAKeyBelowARoot) {
  struct {
    const char* szEntry;
    std::vector<std::string> traces;
  } const cases[] = {
      {"hkcu\\Software\\HVTests\\Registry\\Target",
       {"128 ExtractRootKey: Root key not found in: hkcu\\Software\\HVTests\\Registry\\Target",
        "128 CWorkerThread::DeleteKey: FAILED: hKey = ExtractRootKey(strKey) - GetLastError = 1010"}},
      {"HKEY_CURRENT_USER\\Software\\HVTests\\Registry\\Target",
       {"128 ExtractRootKey: Root key not found in: "
        "HKEY_CURRENT_USER\\Software\\HVTests\\Registry\\Target",
        "128 CWorkerThread::DeleteKey: FAILED: hKey = ExtractRootKey(strKey) - GetLastError = 1010"}},
      {"",
       {"128 ExtractRootKey: Root key not found in: ",
        "128 CWorkerThread::DeleteKey: FAILED: hKey = ExtractRootKey(strKey) - GetLastError = 1010"}},
      {"HKCU\\",
       {"128 CWorkerThread::DeleteKey: FAILED: NamesSubKey(strKey) - GetLastError = 1010"}},
      {"HKLM\\\\",
       {"128 CWorkerThread::DeleteKey: FAILED: NamesSubKey(strKey) - GetLastError = 1010"}},
      {"HKLM\\\\Target",
       {"128 CWorkerThread::DeleteKey: FAILED: NamesSubKey(strKey) - GetLastError = 1010"}},
  };
  for (EWow64 eWow64 : {EWow64::Real, EWow64::Yes}) {
    for (const auto& c : cases) {
      m_oTrace.Clear();
      CPlatform oPlatform(eWow64);
      CRefuseEverything oRefuse;
      EXPECT_EQ(kBadKey, m_oWorker.DeleteKey(c.szEntry)) << c.szEntry;
      EXPECT_EQ(c.traces, Traces(m_oTrace)) << c.szEntry;
      EXPECT_TRUE(g_calls.ownView.empty()) << c.szEntry;
      EXPECT_TRUE(g_calls.opens.empty()) << c.szEntry;
    }
  }
}

TEST_F(RegistryRemoval, DeleteKeyWithALowerCasePrefixLeavesTheRealKeyAlone) {
  CPlatform oPlatform(EWow64::Yes);
  MakeTree(HKEY_LOCAL_MACHINE, kTarget, k32);
  MakeTree(HKEY_LOCAL_MACHINE, kTarget, k64);
  EXPECT_EQ(kBadKey, m_oWorker.DeleteKey("hklm\\" + kTarget));
  EXPECT_TRUE(RegKeyExists(HKEY_LOCAL_MACHINE, kTarget + "\\Sub", k32));
  EXPECT_TRUE(RegKeyExists(HKEY_LOCAL_MACHINE, kTarget + "\\Sub", k64));
  EXPECT_EQ((std::vector<std::string>{
                "128 ExtractRootKey: Root key not found in: hklm\\" + kTarget,
                "128 CWorkerThread::DeleteKey: FAILED: hKey = ExtractRootKey(strKey) - "
                "GetLastError = 1010"}),
            Traces(m_oTrace));
}

TEST_F(RegistryRemoval, DeleteValueRefusesEntriesWithoutAKeyAndAValueName) {
  struct {
    const char* szEntry;
    DWORD dwLastError;  // the thread's last error before the call
    HRESULT hr;
    std::vector<std::string> traces;
  } const cases[] = {
      {"hklm\\SOFTWARE\\HVTests\\Registry\\Values|Name", 0, kBadKey,
       {"128 ExtractRootKey: Root key not found in: hklm\\SOFTWARE\\HVTests\\Registry\\Values|Name",
        "128 CWorkerThread::DeleteValue: FAILED: hKey = ExtractRootKey(strKeyAndValue) - "
        "GetLastError = 1010"}},
      {"HKLM\\SOFTWARE\\HVTests\\Registry\\Values", 0, static_cast<HRESULT>(0x8007001F),
       {"128 CWorkerThread::DeleteValue: FAILED: -1 != (nPipe = strKeyAndValue.Find('|')) - "
        "GetLastError = 31"}},
      {"HKLM\\", ERROR_MORE_DATA, static_cast<HRESULT>(0x800700EA),
       {"128 CWorkerThread::DeleteValue: FAILED: -1 != (nPipe = strKeyAndValue.Find('|')) - "
        "GetLastError = 234"}},
      {"HKCU\\|Name", 0, kBadKey,
       {"128 CWorkerThread::DeleteValue: FAILED: NamesSubKey(strKey) - GetLastError = 1010"}},
      {"HKCU\\|", 0, kBadKey,
       {"128 CWorkerThread::DeleteValue: FAILED: NamesSubKey(strKey) - GetLastError = 1010"}},
      {"HKLM\\\\SOFTWARE\\HVTests\\Registry\\Values|Name", 0, kBadKey,
       {"128 CWorkerThread::DeleteValue: FAILED: NamesSubKey(strKey) - GetLastError = 1010"}},
  };
  for (EWow64 eWow64 : {EWow64::Real, EWow64::Yes}) {
    for (const auto& c : cases) {
      m_oTrace.Clear();
      CPlatform oPlatform(eWow64);
      CRefuseEverything oRefuse;
      const std::string strEntry = c.szEntry;
      ::SetLastError(c.dwLastError);
      EXPECT_EQ(c.hr, m_oWorker.DeleteValue(strEntry)) << c.szEntry;
      EXPECT_EQ(c.traces, Traces(m_oTrace)) << c.szEntry;
      EXPECT_TRUE(g_calls.ownView.empty()) << c.szEntry;
      EXPECT_TRUE(g_calls.opens.empty()) << c.szEntry;
    }
  }
}

// ---------------------------------------------------------------------------------
// DeleteValue

TEST_F(RegistryRemoval, DeleteValueNativeTakesEverythingAfterTheFirstPipeAsTheName) {
  const std::string kFolder = "C:\\Program Files\\Halvern\\Mendora\\";
  const std::vector<std::string> kAll = {"", "a", "a|b", "b", kFolder, kFolder + "Updates\\"};
  struct {
    const char* szName;
    std::string strEntry;
    const char* szRemoved;  // NULL when nothing is to be removed
  } const cases[] = {
      {"a folder path as the name", "HKCU\\" + kValues + "|" + kFolder + "Updates\\",
       "C:\\Program Files\\Halvern\\Mendora\\Updates\\"},
      {"the default value", "HKCU\\" + kValues + "|", ""},
      {"a second pipe in the name", "HKCU\\" + kValues + "|a|b", "a|b"},
      {"a value that is not there", "HKCU\\" + kValues + "|c", NULL},
      {"a key that is not there", "HKCU\\" + kBase + "\\NoSuchKey|a", NULL},
  };
  CPlatform oPlatform(EWow64::Real);
  for (const auto& c : cases) {
    m_oTrace.Clear();
    for (const auto& strName : kAll) RegSetString(HKEY_CURRENT_USER, kValues, strName, "v");

    EXPECT_EQ(c.szRemoved ? S_OK : S_FALSE, m_oWorker.DeleteValue(c.strEntry)) << c.szName;
    for (const auto& strName : kAll) {
      EXPECT_EQ(!c.szRemoved || strName != c.szRemoved,
                RegValueExists(HKEY_CURRENT_USER, kValues, strName))
          << c.szName << ": " << strName;
    }
    EXPECT_EQ(c.szRemoved ? std::vector<std::string>{Removed("Value", c.strEntry)}
                          : std::vector<std::string>{},
              Traces(m_oTrace))
        << c.szName;
  }
  EXPECT_FALSE(g_calls.OpenedIn64BitView());
}

TEST_F(RegistryRemoval, DeleteValueNativeReportsARefusalWithTheWholeEntry) {
  CPlatform oPlatform(EWow64::Real);
  RegSetString(HKEY_CURRENT_USER, kValues, "Name", "v");
  CLockedKey oLocked(HKEY_CURRENT_USER, kValues, 0);
  const std::string strEntry = "HKCU\\" + kValues + "|Name";

  EXPECT_EQ(kAccessDenied, m_oWorker.DeleteValue(strEntry));
  EXPECT_EQ(std::vector<std::string>{"128 CWorkerThread::DeleteValue: SHDeleteValue(" + strEntry +
                                     ") failed returning 5"},
            Traces(m_oTrace));
}

TEST_F(RegistryRemoval, DeleteValueAs32BitProcessRemovesTheValueFromEitherView) {
  const std::string kName = "C:\\Program Files\\Halvern\\Mendora\\Updates\\";
  enum EState { Absent, Present, Locked, NoKey };
  struct {
    const char* szName;
    const char* szValue;
    EState eOwn;
    EState e64;
    HRESULT hr;
  } const cases[] = {
      {"only in the 64-bit view", kName.c_str(), Absent, Present, S_OK},
      {"only in the 32-bit view", kName.c_str(), Present, Absent, S_OK},
      {"in both views", kName.c_str(), Present, Present, S_OK},
      {"in neither view", kName.c_str(), Absent, Absent, S_FALSE},
      {"the default value, only in the 64-bit view", "", Absent, Present, S_OK},
      {"the key only in the 64-bit view", kName.c_str(), NoKey, Present, S_OK},
      {"the key in neither view", kName.c_str(), NoKey, NoKey, S_FALSE},
      {"refused in the own view, removed in the 64-bit view", kName.c_str(), Locked, Present, S_OK},
      {"refused in the own view, absent from the 64-bit view", kName.c_str(), Locked, Absent,
       kAccessDenied},
      {"absent from the own view, refused in the 64-bit view", kName.c_str(), Absent, Locked,
       S_FALSE},
  };
  for (const auto& c : cases) {
    m_oTrace.Clear();
    CPlatform oPlatform(EWow64::Yes);
    std::vector<std::unique_ptr<CLockedKey>> locks;
    for (REGSAM samView : {k32, k64}) {
      EState eState = samView == k32 ? c.eOwn : c.e64;
      HVTest::RegDeleteTreeIn(HKEY_LOCAL_MACHINE, kValues, samView);
      if (eState == NoKey) continue;
      RegSetString(HKEY_LOCAL_MACHINE, kValues, "Keep", "v", REG_SZ, samView);
      if (eState != Absent) RegSetString(HKEY_LOCAL_MACHINE, kValues, c.szValue, "v", REG_SZ, samView);
      if (eState == Locked) locks.emplace_back(new CLockedKey(HKEY_LOCAL_MACHINE, kValues, samView));
    }
    const std::string strEntry = "HKLM\\" + kValues + "|" + c.szValue;

    EXPECT_EQ(c.hr, m_oWorker.DeleteValue(strEntry)) << c.szName;
    locks.clear();
    for (REGSAM samView : {k32, k64}) {
      EState eState = samView == k32 ? c.eOwn : c.e64;
      EXPECT_EQ(eState == Locked, RegValueExists(HKEY_LOCAL_MACHINE, kValues, c.szValue, samView))
          << c.szName << " in view " << samView;
      EXPECT_EQ(eState != NoKey, RegValueExists(HKEY_LOCAL_MACHINE, kValues, "Keep", samView))
          << c.szName << " in view " << samView;
    }
    std::vector<std::string> traces;
    if (c.hr == S_OK) traces.push_back(Removed("Value", strEntry));
    if (c.hr == kAccessDenied) {
      traces.push_back("128 CWorkerThread::DeleteValue: SHDeleteValue(" + strEntry +
                       ") failed returning 5");
    }
    EXPECT_EQ(traces, Traces(m_oTrace)) << c.szName;
    for (const auto& call : g_calls.opens) {
      EXPECT_EQ(static_cast<REGSAM>(0x2011F), call.samView) << c.szName;
      EXPECT_EQ(kValues, call.strName) << c.szName;
    }
  }
}

}  // namespace
