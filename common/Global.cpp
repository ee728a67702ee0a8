#include "Global.h"

#include <cstring>

#include "AnsiText.h"
#include "HVSys.h"
#include "Include/HVHandles.h"
#include "diag/DebugTrace.h"

namespace {

// ---------------------------------------------------------------------------------
// Path variables

const size_t kVariableCount = 9;
const size_t kValueSize = 520;

const char* const Names[kVariableCount] = {
    "%WINDOWS%",     "%SYSTEM%",    "%PROGRAMFILES%",  "%COMMONFILES%",  "%PROGRAMDATA%",
    "%USERDATA%",    "%STARTMENU%", "%CVINSTALLDIR%",  "%MDINSTALLDIR%",
};

const char* const Defaults[kVariableCount] = {
    "C:\\Windows",
    "C:\\Windows\\System32",
    "C:\\Program Files",
    "C:\\Program Files\\Common Files",
    "C:\\ProgramData",
    "C:\\UserData",
    "%PROGRAMDATA%\\Microsoft\\Windows\\Start Menu",
    "%PROGRAMFILES%\\Halvern\\Corvelle",
    "%PROGRAMFILES%\\Halvern\\Mendora",
};

char Values[kVariableCount][kValueSize] = {
    "C:\\Windows",
    "C:\\Windows\\System32",
    "C:\\Program Files",
    "C:\\Program Files\\Common Files",
    "C:\\ProgramData",
    "C:\\UserData",
    "%PROGRAMDATA%\\Microsoft\\Windows\\Start Menu",
    "%PROGRAMFILES%\\Halvern\\Corvelle",
    "%PROGRAMFILES%\\Halvern\\Mendora",
};

// Not a once-only guard: the normalisation pass calls DoReplacements from inside the
// initialisation, and that nested call must expand at once instead of waiting.
bool s_bFirstTime = true;

const char* const CorvelleKeys[] = {
    "Software\\Halvern\\Corvelle\\CurrentVersion\\GlobalProperties",
    "Software\\Halvern\\Corvelle\\CurrentVersion",
    "Software\\Halvern\\Corvelle",
};

const char* const MendoraKeys[] = {
    "Software\\Halvern\\Mendora\\CurrentVersion\\GlobalProperties",
    "Software\\Halvern\\Mendora\\CurrentVersion",
    "Software\\Halvern\\Mendora",
};

bool IsLeadByte(char c) { return ::IsDBCSLeadByte(static_cast<BYTE>(c)) != FALSE; }

// Reads "InstallDir" of the first of the keys that opens into the entry. The value is
// taken only when it is a terminated string that fits; otherwise the entry keeps its
// default, so it always stays a terminated text within its buffer.
// Returns 0, or the code of the refused read.
LONG ReadInstallDir(HV::CRegKey& oRegKey, const char* const* rgszKeys, size_t cKeys,
                    char* szEntry, bool* pbOpened) {
  *pbOpened = false;
  for (size_t i = 0; i < cKeys; ++i) {
    if (ERROR_SUCCESS == oRegKey.Open(HKEY_LOCAL_MACHINE, rgszKeys[i], KEY_READ)) {
      *pbOpened = true;
      break;
    }
  }
  if (!*pbOpened) return ERROR_SUCCESS;

  BYTE rgbData[kValueSize] = {};
  DWORD dwType = REG_NONE;
  DWORD cbData = sizeof(rgbData);
  LONG lResult = HV::Sys::RegQueryValueExA(oRegKey, "InstallDir", NULL, &dwType, rgbData,
                                           &cbData);
  if (ERROR_SUCCESS != lResult) return lResult;
  if ((REG_SZ != dwType && REG_EXPAND_SZ != dwType) ||
      (cbData > 0 && rgbData[cbData - 1] != 0) || cbData > sizeof(rgbData)) {
    return ERROR_INVALID_DATA;
  }
  if (cbData == 0) rgbData[0] = 0;
  std::memcpy(szEntry, rgbData, kValueSize);
  szEntry[kValueSize - 1] = '\0';
  return ERROR_SUCCESS;
}

void InitialiseValues() {
  s_bFirstTime = false;

  UINT cch = HV::Sys::GetWindowsDirectoryA(Values[0], kValueSize);
  if (cch == 0 || cch >= kValueSize) {
    if (cch) std::strcpy(Values[0], Defaults[0]);
    HV_TRACE_LASTERROR("DoReplacements", "GetWindowsDirectory(Values[0], _countof(Values[0]))");
  }
  cch = HV::Sys::GetSystemDirectoryA(Values[1], kValueSize);
  if (cch == 0 || cch >= kValueSize) {
    if (cch) std::strcpy(Values[1], Defaults[1]);
    HV_TRACE_LASTERROR("DoReplacements", "GetSystemDirectory(Values[1], _countof(Values[1]))");
  }

  // SHGetSpecialFolderPathA writes up to MAX_PATH characters; the entries hold more.
  if (!HV::Sys::SHGetSpecialFolderPathA(NULL, Values[2], CSIDL_PROGRAM_FILES, FALSE)) {
    HV_TRACE_LASTERROR("DoReplacements",
                       "SHGetSpecialFolderPath(NULL, Values[2], CSIDL_PROGRAM_FILES, FALSE)");
  }
  if (!HV::Sys::SHGetSpecialFolderPathA(NULL, Values[3], CSIDL_PROGRAM_FILES_COMMON, FALSE)) {
    HV_TRACE_LASTERROR(
        "DoReplacements",
        "SHGetSpecialFolderPath(NULL, Values[3], CSIDL_PROGRAM_FILES_COMMON, FALSE)");
  }
  if (!HV::Sys::SHGetSpecialFolderPathA(NULL, Values[4], CSIDL_COMMON_APPDATA, FALSE)) {
    HV_TRACE_LASTERROR("DoReplacements",
                       "SHGetSpecialFolderPath(NULL, Values[4], CSIDL_COMMON_APPDATA, FALSE)");
  }
  if (!HV::Sys::SHGetSpecialFolderPathA(NULL, Values[5], CSIDL_APPDATA, FALSE)) {
    HV_TRACE_LASTERROR("DoReplacements",
                       "SHGetSpecialFolderPath(NULL, Values[5], CSIDL_APPDATA, FALSE)");
  }
  if (!HV::Sys::SHGetSpecialFolderPathA(NULL, Values[6], CSIDL_COMMON_STARTMENU, FALSE)) {
    HV_TRACE_LASTERROR("DoReplacements",
                       "SHGetSpecialFolderPath(NULL, Values[6], CSIDL_COMMON_STARTMENU, FALSE)");
  }

  HV::CRegKey oRegKey;
  bool bOpened = false;
  LONG lResult = ReadInstallDir(oRegKey, CorvelleKeys, _countof(CorvelleKeys), Values[7],
                                &bOpened);
  if (bOpened && ERROR_SUCCESS != lResult) {
    HV_TRACE("DoReplacements", TRACE_STATUS, "%s - %lu",
             "oRegKey.QueryStringValue(_T(\"InstallDir\"), Values[7], &lSize)",
             static_cast<unsigned long>(lResult));
  }
  lResult = ReadInstallDir(oRegKey, MendoraKeys, _countof(MendoraKeys), Values[8], &bOpened);
  if (bOpened && ERROR_SUCCESS != lResult) {
    HV_TRACE("DoReplacements", TRACE_STATUS, "%s - %lu",
             "oRegKey.QueryStringValue(_T(\"InstallDir\"), Values[8], &lSize)",
             static_cast<unsigned long>(lResult));
  }

  for (size_t i = 0; i < kVariableCount; ++i) {
    std::string strValue = DoReplacements(Values[i]);
    strValue.resize(HV::LengthWithoutTrailingBackslashes(strValue));
    size_t cchCopy = HV::CharBoundary(strValue, kValueSize - 1);
    if (cchCopy < strValue.size()) {
      HV_TRACE_STATUS("DoReplacements",
                      "StringCchCopy(Values[i], _countof(Values[i]), "
                      "DoReplacements(Values[i]).TrimRight(_T('\\\\')))",
                      0x8007007AUL);
    }
    std::memcpy(Values[i], strValue.data(), cchCopy);
    Values[i][cchCopy] = '\0';
    HV_TRACE("DoReplacements", TRACE_VALUE, "%s = %s", Names[i], Values[i]);
  }
  oRegKey.Close();
}

// Replaces every occurrence of strName that begins on a character boundary, scanning
// left to right; the scan resumes behind each inserted value.
void ReplaceAll(std::string& strText, const char* szName, const char* szValue) {
  const size_t cchName = std::strlen(szName);
  const size_t cchValue = std::strlen(szValue);
  size_t i = 0;
  while (i < strText.size()) {
    if (strText.compare(i, cchName, szName) == 0) {
      strText.replace(i, cchName, szValue, cchValue);
      i += cchValue;
    } else {
      i += HV::CharLength(strText, i);
    }
  }
}

}  // namespace

