#include "SoakSupport.h"

#include <shlobj.h>

#include <cstring>
#include <fstream>
#include <sstream>

namespace HVSoak {

// ---------------------------------------------------------------------------------------
// CRandom: splitmix64, small and good enough to spread the faults.

uint64_t CRandom::Next() {
  uint64_t z = (m_ullState += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

uint32_t CRandom::Below(uint32_t n) { return n ? static_cast<uint32_t>(Next() % n) : 0; }

bool CRandom::Chance(double dProbability) {
  return static_cast<double>(Next() >> 11) * (1.0 / 9007199254740992.0) < dProbability;
}

// ---------------------------------------------------------------------------------------
// Paths.

std::string Fold(const std::string& strPath) {
  std::string str = strPath;
  if (!str.empty()) ::CharLowerBuffA(&str[0], static_cast<DWORD>(str.size()));
  for (char& c : str) {
    if (c == '/') c = '\\';
  }
  return str;
}

bool SamePath(const std::string& a, const std::string& b) {
  return Fold(TrimTrailingBackslashes(a)) == Fold(TrimTrailingBackslashes(b));
}

bool IsAtOrBelow(const std::string& strPath, const std::string& strFolder) {
  std::string p = Fold(TrimTrailingBackslashes(strPath));
  std::string f = Fold(TrimTrailingBackslashes(strFolder));
  if (f.empty()) return false;
  if (p == f) return true;
  return p.size() > f.size() && p.compare(0, f.size(), f) == 0 && p[f.size()] == '\\';
}

std::string ParentOf(const std::string& strPath) {
  size_t n = strPath.find_last_of('\\');
  return n == std::string::npos ? std::string() : strPath.substr(0, n);
}

std::string NameOf(const std::string& strPath) {
  size_t n = strPath.find_last_of('\\');
  return n == std::string::npos ? strPath : strPath.substr(n + 1);
}

std::string TrimTrailingBackslashes(std::string str) {
  while (!str.empty() && (str.back() == '\\' || str.back() == '/')) str.pop_back();
  return str;
}

bool Exists(const std::string& strPath) {
  return ::GetFileAttributesA(strPath.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsFolder(const std::string& strPath) {
  DWORD dw = ::GetFileAttributesA(strPath.c_str());
  return dw != INVALID_FILE_ATTRIBUTES && (dw & FILE_ATTRIBUTE_DIRECTORY);
}

std::string ReadFileBytes(const std::string& strPath) {
  std::ifstream in(strPath, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

bool WriteFileBytes(const std::string& strPath, const std::string& strBytes) {
  std::ofstream out(strPath, std::ios::binary | std::ios::trunc);
  out << strBytes;
  out.close();
  return static_cast<bool>(out);
}

bool MakeFolders(const std::string& strPath, std::vector<std::string>* pCreated) {
  bool bFirst = true;
  for (size_t i = 3; i <= strPath.size(); ++i) {
    if (i != strPath.size() && strPath[i] != '\\') continue;
    std::string strPart = strPath.substr(0, i);
    if (IsFolder(strPart)) continue;
    if (!::CreateDirectoryA(strPart.c_str(), NULL)) return false;
    if (bFirst && pCreated) pCreated->push_back(strPart);
    bFirst = false;
  }
  return IsFolder(strPath);
}

void RemoveTree(const std::string& strPath) {
  DWORD dwAttributes = ::GetFileAttributesA(strPath.c_str());
  if (dwAttributes == INVALID_FILE_ATTRIBUTES) return;
  if (dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return;
  ::SetFileAttributesA(strPath.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (!(dwAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    ::DeleteFileA(strPath.c_str());
    return;
  }
  WIN32_FIND_DATAA fd;
  HANDLE hFind = ::FindFirstFileA((strPath + "\\*").c_str(), &fd);
  if (hFind != INVALID_HANDLE_VALUE) {
    do {
      std::string strName = fd.cFileName;
      if (strName == "." || strName == "..") continue;
      RemoveTree(strPath + "\\" + strName);
    } while (::FindNextFileA(hFind, &fd));
    ::FindClose(hFind);
  }
  ::RemoveDirectoryA(strPath.c_str());
}

namespace {

void ListInto(const std::string& strFolder, std::map<std::string, std::string>& paths) {
  WIN32_FIND_DATAA fd;
  HANDLE hFind = ::FindFirstFileA((strFolder + "\\*").c_str(), &fd);
  if (hFind == INVALID_HANDLE_VALUE) return;
  do {
    std::string strName = fd.cFileName;
    if (strName == "." || strName == "..") continue;
    std::string strPath = strFolder + "\\" + strName;
    paths[Fold(strPath)] = strPath;
    if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
        !(fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      ListInto(strPath, paths);
    }
  } while (::FindNextFileA(hFind, &fd));
  ::FindClose(hFind);
}

}  // namespace

std::map<std::string, std::string> ListTree(const std::string& strRoot) {
  std::map<std::string, std::string> paths;
  ListInto(TrimTrailingBackslashes(strRoot), paths);
  return paths;
}

// ---------------------------------------------------------------------------------------
// Registry.

bool ParseRegPath(const std::string& strEntry, REGSAM samView, SRegPath& oPath) {
  static const struct {
    const char* szPrefix;
    HKEY hRoot;
  } kRoots[] = {{"HKCR\\", HKEY_CLASSES_ROOT},
                {"HKLM\\", HKEY_LOCAL_MACHINE},
                {"HKCU\\", HKEY_CURRENT_USER},
                {"HKU\\", HKEY_USERS}};
  for (const auto& root : kRoots) {
    size_t cch = std::strlen(root.szPrefix);
    if (strEntry.compare(0, cch, root.szPrefix) == 0) {
      oPath.hRoot = root.hRoot;
      oPath.strRoot = std::string(root.szPrefix, cch - 1);
      oPath.strKey = strEntry.substr(cch);
      oPath.samView = samView;
      return !oPath.strKey.empty();
    }
  }
  return false;
}

std::string ViewName(REGSAM samView) {
  return samView == KEY_WOW64_32KEY ? "32-bit view" : "64-bit view";
}

std::string Describe(const SRegPath& oPath) {
  return oPath.strRoot + "\\" + oPath.strKey + " [" + ViewName(oPath.samView) + "]";
}

namespace {

LONG OpenKey(const SRegPath& oKey, REGSAM samAccess, HKEY* phKey) {
  return ::RegOpenKeyExA(oKey.hRoot, oKey.strKey.c_str(), 0, samAccess | oKey.samView, phKey);
}

}  // namespace

bool KeyExists(const SRegPath& oKey) {
  HKEY hKey = NULL;
  if (OpenKey(oKey, KEY_READ, &hKey) != ERROR_SUCCESS) return false;
  ::RegCloseKey(hKey);
  return true;
}

bool MakeKey(const SRegPath& oKey, std::vector<SRegPath>* pCreated) {
  bool bFirst = true;
  for (size_t i = 1; i <= oKey.strKey.size(); ++i) {
    if (i != oKey.strKey.size() && oKey.strKey[i] != '\\') continue;
    SRegPath oPart = oKey;
    oPart.strKey = oKey.strKey.substr(0, i);
    if (KeyExists(oPart)) continue;
    HKEY hKey = NULL;
    if (::RegCreateKeyExA(oPart.hRoot, oPart.strKey.c_str(), 0, NULL, 0,
                          KEY_ALL_ACCESS | oPart.samView, NULL, &hKey, NULL) != ERROR_SUCCESS) {
      return false;
    }
    ::RegCloseKey(hKey);
    if (bFirst && pCreated) pCreated->push_back(oPart);
    bFirst = false;
  }
  return KeyExists(oKey);
}

bool SetValue(const SRegPath& oKey, const std::string& strName, DWORD dwType,
              const std::string& strData) {
  HKEY hKey = NULL;
  if (OpenKey(oKey, KEY_SET_VALUE, &hKey) != ERROR_SUCCESS) return false;
  LONG l = ::RegSetValueExA(hKey, strName.c_str(), 0, dwType,
                            reinterpret_cast<const BYTE*>(strData.data()),
                            static_cast<DWORD>(strData.size()));
  ::RegCloseKey(hKey);
  return l == ERROR_SUCCESS;
}

bool ReadValue(const SRegPath& oKey, const std::string& strName, DWORD* pdwType,
               std::string* pstrData) {
  HKEY hKey = NULL;
  if (OpenKey(oKey, KEY_QUERY_VALUE, &hKey) != ERROR_SUCCESS) return false;
  DWORD dwType = 0, cb = 0;
  LONG l = ::RegQueryValueExA(hKey, strName.c_str(), NULL, &dwType, NULL, &cb);
  std::string strData;
  if (l == ERROR_SUCCESS && cb > 0) {
    strData.assign(cb, '\0');
    l = ::RegQueryValueExA(hKey, strName.c_str(), NULL, &dwType,
                           reinterpret_cast<BYTE*>(&strData[0]), &cb);
    strData.resize(cb);
  }
  ::RegCloseKey(hKey);
  if (l != ERROR_SUCCESS) return false;
  if (pdwType) *pdwType = dwType;
  if (pstrData) *pstrData = strData;
  return true;
}

bool DeleteValue(const SRegPath& oKey, const std::string& strName) {
  HKEY hKey = NULL;
  if (OpenKey(oKey, KEY_SET_VALUE, &hKey) != ERROR_SUCCESS) return false;
  LONG l = ::RegDeleteValueA(hKey, strName.c_str());
  ::RegCloseKey(hKey);
  return l == ERROR_SUCCESS;
}

void DeleteKeyTree(const SRegPath& oKey) {
  // Never a key directly below a root, except in the classes root, whose keys are the
  // file types and classes that the soak makes (a fresh prefix has no "Drive" there).
  if (oKey.strKey.empty() ||
      (oKey.strKey.find('\\') == std::string::npos && oKey.hRoot != HKEY_CLASSES_ROOT)) {
    return;
  }
  HKEY hKey = NULL;
  if (OpenKey(oKey, KEY_ALL_ACCESS, &hKey) != ERROR_SUCCESS) return;
  for (;;) {
    char szName[512];
    DWORD cchName = sizeof(szName);
    if (::RegEnumKeyExA(hKey, 0, szName, &cchName, NULL, NULL, NULL, NULL) != ERROR_SUCCESS) {
      break;
    }
    SRegPath oChild = oKey;
    oChild.strKey += "\\";
    oChild.strKey += szName;
    DeleteKeyTree(oChild);
    if (KeyExists(oChild)) break;  // cannot go: do not loop on it
  }
  ::RegCloseKey(hKey);
  ::RegDeleteKeyExA(oKey.hRoot, oKey.strKey.c_str(), oKey.samView, 0);
}

// ---------------------------------------------------------------------------------------
// Services.

namespace {

std::string ExitEventName(const std::string& strName) {
  return "Global\\HVTestServiceExit." + strName;
}

bool WaitForState(SC_HANDLE hService, DWORD dwState, DWORD dwTimeoutMs) {
  for (DWORD dwWaited = 0;; dwWaited += 50) {
    SERVICE_STATUS ss = {};
    if (::QueryServiceStatus(hService, &ss) && ss.dwCurrentState == dwState) return true;
    if (dwWaited >= dwTimeoutMs) return false;
    ::Sleep(50);
  }
}

}  // namespace

bool InstallService(const std::string& strServiceExe, const std::string& strName,
                    const std::string& strMode, bool bStart, std::string* pstrError) {
  SC_HANDLE hManager = ::OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
  if (!hManager) {
    *pstrError = "OpenSCManager: " + std::to_string(::GetLastError());
    return false;
  }
  // The name is quoted: the products' service names have blanks in them.
  std::string strCommand = "\"" + strServiceExe + "\" " + strMode + " \"" + strName + "\"";
  SC_HANDLE hService = ::CreateServiceA(
      hManager, strName.c_str(), strName.c_str(), SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
      SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE, strCommand.c_str(), NULL, NULL, NULL, NULL, NULL);
  DWORD dwError = ::GetLastError();
  ::CloseServiceHandle(hManager);
  if (!hService) {
    *pstrError = "CreateService: " + std::to_string(dwError);
    return false;
  }
  bool bResult = true;
  if (bStart) {
    if (!::StartServiceA(hService, 0, NULL)) {
      *pstrError = "StartService: " + std::to_string(::GetLastError());
      bResult = false;
    } else if (!WaitForState(hService, SERVICE_RUNNING, 10000)) {
      *pstrError = "does not start";
      bResult = false;
    }
  }
  ::CloseServiceHandle(hService);
  return bResult;
}

DWORD ServiceState(const std::string& strName) {
  SC_HANDLE hManager = ::OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
  if (!hManager) return 0;
  SC_HANDLE hService = ::OpenServiceA(hManager, strName.c_str(), SERVICE_QUERY_STATUS);
  SERVICE_STATUS ss = {};
  if (hService && !::QueryServiceStatus(hService, &ss)) ss.dwCurrentState = 0;
  if (hService) ::CloseServiceHandle(hService);
  ::CloseServiceHandle(hManager);
  return ss.dwCurrentState;
}

bool RemoveService(const std::string& strName, std::string* pstrError) {
  SC_HANDLE hManager = ::OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
  if (!hManager) {
    *pstrError = "OpenSCManager: " + std::to_string(::GetLastError());
    return false;
  }
  SC_HANDLE hService = ::OpenServiceA(hManager, strName.c_str(), SERVICE_ALL_ACCESS);
  if (!hService) {
    DWORD dwError = ::GetLastError();
    ::CloseServiceHandle(hManager);
    if (dwError == ERROR_SERVICE_DOES_NOT_EXIST) return true;
    *pstrError = "OpenService: " + std::to_string(dwError);
    return false;
  }
  if (!WaitForState(hService, SERVICE_STOPPED, 0)) {
    // Whatever its mode, the service ends when its exit event is set; a service that
    // does not even do that is ended by force.
    HANDLE hExit = ::OpenEventA(EVENT_MODIFY_STATE, FALSE, ExitEventName(strName).c_str());
    if (hExit) {
      ::SetEvent(hExit);
      ::CloseHandle(hExit);
    }
    if (!WaitForState(hService, SERVICE_STOPPED, 5000)) {
      SERVICE_STATUS_PROCESS ssp = {};
      DWORD cbNeeded = 0;
      if (::QueryServiceStatusEx(hService, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&ssp),
                                 sizeof(ssp), &cbNeeded) &&
          ssp.dwProcessId) {
        HANDLE hProcess = ::OpenProcess(PROCESS_TERMINATE, FALSE, ssp.dwProcessId);
        if (hProcess) {
          ::TerminateProcess(hProcess, 1);
          ::CloseHandle(hProcess);
        }
      }
      WaitForState(hService, SERVICE_STOPPED, 3000);
    }
  }
  bool bDeleted = ::DeleteService(hService) != FALSE;
  DWORD dwError = ::GetLastError();
  ::CloseServiceHandle(hService);
  if (!bDeleted && dwError != ERROR_SERVICE_MARKED_FOR_DELETE) {
    *pstrError = "DeleteService: " + std::to_string(dwError);
  }
  // The manager forgets a deleted service once the last handle to it is closed.
  bool bGone = false;
  for (int i = 0; i < 100 && !bGone; ++i) {
    SC_HANDLE h = ::OpenServiceA(hManager, strName.c_str(), SERVICE_QUERY_STATUS);
    if (h) {
      ::CloseServiceHandle(h);
      ::Sleep(50);
    } else {
      bGone = true;
    }
  }
  ::CloseServiceHandle(hManager);
  if (!bGone && pstrError->empty()) *pstrError = "still registered after DeleteService";
  return bGone;
}

// ---------------------------------------------------------------------------------------
// Pending renames.

namespace {

const char kSessionManager[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const char kPendingValue[] = "PendingFileRenameOperations";

}  // namespace

SPendingValue ReadPendingValue() {
  SPendingValue oValue;
  SRegPath oKey;
  oKey.hRoot = HKEY_LOCAL_MACHINE;
  oKey.strRoot = "HKLM";
  oKey.strKey = kSessionManager;
  oValue.bExists = ReadValue(oKey, kPendingValue, &oValue.dwType, &oValue.strData);
  return oValue;
}

void WritePendingValue(const SPendingValue& oValue) {
  SRegPath oKey;
  oKey.hRoot = HKEY_LOCAL_MACHINE;
  oKey.strRoot = "HKLM";
  oKey.strKey = kSessionManager;
  if (oValue.bExists) {
    SetValue(oKey, kPendingValue, oValue.dwType, oValue.strData);
  } else {
    DeleteValue(oKey, kPendingValue);
  }
}

std::vector<std::string> PendingPaths(const SPendingValue& oValue) {
  std::vector<std::string> strings;
  const std::string& s = oValue.strData;
  for (size_t i = 0; i < s.size();) {
    size_t nEnd = s.find('\0', i);
    if (nEnd == std::string::npos) nEnd = s.size();
    strings.push_back(s.substr(i, nEnd - i));
    i = nEnd + 1;
  }
  std::vector<std::string> paths;
  for (size_t n = 0; n + 1 < strings.size(); n += 2) {
    std::string strSource = strings[n];
    if (strSource.compare(0, 4, "\\??\\") == 0) strSource.erase(0, 4);
    if (!strings[n + 1].empty()) strSource += " -> " + strings[n + 1];
    paths.push_back(strSource);
  }
  return paths;
}

// ---------------------------------------------------------------------------------------
// The trace file.

std::string DesktopFolder() {
  char szPath[MAX_PATH] = {};
  ::SHGetFolderPathA(NULL, CSIDL_DESKTOPDIRECTORY, NULL, 0, szPath);
  return szPath;
}

std::string TraceFilePath() { return DesktopFolder() + "\\KVDebug.txt"; }

STraceCheck CheckTraceFile(const std::string& strBytes) {
  STraceCheck oCheck;
  size_t i = 0;
  while (i < strBytes.size()) {
    size_t nEnd = strBytes.find("\r\n", i);
    std::string strLine =
        strBytes.substr(i, nEnd == std::string::npos ? std::string::npos : nEnd - i);
    ++oCheck.cLines;
    std::string strShown = strLine.substr(0, 160);
    if (nEnd == std::string::npos) {
      oCheck.problems.push_back("line " + std::to_string(oCheck.cLines) +
                                " does not end with CR LF: " + strShown);
    }
    if (strLine.find_first_of("\r\n") != std::string::npos) {
      oCheck.problems.push_back("line " + std::to_string(oCheck.cLines) +
                                " holds a bare CR or LF: " + strShown);
    }
    std::vector<std::string> fields;
    size_t nField = 0;
    for (;;) {
      size_t nTab = strLine.find('\t', nField);
      fields.push_back(strLine.substr(nField, nTab == std::string::npos ? nTab : nTab - nField));
      if (nTab == std::string::npos) break;
      nField = nTab + 1;
    }
    if (fields.size() != 12) {
      oCheck.problems.push_back("line " + std::to_string(oCheck.cLines) + " has " +
                                std::to_string(fields.size()) + " fields: " + strShown);
    } else {
      ++oCheck.levels[fields[0]];
      if (fields[1].compare(0, 8, "Refused ") == 0) ++oCheck.cRefusals;
    }
    if (nEnd == std::string::npos) break;
    i = nEnd + 2;
  }
  return oCheck;
}

}  // namespace HVSoak
