#include "RegistryPlatform.h"

#include <cstring>

#include <gtest/gtest.h>

#include "Global.h"

namespace HVRegTest {

SCalls g_calls;

namespace {

EWow64 s_eWow64 = EWow64::Real;
bool s_bRegDeleteKeyEx = true;

template <typename TFunction>
FARPROC AsFarProc(TFunction pfn) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(pfn));
}

std::string ViewName(REGSAM sam) {
  if (sam & KEY_WOW64_64KEY) return "64";
  if (sam & KEY_WOW64_32KEY) return "32";
  return "own";
}

BOOL WINAPI IsWow64ProcessYes(HANDLE, PBOOL pbWow64) {
  *pbWow64 = TRUE;
  return TRUE;
}

BOOL WINAPI IsWow64ProcessFails(HANDLE, PBOOL) {
  ::SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

BOOL WINAPI IsWow64ProcessFailsAfterAnswering(HANDLE, PBOOL pbWow64) {
  *pbWow64 = TRUE;
  ::SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}

LONG WINAPI RecordingRegDeleteKeyExA(HKEY hKey, LPCSTR szName, REGSAM samView, DWORD dwReserved) {
  g_calls.deletions.push_back({"RegDeleteKeyExA", szName, samView});
  return ::RegDeleteKeyExA(hKey, szName, samView, dwReserved);
}

FARPROC WINAPI RecordingGetProcAddress(HMODULE hModule, LPCSTR szName) {
  if (IS_INTRESOURCE(szName)) return ::GetProcAddress(hModule, szName);
  g_calls.lookups.push_back(szName);
  if (std::strcmp(szName, "IsWow64Process") == 0) {
    switch (s_eWow64) {
      case EWow64::Real: break;
      case EWow64::Yes: return AsFarProc(&IsWow64ProcessYes);
      case EWow64::Missing: return NULL;
      case EWow64::CallFails: return AsFarProc(&IsWow64ProcessFails);
      case EWow64::CallFailsAfterAnswering: return AsFarProc(&IsWow64ProcessFailsAfterAnswering);
    }
  }
  if (std::strcmp(szName, "RegDeleteKeyExA") == 0) {
    if (!s_bRegDeleteKeyEx) return NULL;
    EXPECT_EQ(::GetModuleHandleA("advapi32.dll"), hModule) << "looked up in another module";
    return AsFarProc(&RecordingRegDeleteKeyExA);
  }
  return ::GetProcAddress(hModule, szName);
}

LONG WINAPI RecordingRegOpenKeyExA(HKEY hKey, LPCSTR szSubKey, DWORD dwOptions, REGSAM sam,
                                   PHKEY phResult) {
  g_calls.opens.push_back({"RegOpenKeyExA", szSubKey ? szSubKey : "", sam});
  return ::RegOpenKeyExA(hKey, szSubKey, dwOptions, sam, phResult);
}

LONG WINAPI RecordingRegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR szName, LPDWORD pcchName,
                                   LPDWORD pdwReserved, LPSTR szClass, LPDWORD pcchClass,
                                   PFILETIME pftLastWrite) {
  g_calls.enumIndices.push_back(dwIndex);
  return ::RegEnumKeyExA(hKey, dwIndex, szName, pcchName, pdwReserved, szClass, pcchClass,
                         pftLastWrite);
}

LONG WINAPI RecordingRegDeleteKeyA(HKEY hKey, LPCSTR szName) {
  g_calls.deletions.push_back({"RegDeleteKeyA", szName, 0});
  return ::RegDeleteKeyA(hKey, szName);
}

// SHDeleteKeyA of a 32-bit process: the key with everything below it, in the 32-bit view.
DWORD WINAPI SHDeleteKeyIn32BitView(HKEY hRoot, LPCSTR szSubKey) {
  g_calls.ownView.push_back({"SHDeleteKeyA", szSubKey, KEY_WOW64_32KEY});
  HKEY hKey = NULL;
  LONG lResult = ::RegOpenKeyExA(hRoot, szSubKey, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY, &hKey);
  if (ERROR_SUCCESS != lResult) return lResult;
  lResult = ::RegDeleteTreeA(hKey, NULL);
  ::RegCloseKey(hKey);
  if (ERROR_SUCCESS != lResult) return lResult;
  return ::RegDeleteKeyExA(hRoot, szSubKey, KEY_WOW64_32KEY, 0);
}

// SHDeleteValueA of a 32-bit process.
DWORD WINAPI SHDeleteValueIn32BitView(HKEY hRoot, LPCSTR szSubKey, LPCSTR szValue) {
  g_calls.ownView.push_back({"SHDeleteValueA", std::string(szSubKey) + "|" + szValue,
                             KEY_WOW64_32KEY});
  HKEY hKey = NULL;
  LONG lResult = ::RegOpenKeyExA(hRoot, szSubKey, 0, KEY_SET_VALUE | KEY_WOW64_32KEY, &hKey);
  if (ERROR_SUCCESS != lResult) return lResult;
  lResult = ::RegDeleteValueA(hKey, szValue);
  ::RegCloseKey(hKey);
  return lResult;
}