std::string DoReplacements(std::string strText) {
  if (s_bFirstTime) InitialiseValues();
  if (strText.find('%') == std::string::npos) return strText;
  for (size_t i = 0; i < kVariableCount; ++i) ReplaceAll(strText, Names[i], Values[i]);
  return strText;
}

void ResetReplacementsForTests() {
  for (size_t i = 0; i < kVariableCount; ++i) std::strcpy(Values[i], Defaults[i]);
  s_bFirstTime = true;
}

// ---------------------------------------------------------------------------------
// Script text

HRESULT SplitString(LPCSTR szText, LPCSTR szDelimiters, std::vector<std::string>& list) {
  if (!szText) {
    HV_TRACE("SplitString", TRACE_ERROR, "FAILURE: %s - %#08lx", "E_INVALIDARG",
             static_cast<unsigned long>(E_INVALIDARG));
    return E_INVALIDARG;
  }
  const char* szDelims = szDelimiters ? szDelimiters : "";
  auto isDelimiter = [szDelims](const char* p) {
    return !IsLeadByte(*p) && std::strchr(szDelims, *p) != NULL;
  };
  auto next = [](const char* p) { return (IsLeadByte(*p) && p[1]) ? p + 2 : p + 1; };

  const char* p = szText;
  while (*p) {
    while (*p && isDelimiter(p)) ++p;
    if (!*p) break;
    const char* pStart = p;
    while (*p && !isDelimiter(p)) p = next(p);
    list.emplace_back(pStart, p);
  }
  return S_OK;
}

