// Registry entries in a double-byte code page (Japanese, 932): the second byte of a
// two-byte character may have the value of '\' or '|' and is never a separator.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "Global.h"
#include "RegistryPlatform.h"
#include "engine/WorkerThread.h"
#include "support/TestSupport.h"

using HVRegTest::CPlatform;
using HVRegTest::EWow64;
using HVRegTest::Traces;
using HVTest::RegKeyExists;
using HVTest::RegSetString;
using HVTest::RegValueExists;

namespace {

const REGSAM k32 = KEY_WOW64_32KEY;
const REGSAM k64 = KEY_WOW64_64KEY;

const std::string kBase = "Software\\HVTests\\RegistryDbcs";
// U+8868 and U+30DD in code page 932: their second bytes are '\' (0x5C) and '|' (0x7C).
const std::string kTrailBackslash = "\x95\x5C";
const std::string kTrailPipe = "\x83\x7C";

class RegistryDbcs : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(932u, ::GetACP()) << "the test needs the Japanese locale"; }
  void TearDown() override {
    ResetIs64BitWindowsForTests();
    ResetRegDeleteKeyExForTests();
  }

  HVTest::CSandboxKey m_oMachine64{HKEY_LOCAL_MACHINE, kBase, k64};
  HVTest::CSandboxKey m_oMachine32{HKEY_LOCAL_MACHINE, kBase, k32};
  HVTest::CSandboxKey m_oUser{HKEY_CURRENT_USER, kBase};
  HVTest::CTraceFile m_oTrace;
  CWorkerThread m_oWorker;
};

// The 64-bit step splits the path at its last backslash: here that is the one before
// the two-byte character, not the character's second byte.
TEST_F(RegistryDbcs, DeleteKeySplitsTheKeyPathOnlyAtRealBackslashes) {
  CPlatform oPlatform(EWow64::Yes);
  const std::string strKey = kBase + "\\" + kTrailBackslash;
  RegSetString(HKEY_LOCAL_MACHINE, strKey + "\\Sub", "Value", "v", REG_SZ, k64);
  RegSetString(HKEY_LOCAL_MACHINE, kBase + "\\Canary", "Keep", "v", REG_SZ, k64);
  ASSERT_TRUE(RegKeyExists(HKEY_LOCAL_MACHINE, strKey + "\\Sub", k64));
  const std::string strEntry = "HKLM\\" + strKey;

  EXPECT_EQ(S_OK, m_oWorker.DeleteKey(strEntry));
  EXPECT_FALSE(RegKeyExists(HKEY_LOCAL_MACHINE, strKey, k64));
  EXPECT_TRUE(RegValueExists(HKEY_LOCAL_MACHINE, kBase + "\\Canary", "Keep", k64));
  EXPECT_EQ(std::vector<std::string>{"256 CWorkerThread::DeleteKey: Removed registry key: " +
                                     strEntry},
            Traces(m_oTrace));
}

TEST_F(RegistryDbcs, DeleteValueSplitsTheEntryOnlyAtARealPipe) {
  const std::string strKey = kBase + "\\" + kTrailPipe;
  const std::string strName = "Name" + kTrailPipe + "|x";
  for (EWow64 eWow64 : {EWow64::Real, EWow64::Yes}) {
    m_oTrace.Clear();
    CPlatform oPlatform(eWow64);
    const HKEY hRoot = eWow64 == EWow64::Yes ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
    const REGSAM samView = eWow64 == EWow64::Yes ? k64 : 0;
    RegSetString(hRoot, strKey, strName, "v", REG_SZ, samView);
    RegSetString(hRoot, strKey, "Keep", "v", REG_SZ, samView);
    const std::string strEntry =
        (eWow64 == EWow64::Yes ? "HKLM\\" : "HKCU\\") + strKey + "|" + strName;

    EXPECT_EQ(S_OK, m_oWorker.DeleteValue(strEntry));
    EXPECT_FALSE(RegValueExists(hRoot, strKey, strName, samView));
    EXPECT_TRUE(RegValueExists(hRoot, strKey, "Keep", samView));
    EXPECT_EQ(std::vector<std::string>{"256 CWorkerThread::DeleteValue: Removed registry value: " +
                                       strEntry},
              Traces(m_oTrace));
  }
}

}  // namespace
