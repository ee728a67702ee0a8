// The path variables: the machine's real folders and the products' "InstallDir" values
// in Wine's registry; platform failures injected only where Wine cannot fail for real.
#include <gtest/gtest.h>

#include <shlobj.h>

#include <cstring>
#include <string>
#include <vector>

#include "Global.h"
#include "HVSys.h"
#include "diag/DebugTrace.h"
#include "support/TestSupport.h"

using HVTest::CTraceFile;

namespace {

std::string TrimBackslashes(std::string str) {
  while (!str.empty() && str.back() == '\\') str.pop_back();
  return str;
}

std::string SpecialFolder(int nCsidl) {
  char sz[MAX_PATH] = {};
  EXPECT_TRUE(::SHGetSpecialFolderPathA(NULL, sz, nCsidl, FALSE));
  return TrimBackslashes(sz);
}

std::string WindowsFolder() {
  char sz[MAX_PATH] = {};
  ::GetWindowsDirectoryA(sz, MAX_PATH);
  return TrimBackslashes(sz);
}

std::string SystemFolder() {
  char sz[MAX_PATH] = {};
  ::GetSystemDirectoryA(sz, MAX_PATH);
  return TrimBackslashes(sz);
}

const char kCorvelle[] = "Software\\Halvern\\Corvelle";
const char kMendora[] = "Software\\Halvern\\Mendora";

class PathVariables : public ::testing::Test {
 protected:
  void SetUp() override { ResetReplacementsForTests(); }
  void TearDown() override { ResetReplacementsForTests(); }
  HVTest::CSandboxKey m_oMaker{HKEY_LOCAL_MACHINE, "Software\\Halvern"};
};

TEST_F(PathVariables, TheFirstCallWorksOutEveryFolderOnceAndTracesItsValue) {
  CTraceFile oTrace;
  std::string strProgramFiles = SpecialFolder(CSIDL_PROGRAM_FILES);
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"%WINDOWS%", WindowsFolder()},
      {"%SYSTEM%", SystemFolder()},
      {"%PROGRAMFILES%", strProgramFiles},
      {"%COMMONFILES%", SpecialFolder(CSIDL_PROGRAM_FILES_COMMON)},
      {"%PROGRAMDATA%", SpecialFolder(CSIDL_COMMON_APPDATA)},
      {"%USERDATA%", SpecialFolder(CSIDL_APPDATA)},
      {"%STARTMENU%", SpecialFolder(CSIDL_COMMON_STARTMENU)},
      {"%CVINSTALLDIR%", strProgramFiles + "\\Halvern\\Corvelle"},
      {"%MDINSTALLDIR%", strProgramFiles + "\\Halvern\\Mendora"},
  };
  for (const auto& variable : expected) {
    EXPECT_EQ(variable.second, DoReplacements(variable.first)) << variable.first;
  }
  std::vector<std::string> values;
  for (const auto& variable : expected) values.push_back(variable.first + " = " + variable.second);
  EXPECT_EQ(values, oTrace.Messages(TRACE_VALUE));
  EXPECT_EQ(9u, oTrace.Lines().size()) << "nothing failed, and later calls trace nothing";
  EXPECT_EQ(std::vector<std::string>(9, "DoReplacements"),
            [&] {
              std::vector<std::string> functions;
              for (const auto& fields : oTrace.Lines()) functions.push_back(fields[5]);
              return functions;
            }());
}

