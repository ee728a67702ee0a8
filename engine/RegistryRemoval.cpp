// The [KEYS] and [VALUES] entries. The program is a 32-bit process: on 64-bit Windows
// its plain deletions reach only the 32-bit view of the redirected branches, so every
// entry is deleted once more, explicitly in the 64-bit view. The entry counts as
// removed when either deletion succeeded.
#include "engine/WorkerThread.h"

#include "AnsiText.h"
#include "Global.h"
#include "HVSys.h"
#include "Include/HVHandles.h"
#include "diag/DebugTrace.h"

namespace {

// Every key the 64-bit step opens. The view flag travels with the key: what is opened
// or deleted beneath it stays in the 64-bit view.
const REGSAM kAccess64 = KEY_READ | KEY_WRITE | KEY_WOW64_64KEY;

typedef LONG(WINAPI* PFN_REGDELETEKEYEXA)(HKEY, LPCSTR, REGSAM, DWORD);

// RegDeleteKeyExA is missing before Vista; RegDeleteKeyA then deletes in the view of
// the parent handle, which is all the 64-bit step needs. Looked up once, found or not.
bool s_bRegDeleteKeyExLookedUp = false;
PFN_REGDELETEKEYEXA s_pfnRegDeleteKeyExA = NULL;

PFN_REGDELETEKEYEXA RegDeleteKeyExFunction() {
  if (!s_bRegDeleteKeyExLookedUp) {
    s_bRegDeleteKeyExLookedUp = true;
    HMODULE hAdvapi = HV::Sys::GetModuleHandleA("Advapi32.dll");
    if (hAdvapi) {
      s_pfnRegDeleteKeyExA = reinterpret_cast<PFN_REGDELETEKEYEXA>(
          reinterpret_cast<void*>(HV::Sys::GetProcAddress(hAdvapi, "RegDeleteKeyExA")));
    }
  }
  return s_pfnRegDeleteKeyExA;
}

// A key path after its root prefix must name a key below the root. An empty path, or
// one that starts with a backslash (an empty first component, typically a variable
// that expanded to nothing), would otherwise reach the root key itself: the 64-bit
// step would open the root and empty it.
bool NamesSubKey(const std::string& strKey) { return !strKey.empty() && strKey[0] != '\\'; }

}  // namespace

HRESULT CWorkerThread::DeleteKey(std::string strKey) {
  const std::string strEntry(strKey);
  HKEY hKey = ExtractRootKey(strKey);
  if (NULL == hKey) {
    return HV_FAILED_LASTERROR("CWorkerThread::DeleteKey", "hKey = ExtractRootKey(strKey)");
  }
  if (!NamesSubKey(strKey)) {
    return HV_FAILED_ERROR("CWorkerThread::DeleteKey", "NamesSubKey(strKey)", ERROR_BADKEY);
  }

  LONG lResult = static_cast<LONG>(HV::Sys::SHDeleteKeyA(hKey, strKey.c_str()));

  // Redirection begins below the keys directly under a root: those are the same in both
  // views, and the own view has reached them already.
  size_t nSlash = std::string::npos;
  if (Is64BitWindows() && std::string::npos != (nSlash = HV::FindLastChar(strKey, '\\'))) {
    HV::CRegKey oRegKey;
    if (ERROR_SUCCESS == oRegKey.Open(hKey, strKey.substr(0, nSlash).c_str(), kAccess64)) {
      if (ERROR_SUCCESS == DeleteKeyTree(oRegKey, strKey.substr(nSlash + 1), KEY_WOW64_64KEY)) {
        lResult = ERROR_SUCCESS;
      }
    }
  }

  if (ERROR_SUCCESS == lResult) {
    HV_TRACE("CWorkerThread::DeleteKey", TRACE_REGISTRY_REMOVED, "Removed registry key: %s",
             strEntry.c_str());
    return S_OK;
  }
  if (ERROR_FILE_NOT_FOUND == lResult) return S_FALSE;
  HV_TRACE("CWorkerThread::DeleteKey", TRACE_ERROR, "SHDeleteKey(%s) failed returning %lu",
           strEntry.c_str(), static_cast<unsigned long>(lResult));
  return HRESULT_FROM_WIN32(static_cast<unsigned long>(lResult));
}