// ---------------------------------------------------------------------------------
// Registry

HKEY ExtractRootKey(std::string& strKey) {
  static const struct {
    const char* szPrefix;
    HKEY hRoot;
  } s_rgRoots[] = {
      {"HKCR\\", HKEY_CLASSES_ROOT},
      {"HKLM\\", HKEY_LOCAL_MACHINE},
      {"HKCU\\", HKEY_CURRENT_USER},
      {"HKU\\", HKEY_USERS},
  };
  for (const auto& root : s_rgRoots) {
    size_t cchPrefix = std::strlen(root.szPrefix);
    if (strKey.compare(0, cchPrefix, root.szPrefix) == 0) {
      strKey.erase(0, cchPrefix);
      return root.hRoot;
    }
  }
  HV_TRACE("ExtractRootKey", TRACE_ERROR, "Root key not found in: %s", strKey.c_str());
  ::SetLastError(ERROR_BADKEY);
  return NULL;
}

namespace {
int s_nIs64BitWindows = -1;
}

BOOL Is64BitWindows() {
  if (s_nIs64BitWindows != -1) return s_nIs64BitWindows;
  s_nIs64BitWindows = 0;
  typedef BOOL(WINAPI * PFN_ISWOW64PROCESS)(HANDLE, PBOOL);
  HMODULE hKernel = HV::Sys::GetModuleHandleA("kernel32");
  PFN_ISWOW64PROCESS pfIsWow64Process =
      hKernel ? reinterpret_cast<PFN_ISWOW64PROCESS>(reinterpret_cast<void*>(
                    HV::Sys::GetProcAddress(hKernel, "IsWow64Process")))
              : NULL;
  if (pfIsWow64Process) {
    BOOL b = FALSE;
    if (pfIsWow64Process(::GetCurrentProcess(), &b)) {
      s_nIs64BitWindows = b;
    } else {
      HV_TRACE_LASTERROR("Is64BitWindows", "pfIsWow64Process(GetCurrentProcess(), &b)");
      s_nIs64BitWindows = b;
    }
  }
  return s_nIs64BitWindows;
}

void ResetIs64BitWindowsForTests() { s_nIs64BitWindows = -1; }

// ---------------------------------------------------------------------------------
// Restart

HRESULT RebootSystem() {
  HV::CKernelHandle hToken;
  BOOL bResult = HV::Sys::OpenProcessToken(::GetCurrentProcess(),
                                           TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &hToken);
  if (!bResult) {
    HV_TRACE_LASTERROR("RebootSystem",
                       "bResult = OpenProcessToken(GetCurrentProcess(), "
                       "TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &hToken)");
  } else {
    TOKEN_PRIVILEGES tp = {};
    bResult = HV::Sys::LookupPrivilegeValueA(NULL, "SeShutdownPrivilege",
                                             &tp.Privileges[0].Luid);
    if (!bResult) {
      HV_TRACE_LASTERROR("RebootSystem",
                         "bResult = LookupPrivilegeValue(NULL, _T(\"SeShutdownPrivilege\"), "
                         "&tp.Privileges[0].Luid)");
    } else {
      tp.PrivilegeCount = 1;
      tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
      if (!HV::Sys::AdjustTokenPrivileges(hToken, FALSE, &tp, 0, NULL, 0)) {
        HV_TRACE_LASTERROR("RebootSystem", "AdjustTokenPrivileges(hToken, FALSE, &tp, 0, NULL, 0)");
      }
    }
  }

  if (HV::Sys::ExitWindowsEx(EWX_REBOOT, SHTDN_REASON_FLAG_PLANNED |
                                             SHTDN_REASON_MAJOR_APPLICATION |
                                             SHTDN_REASON_MINOR_MAINTENANCE)) {
    return S_OK;
  }
  return HV_FAILED_LASTERROR("RebootSystem",
                             "::ExitWindowsEx(0x00000002, 0x00040000 | 0x00000001 | 0x80000000)");
}