TEST_F(PathVariables, ExpansionReplacesExactNamesOnly) {
  const std::string strWindows = WindowsFolder();
  const std::string strSystem = SystemFolder();
  const struct {
    const char* szIn;
    std::string strOut;
  } cases[] = {
      {"", ""},
      {"no percent sign at all", "no percent sign at all"},
      {"%windows%\\Temp", "%windows%\\Temp"},
      {"%WINDOWS%\\Temp", strWindows + "\\Temp"},
      {"%TEMP%\\x", "%TEMP%\\x"},
      {"%TEMP%\\%SYSTEM%", "%TEMP%\\" + strSystem},
      {"%SYSTEM%|%SYSTEM%", strSystem + "|" + strSystem},
      {"%WINDOWS%%SYSTEM%", strWindows + strSystem},
      {"100%", "100%"},
      {"%%WINDOWS%%", "%" + strWindows + "%"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.strOut, DoReplacements(c.szIn)) << c.szIn;
}

UINT WINAPI FailingFolder(LPSTR, UINT) {
  ::SetLastError(ERROR_ACCESS_DENIED);
  return 0;
}
BOOL WINAPI FailingSpecialFolder(HWND, LPSTR, int, BOOL) {
  ::SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

TEST_F(PathVariables, WhenEveryPlatformCallFailsTheDefaultsAreResolved) {
  CTraceFile oTrace;
  auto o1 = HV::Sys::Override(HV::Sys::GetWindowsDirectoryA, &FailingFolder);
  auto o2 = HV::Sys::Override(HV::Sys::GetSystemDirectoryA, &FailingFolder);
  auto o3 = HV::Sys::Override(HV::Sys::SHGetSpecialFolderPathA, &FailingSpecialFolder);

  EXPECT_EQ("C:\\ProgramData\\Microsoft\\Windows\\Start Menu", DoReplacements("%STARTMENU%"));
  EXPECT_EQ("C:\\Program Files\\Halvern\\Corvelle", DoReplacements("%CVINSTALLDIR%"));
  EXPECT_EQ("C:\\Program Files\\Halvern\\Mendora", DoReplacements("%MDINSTALLDIR%"));
  EXPECT_EQ("C:\\Windows\\System32\\x", DoReplacements("%SYSTEM%\\x"));
  EXPECT_EQ("C:\\UserData", DoReplacements("%USERDATA%"));

  const std::vector<std::string> failures = {
      "GetWindowsDirectory(Values[0], _countof(Values[0])) - 5",
      "GetSystemDirectory(Values[1], _countof(Values[1])) - 5",
      "SHGetSpecialFolderPath(NULL, Values[2], CSIDL_PROGRAM_FILES, FALSE) - 5",
      "SHGetSpecialFolderPath(NULL, Values[3], CSIDL_PROGRAM_FILES_COMMON, FALSE) - 5",
      "SHGetSpecialFolderPath(NULL, Values[4], CSIDL_COMMON_APPDATA, FALSE) - 5",
      "SHGetSpecialFolderPath(NULL, Values[5], CSIDL_APPDATA, FALSE) - 5",
      "SHGetSpecialFolderPath(NULL, Values[6], CSIDL_COMMON_STARTMENU, FALSE) - 5",
  };
  EXPECT_EQ(failures, oTrace.Messages(TRACE_LASTERROR));
  EXPECT_EQ(9u, oTrace.Messages(TRACE_VALUE).size());
  EXPECT_EQ(16u, oTrace.Lines().size());
}

UINT WINAPI DriveRootWindows(LPSTR szBuffer, UINT) {
  lstrcpyA(szBuffer, "C:\\");
  return 3;
}

TEST_F(PathVariables, AFolderWithATrailingBackslashIsStoredWithoutIt) {
  auto o = HV::Sys::Override(HV::Sys::GetWindowsDirectoryA, &DriveRootWindows);
  EXPECT_EQ("C:", DoReplacements("%WINDOWS%"));
  EXPECT_EQ("C:\\Temp", DoReplacements("%WINDOWS%\\Temp"));
}

struct InstallDirCase {
  const char* szName;
  const char* szKey;       // under HKLM; the value is written here
  DWORD dwType;
  std::string strData;     // raw bytes as stored
  const char* szEmptyKey;  // a key created without the value, or nullptr
  std::string strExpected; // expansion of %CVINSTALLDIR%; "$PF" stands for %PROGRAMFILES%
  const char* szTrace;     // the level-4 message, or nullptr
};

std::string WithProgramFiles(std::string str) {
  size_t n = str.find("$PF");
  if (n != std::string::npos) str.replace(n, 3, SpecialFolder(CSIDL_PROGRAM_FILES));
  return str;
}

const char kCvRefused[] = "oRegKey.QueryStringValue(_T(\"InstallDir\"), Values[7], &lSize)";

TEST_F(PathVariables, InstallDirValuesAreAcceptedOnlyAsTerminatedStrings) {
  const std::string strKey = std::string(kCorvelle) + "\\CurrentVersion\\GlobalProperties";
  const std::string strLast = kCorvelle;
  const std::string strDefault = "$PF\\Halvern\\Corvelle";
  const DWORD dwSeven = 7;
  const InstallDirCase cases[] = {
      {"trailing backslashes go", strKey.c_str(), REG_SZ, std::string("D:\\Apps\\Corvelle\\\\\\", 19) + '\0', nullptr,
       "D:\\Apps\\Corvelle", nullptr},
      {"from the last key path", strLast.c_str(), REG_SZ, std::string("E:\\CV", 5) + '\0', nullptr, "E:\\CV",
       nullptr},
      {"empty data", strKey.c_str(), REG_SZ, "", nullptr, "", nullptr},
      {"only the terminator", strKey.c_str(), REG_SZ, std::string(1, '\0'), nullptr, "", nullptr},
      {"expandable, with a variable of ours", strKey.c_str(), REG_EXPAND_SZ,
       std::string("%PROGRAMFILES%\\Custom") + '\0', nullptr, "$PF\\Custom", nullptr},
      {"a platform variable stays literal", strKey.c_str(), REG_EXPAND_SZ,
       std::string("%TEMP%\\CV") + '\0', nullptr, "%TEMP%\\CV", nullptr},
      {"REG_DWORD", strKey.c_str(), REG_DWORD, std::string(reinterpret_cast<const char*>(&dwSeven), 4),
       nullptr, strDefault, "- 13"},
      {"longer than the entry", strKey.c_str(), REG_SZ, std::string(600, 'x') + '\0', nullptr, strDefault,
       "- 234"},
      {"the first key path opens without the value", strLast.c_str(), REG_SZ,
       std::string("E:\\Ignored") + '\0', strKey.c_str(), strDefault, "- 2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.szName);
    HVTest::CSandboxKey oProduct(HKEY_LOCAL_MACHINE, kCorvelle);
    if (c.szEmptyKey) HVTest::RegCreate(HKEY_LOCAL_MACHINE, c.szEmptyKey);
    HVTest::RegSetRaw(HKEY_LOCAL_MACHINE, c.szKey, "InstallDir", c.dwType, c.strData.data(),
                      static_cast<DWORD>(c.strData.size()));
    CTraceFile oTrace;
    ResetReplacementsForTests();
    EXPECT_EQ(WithProgramFiles(c.strExpected), DoReplacements("%CVINSTALLDIR%"));
    std::vector<std::string> expectedTraces;
    if (c.szTrace) expectedTraces.push_back(std::string(kCvRefused) + " " + c.szTrace);
    EXPECT_EQ(expectedTraces, oTrace.Messages(TRACE_STATUS));
  }
}

// Wine's registry terminates every string it hands out, so data without a final zero
// byte has to be injected.
LONG WINAPI UnterminatedInstallDir(HKEY, LPCSTR, LPDWORD, LPDWORD pdwType, LPBYTE pbData,
                                   LPDWORD pcbData) {
  static const char kData[] = "D:\\NoZero";
  *pdwType = REG_SZ;
  std::memcpy(pbData, kData, sizeof(kData) - 1);
  *pcbData = sizeof(kData) - 1;
  return ERROR_SUCCESS;
}

TEST_F(PathVariables, DataWithoutAFinalZeroByteIsRefused) {
  HVTest::RegSetString(HKEY_LOCAL_MACHINE, kCorvelle, "InstallDir", "D:\\Ignored");
  CTraceFile oTrace;
  auto o = HV::Sys::Override(HV::Sys::RegQueryValueExA, &UnterminatedInstallDir);
  EXPECT_EQ(WithProgramFiles("$PF\\Halvern\\Corvelle"), DoReplacements("%CVINSTALLDIR%"));
  EXPECT_EQ(std::vector<std::string>{std::string(kCvRefused) + " - 13"},
            oTrace.Messages(TRACE_STATUS));
}

TEST_F(PathVariables, MendoraHasItsOwnKeysAndTrace) {
  HVTest::RegSetRaw(HKEY_LOCAL_MACHINE, std::string(kMendora) + "\\CurrentVersion", "InstallDir",
                    REG_BINARY, "ab", 2);
  HVTest::RegSetString(HKEY_LOCAL_MACHINE, kCorvelle, "InstallDir", "F:\\Corvelle");
  CTraceFile oTrace;
  EXPECT_EQ("F:\\Corvelle", DoReplacements("%CVINSTALLDIR%"));
  EXPECT_EQ(WithProgramFiles("$PF\\Halvern\\Mendora"), DoReplacements("%MDINSTALLDIR%"));
  EXPECT_EQ(std::vector<std::string>{
                "oRegKey.QueryStringValue(_T(\"InstallDir\"), Values[8], &lSize) - 13"},
            oTrace.Messages(TRACE_STATUS));
}

TEST_F(PathVariables, AnInsertedValueIsSearchedOnlyForNamesOfHigherIndex) {
  HVTest::RegSetString(HKEY_LOCAL_MACHINE, kCorvelle, "InstallDir", "X:\\%MDINSTALLDIR%\\%WINDOWS%");
  HVTest::RegSetString(HKEY_LOCAL_MACHINE, kMendora, "InstallDir", "Y:\\MD");
  // The normalisation pass resolved %WINDOWS% (lower index) but not %MDINSTALLDIR%,
  // which the expansion of the entry then replaces.
  EXPECT_EQ("X:\\Y:\\MD\\" + WindowsFolder(), DoReplacements("%CVINSTALLDIR%"));
}

TEST_F(PathVariables, ANormalisedValueLongerThanTheEntryIsCutAndTraced) {
  std::string strStored, strExpanded;
  for (int i = 0; i < 30; ++i) {
    strStored += "%COMMONFILES%";
    strExpanded += SpecialFolder(CSIDL_PROGRAM_FILES_COMMON);
  }
  HVTest::RegSetString(HKEY_LOCAL_MACHINE, kCorvelle, "InstallDir", strStored);
  CTraceFile oTrace;
  EXPECT_EQ(strExpanded.substr(0, 519), DoReplacements("%CVINSTALLDIR%"));
  EXPECT_EQ(std::vector<std::string>{
                "StringCchCopy(Values[i], _countof(Values[i]), "
                "DoReplacements(Values[i]).TrimRight(_T('\\\\'))) - 0x8007007a"},
            oTrace.Messages(TRACE_STATUS));
}

}  // namespace