HRESULT CWorkerThread::DeleteValue(std::string strKeyAndValue) {
  const std::string strEntry(strKeyAndValue);
  HKEY hKey = ExtractRootKey(strKeyAndValue);
  if (NULL == hKey) {
    return HV_FAILED_LASTERROR("CWorkerThread::DeleteValue",
                               "hKey = ExtractRootKey(strKeyAndValue)");
  }
  const size_t nPipe = HV::FindChar(strKeyAndValue, '|');
  if (strKeyAndValue.empty() || std::string::npos == nPipe) {
    return HV_FAILED_LASTERROR("CWorkerThread::DeleteValue",
                               "-1 != (nPipe = strKeyAndValue.Find('|'))");
  }
  const std::string strKey = strKeyAndValue.substr(0, nPipe);
  const std::string strValue = strKeyAndValue.substr(nPipe + 1);
  // The scripts never mean a value of a root key itself.
  if (!NamesSubKey(strKey)) {
    return HV_FAILED_ERROR("CWorkerThread::DeleteValue", "NamesSubKey(strKey)", ERROR_BADKEY);
  }

  LONG lResult =
      static_cast<LONG>(HV::Sys::SHDeleteValueA(hKey, strKey.c_str(), strValue.c_str()));

  if (Is64BitWindows()) {
    HV::CRegKey oRegKey;
    if (ERROR_SUCCESS == oRegKey.Open(hKey, strKey.c_str(), kAccess64) &&
        ERROR_SUCCESS == HV::Sys::RegDeleteValueA(oRegKey, strValue.c_str())) {
      lResult = ERROR_SUCCESS;
    }
  }

  if (ERROR_SUCCESS == lResult) {
    HV_TRACE("CWorkerThread::DeleteValue", TRACE_REGISTRY_REMOVED, "Removed registry value: %s",
             strEntry.c_str());
    return S_OK;
  }
  if (ERROR_FILE_NOT_FOUND == lResult) return S_FALSE;
  HV_TRACE("CWorkerThread::DeleteValue", TRACE_ERROR, "SHDeleteValue(%s) failed returning %lu",
           strEntry.c_str(), static_cast<unsigned long>(lResult));
  return HRESULT_FROM_WIN32(static_cast<unsigned long>(lResult));
}

LONG DeleteKeyTree(HKEY hKey, const std::string& strName, REGSAM samView) {
  HV::CRegKey oRegKey;
  LONG lResult = oRegKey.Open(hKey, strName.c_str(), KEY_READ | KEY_WRITE | samView);
  if (ERROR_SUCCESS != lResult) return lResult;

  // Each round deletes the sub-key it found, so index 0 always yields the next one. A
  // name that does not fit ends the enumeration, and the final deletion then fails
  // because the key still has sub-keys.
  char szName[256];
  FILETIME ftLastWrite;
  for (;;) {
    DWORD cchName = _countof(szName);
    if (ERROR_SUCCESS != HV::Sys::RegEnumKeyExA(oRegKey, 0, szName, &cchName, NULL, NULL, NULL,
                                                &ftLastWrite)) {
      break;
    }
    lResult = DeleteKeyTree(oRegKey, szName, samView);
    if (ERROR_SUCCESS != lResult) return lResult;
  }
  oRegKey.Close();

  PFN_REGDELETEKEYEXA pfnRegDeleteKeyExA = RegDeleteKeyExFunction();
  if (pfnRegDeleteKeyExA) return pfnRegDeleteKeyExA(hKey, strName.c_str(), samView, 0);
  return HV::Sys::RegDeleteKeyA(hKey, strName.c_str());
}

// Forgets the lookup of RegDeleteKeyExA, so that one test program can watch several
// first lookups. Never called by the product.
void ResetRegDeleteKeyExForTests() {
  s_bRegDeleteKeyExLookedUp = false;
  s_pfnRegDeleteKeyExA = NULL;
}