LONG WINAPI RefusedRegOpenKeyExA(HKEY, LPCSTR szSubKey, DWORD, REGSAM sam, PHKEY phResult) {
  g_calls.opens.push_back({"RegOpenKeyExA", szSubKey ? szSubKey : "", sam});
  *phResult = NULL;
  return ERROR_ACCESS_DENIED;
}

DWORD WINAPI RefusedSHDeleteKeyA(HKEY, LPCSTR szSubKey) {
  g_calls.ownView.push_back({"SHDeleteKeyA", szSubKey, 0});
  return ERROR_ACCESS_DENIED;
}

DWORD WINAPI RefusedSHDeleteValueA(HKEY, LPCSTR szSubKey, LPCSTR szValue) {
  g_calls.ownView.push_back({"SHDeleteValueA", std::string(szSubKey) + "|" + szValue, 0});
  return ERROR_ACCESS_DENIED;
}

bool SetAccessList(HKEY hRoot, const std::string& strPath, REGSAM samView, PACL pAcl) {
  HKEY hKey = NULL;
  if (::RegOpenKeyExA(hRoot, strPath.c_str(), 0, WRITE_DAC | samView, &hKey) != ERROR_SUCCESS) {
    return false;
  }
  SECURITY_DESCRIPTOR sd;
  ::InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
  ::SetSecurityDescriptorDacl(&sd, TRUE, pAcl, FALSE);
  LONG lResult = ::RegSetKeySecurity(hKey, DACL_SECURITY_INFORMATION, &sd);
  ::RegCloseKey(hKey);
  return lResult == ERROR_SUCCESS;
}

}  // namespace

size_t SCalls::LookupsOf(const std::string& strName) const {
  size_t n = 0;
  for (const auto& strLookup : lookups) n += strLookup == strName;
  return n;
}

std::vector<std::string> SCalls::DeletedKeys() const {
  std::vector<std::string> names;
  for (const auto& call : deletions) {
    names.push_back(call.strName + "@" +
                    (call.strFunction == "RegDeleteKeyA" ? "-" : ViewName(call.samView)));
  }
  return names;
}

bool SCalls::OpenedIn64BitView() const {
  for (const auto& call : opens) {
    if (call.samView & KEY_WOW64_64KEY) return true;
  }
  return false;
}

CPlatform::CPlatform(EWow64 eWow64, bool bRegDeleteKeyEx)
    : m_oGetProcAddress(HV::Sys::GetProcAddress, &RecordingGetProcAddress),
      m_oRegOpenKeyExA(HV::Sys::RegOpenKeyExA, &RecordingRegOpenKeyExA),
      m_oRegEnumKeyExA(HV::Sys::RegEnumKeyExA, &RecordingRegEnumKeyExA),
      m_oRegDeleteKeyA(HV::Sys::RegDeleteKeyA, &RecordingRegDeleteKeyA),
      m_oSHDeleteKeyA(HV::Sys::SHDeleteKeyA,
                      eWow64 == EWow64::Yes ? &SHDeleteKeyIn32BitView : HV::Sys::SHDeleteKeyA),
      m_oSHDeleteValueA(HV::Sys::SHDeleteValueA, eWow64 == EWow64::Yes
                                                     ? &SHDeleteValueIn32BitView
                                                     : HV::Sys::SHDeleteValueA) {
  s_eWow64 = eWow64;
  s_bRegDeleteKeyEx = bRegDeleteKeyEx;
  ResetIs64BitWindowsForTests();
  ResetRegDeleteKeyExForTests();
  g_calls.Clear();
}

CPlatform::~CPlatform() {
  ResetIs64BitWindowsForTests();
  ResetRegDeleteKeyExForTests();
  s_eWow64 = EWow64::Real;
  s_bRegDeleteKeyEx = true;
}

CRefuseEverything::CRefuseEverything()
    : m_oRegOpenKeyExA(HV::Sys::RegOpenKeyExA, &RefusedRegOpenKeyExA),
      m_oSHDeleteKeyA(HV::Sys::SHDeleteKeyA, &RefusedSHDeleteKeyA),
      m_oSHDeleteValueA(HV::Sys::SHDeleteValueA, &RefusedSHDeleteValueA) {}

CLockedKey::CLockedKey(HKEY hRoot, const std::string& strPath, REGSAM samView)
    : m_hRoot(hRoot), m_strPath(strPath), m_samView(samView) {
  ACL aclEmpty;
  ::InitializeAcl(&aclEmpty, sizeof(aclEmpty), ACL_REVISION);
  EXPECT_TRUE(SetAccessList(m_hRoot, m_strPath, m_samView, &aclEmpty)) << "lock " << m_strPath;
  EXPECT_FALSE(HVTest::RegKeyExists(m_hRoot, m_strPath, m_samView)) << "still opens: " << m_strPath;
}

CLockedKey::~CLockedKey() {
  EXPECT_TRUE(SetAccessList(m_hRoot, m_strPath, m_samView, NULL)) << "unlock " << m_strPath;
}

std::vector<std::string> Traces(const HVTest::CTraceFile& oTrace) {
  std::vector<std::string> traces;
  for (const auto& fields : oTrace.Lines()) {
    EXPECT_EQ(12u, fields.size());
    if (fields.size() < 6) continue;
    traces.push_back(fields[0] + " " + fields[5] + ": " + fields[1]);
  }
  return traces;
}

}  // namespace HVRegTest
