// File and folder removal: the "[FILES]" and "[FOLDERS]" entries of the scripts. What
// cannot be removed now is registered with Windows for the next start, which sets the
// reboot-required flag.
//
// The folder entries come partly from the registry (the products' install folders), so
// a damaged value must never turn into the removal of a drive or of Windows itself:
// before a folder is emptied its path is checked, as written and as the file system
// resolves it, against the roots and the machine's own folders behind the path
// variables.
#include "engine/WorkerThread.h"

#include <string>
#include <vector>

#include "AnsiText.h"
#include "Global.h"
#include "HVSys.h"
#include "Include/HVHandles.h"
#include "diag/DebugTrace.h"

namespace {

const char kDeleteFile[] = "CWorkerThread::DeleteFileA";
const char kRemoveDirectory[] = "CWorkerThread::RemoveDirectoryA";

// The machine's own folders: never emptied, nor any folder that contains one of them.
// Nothing at or below the Windows folder is ever a product folder either.
const struct {
  const char* szVariable;
  bool bWholeTree;
} kProtectedVariables[] = {
    {"%WINDOWS%", true},      {"%SYSTEM%", true},     {"%PROGRAMFILES%", false},
    {"%COMMONFILES%", false}, {"%PROGRAMDATA%", false}, {"%USERDATA%", false},
    {"%STARTMENU%", false},
};

// A 32-bit process on 64-bit Windows is shown the 32-bit program folders; the native
// ones are in these variables of its environment (absent on 32-bit Windows).
const char* const kNativeProgramFolders[] = {"ProgramW6432", "CommonProgramW6432"};

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// "X:\..." or "\\server\share...". Drive-relative ("C:", "C:foo"), rooted ("\foo") and
// relative paths depend on the process's current folders; device paths ("\\?\",
// "\\.\") skip the platform's own normalisation. None of them is ever acted on.
bool IsFullyQualified(const std::string& strPath) {
  if (strPath.size() >= 3 && IsLetter(strPath[0]) && strPath[1] == ':' &&
      IsSeparator(strPath[2])) {
    return true;
  }
  if (strPath.size() >= 3 && IsSeparator(strPath[0]) && IsSeparator(strPath[1])) {
    return strPath[2] != '?' && strPath[2] != '.' && !IsSeparator(strPath[2]);
  }
  return false;
}

std::wstring Widen(const std::string& str) {
  if (str.empty()) return std::wstring();
  int cch = ::MultiByteToWideChar(CP_ACP, 0, str.data(), static_cast<int>(str.size()), NULL, 0);
  if (cch <= 0) return std::wstring();
  std::wstring wstr(static_cast<size_t>(cch), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, str.data(), static_cast<int>(str.size()), &wstr[0], cch);
  return wstr;
}

// A resolved path cut into its components, compared the way the file system compares
// names. "C:" is the root of drive C; "\\server\share" the root of a share, whose
// components are "", "", "server", "share".
class CPath {
 public:
  // From a fully qualified path in the form GetFullPathName or GetFinalPathNameByHandle
  // gives it; false for anything else.
  bool Assign(const std::string& strPath) {
    std::wstring wstr = Widen(strPath);
    if (wstr.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
      wstr.erase(2, 6);
    } else if (wstr.compare(0, 4, L"\\\\?\\") == 0) {
      wstr.erase(0, 4);
    }
    m_components.clear();
    size_t nStart = 0;
    for (;;) {
      size_t nEnd = wstr.find(L'\\', nStart);
      m_components.push_back(wstr.substr(nStart, nEnd == std::wstring::npos ? nEnd : nEnd - nStart));
      if (nEnd == std::wstring::npos) break;
      nStart = nEnd + 1;
    }
    while (m_components.size() > 1 && m_components.back().empty()) m_components.pop_back();

    if (m_components[0].size() == 2 && m_components[0][1] == L':') return true;
    return m_components.size() >= 3 && m_components[0].empty() && m_components[1].empty() &&
           !m_components[2].empty();
  }

  bool IsRoot() const {
    const size_t cRoot = m_components[0].empty() ? 4 : 1;
    return m_components.size() <= cRoot;
  }

  // True when this folder is oOther or one of the folders above it.
  bool Contains(const CPath& oOther) const {
    if (m_components.size() > oOther.m_components.size()) return false;
    for (size_t i = 0; i < m_components.size(); ++i) {
      if (!SameName(m_components[i], oOther.m_components[i])) return false;
    }
    return true;
  }

  // True when this is the path of the entry wstrName directly inside oFolder.
  bool IsChildOf(const CPath& oFolder, const std::wstring& wstrName) const {
    return m_components.size() == oFolder.m_components.size() + 1 && oFolder.Contains(*this) &&
           SameName(m_components.back(), wstrName);
  }

 private:
  static bool SameName(const std::wstring& a, const std::wstring& b) {
    return CSTR_EQUAL == ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                                static_cast<int>(b.size()), TRUE);
  }

  std::vector<std::wstring> m_components;
};

// The path as the platform completes it: "." and ".." applied, '/' turned into '\',
// trailing dots and blanks dropped.
bool GetWrittenPath(const std::string& strPath, CPath& oPath) {
  std::string strFull(MAX_PATH, '\0');
  for (int nTry = 0; nTry < 2; ++nTry) {
    DWORD cch = HV::Sys::GetFullPathNameA(strPath.c_str(), static_cast<DWORD>(strFull.size()),
                                          &strFull[0], NULL);
    if (cch == 0) return false;
    if (cch < strFull.size()) {
      strFull.resize(cch);
      return oPath.Assign(strFull);
    }
    strFull.assign(cch, '\0');
  }
  return false;
}

// The path the file system resolves strPath to: links and short names followed. False
// when nothing of that name can be opened.
bool GetResolvedPath(const std::string& strPath, CPath& oPath) {
  HV::CKernelHandle hFile(HV::Sys::CreateFileA(
      strPath.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL));
  if (hFile.IsEmpty()) return false;
  std::string strFinal(MAX_PATH, '\0');
  for (int nTry = 0; nTry < 2; ++nTry) {
    DWORD cch = HV::Sys::GetFinalPathNameByHandleA(hFile, &strFinal[0],
                                                   static_cast<DWORD>(strFinal.size()), 0);
    if (cch == 0) return false;
    if (cch < strFinal.size()) {
      strFinal.resize(cch);
      return oPath.Assign(strFinal);
    }
    strFinal.assign(cch + 1, '\0');
  }
  return false;
}

struct SProtectedFolder {
  CPath oPath;
  bool bWholeTree;  // the folders below it are protected too

  // True when oFolder must not be emptied because of this protected folder.
  bool Forbids(const CPath& oFolder) const {
    return oFolder.Contains(oPath) || (bWholeTree && oPath.Contains(oFolder));
  }
};

void AddProtectedFolder(std::string strValue, bool bWholeTree,
                        std::vector<SProtectedFolder>& oFolders) {
  // A folder value of a bare drive ("C:" after its backslash was trimmed) is that
  // drive's root, not the drive's current folder.
  if (strValue.size() == 2 && strValue[1] == ':') strValue += '\\';
  if (!IsFullyQualified(strValue)) return;
  SProtectedFolder oFolder;
  oFolder.bWholeTree = bWholeTree;
  if (GetWrittenPath(strValue, oFolder.oPath)) oFolders.push_back(oFolder);
  if (GetResolvedPath(strValue, oFolder.oPath)) oFolders.push_back(oFolder);
}

// The folders behind the path variables, both as written and as resolved.
std::vector<SProtectedFolder> ProtectedFolders() {
  std::vector<SProtectedFolder> oFolders;
  for (const auto& variable : kProtectedVariables) {
    AddProtectedFolder(DoReplacements(variable.szVariable), variable.bWholeTree, oFolders);
  }
  for (const char* szName : kNativeProgramFolders) {
    char szValue[MAX_PATH] = {};
    DWORD cch = ::GetEnvironmentVariableA(szName, szValue, MAX_PATH);
    if (cch > 0 && cch < MAX_PATH) AddProtectedFolder(szValue, false, oFolders);
  }
  return oFolders;
}

enum EFolderVerdict { kRemovable, kNotQualified, kRoot, kProtected };

// Whether strFolder may be emptied; oResolved receives its resolved path when it has
// one (bResolved).
EFolderVerdict CheckFolder(const std::string& strFolder, CPath& oResolved, bool& bResolved) {
  bResolved = false;
  CPath oWritten;
  if (!IsFullyQualified(strFolder) || !GetWrittenPath(strFolder, oWritten)) return kNotQualified;
  // The path as written is judged before anything is opened, so that a root is refused
  // without even a look at it.
  if (oWritten.IsRoot()) return kRoot;
  const std::vector<SProtectedFolder> oProtected = ProtectedFolders();
  for (const SProtectedFolder& oFolder : oProtected) {
    if (oFolder.Forbids(oWritten)) return kProtected;
  }
  bResolved = GetResolvedPath(strFolder, oResolved);
  if (!bResolved) return kRemovable;
  if (oResolved.IsRoot()) return kRoot;
  for (const SProtectedFolder& oFolder : oProtected) {
    if (oFolder.Forbids(oResolved)) return kProtected;
  }
  return kRemovable;
}

// True when the entry strChild, found in the folder whose resolved path is oFolder,
// resolves to somewhere else: a link that the enumeration did not report as a reparse
// point. (Wine, for one, reports a symbolic link to a file as a plain file, and deleting
// it deletes its target.)
bool LeadsElsewhere(const CPath& oFolder, const std::string& strChild, const char* szName) {
  CPath oChild;
  if (!GetResolvedPath(strChild, oChild)) return false;
  return !oChild.IsChildOf(oFolder, Widen(szName));
}

}  // namespace

std::string JoinPath(const std::string& strBase, const std::string& strChild) {
  if (strChild.empty()) return strBase;
  if (strBase.empty()) return strChild;
  size_t nChild = strChild.find_first_not_of('\\');
  if (nChild == std::string::npos) nChild = strChild.size();
  std::string strPath = strBase.substr(0, HV::LengthWithoutTrailingBackslashes(strBase));
  strPath += '\\';
  strPath.append(strChild, nChild, std::string::npos);
  return strPath;
}

HRESULT CWorkerThread::DeleteFile(std::string strFile) {
  if (!IsFullyQualified(strFile)) {
    HV_TRACE(kDeleteFile, TRACE_ERROR,
             "Refused to delete a file without a fully qualified path: %s", strFile.c_str());
    return E_INVALIDARG;
  }

  if (HV::Sys::DeleteFileA(strFile.c_str())) {
    HV_TRACE(kDeleteFile, TRACE_DELETED, "Deleted: %s", strFile.c_str());
    return S_OK;
  }
  DWORD dwError = ::GetLastError();
  // A file whose folder is missing is just as absent as the file itself.
  if (ERROR_FILE_NOT_FOUND == dwError || ERROR_PATH_NOT_FOUND == dwError) return S_FALSE;

  // Read-only files are made writable and deleted at once. If one still cannot go, it
  // stays writable so that Windows can delete it at the next start.
  DWORD dwAttributes = HV::Sys::GetFileAttributesA(strFile.c_str());
  if (INVALID_FILE_ATTRIBUTES != dwAttributes && (dwAttributes & FILE_ATTRIBUTE_READONLY) &&
      !(dwAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    DWORD dwWritable = dwAttributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    if (!HV::Sys::SetFileAttributesA(strFile.c_str(),
                                     dwWritable ? dwWritable : FILE_ATTRIBUTE_NORMAL)) {
      HV_TRACE_LASTERROR(kDeleteFile,
                         "SetFileAttributes(strFile, dwAttributes & ~FILE_ATTRIBUTE_READONLY)");
    } else if (HV::Sys::DeleteFileA(strFile.c_str())) {
      HV_TRACE(kDeleteFile, TRACE_DELETED, "Deleted: %s", strFile.c_str());
      return S_OK;
    }
  }

  HV_TRACE(kDeleteFile, TRACE_DELETE_ON_REBOOT, "Delete on reboot: %s", strFile.c_str());
  BOOL bResult = HV::Sys::MoveFileExA(strFile.c_str(), NULL, MOVEFILE_DELAY_UNTIL_REBOOT);
  if (!bResult) {
    HV_TRACE(kDeleteFile, TRACE_STATUS, "%s - %#08lx",
             "::MoveFileEx(strFile, NULL, MOVEFILE_DELAY_UNTIL_REBOOT)",
             static_cast<unsigned long>(bResult));
  }
  SetRebootRequired();
  return S_REBOOT_REQUIRED;
}

HRESULT CWorkerThread::RemoveDirectory(std::string strFolder) {
  CPath oResolved;
  bool bResolved = false;
  switch (CheckFolder(strFolder, oResolved, bResolved)) {
    case kNotQualified:
      HV_TRACE(kRemoveDirectory, TRACE_ERROR,
               "Refused to remove a folder without a fully qualified path: %s", strFolder.c_str());
      return E_INVALIDARG;
    case kRoot:
      HV_TRACE(kRemoveDirectory, TRACE_ERROR, "Refused to remove the root of a drive or share: %s",
               strFolder.c_str());
      return E_ACCESSDENIED;
    case kProtected:
      HV_TRACE(kRemoveDirectory, TRACE_ERROR,
               "Refused to remove a folder of the system or a folder that contains one: %s",
               strFolder.c_str());
      return E_ACCESSDENIED;
    case kRemovable:
      break;
  }

  // A folder that is itself a link (junction or symbolic link) is not walked into: only
  // the link goes, as for the links inside a tree, which are left alone.
  std::string strLink = strFolder.substr(0, HV::LengthWithoutTrailingBackslashes(strFolder));
  DWORD dwAttributes = HV::Sys::GetFileAttributesA(strLink.c_str());
  bool bWalk = INVALID_FILE_ATTRIBUTES == dwAttributes ||
               !(dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT);

  WIN32_FIND_DATAA fd = {};
  HV::CFindHandle hFind;
  if (bWalk) hFind = HV::Sys::FindFirstFileA(JoinPath(strFolder, "*.*").c_str(), &fd);
  if (!hFind.IsEmpty()) {
    do {
      if (m_bCancel) return E_ABORT;
      if (0 == ::lstrcmpA(fd.cFileName, ".") || 0 == ::lstrcmpA(fd.cFileName, "..")) continue;
      // Symbolic links and junctions are neither followed nor removed.
      if (fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;
      std::string strChild = JoinPath(strFolder, fd.cFileName);
      if (bResolved && LeadsElsewhere(oResolved, strChild, fd.cFileName)) continue;
      if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        // The products' antivirus component has its own clean-up tool.
        if (0 == ::lstrcmpiA(fd.cFileName, "Antivirus")) continue;
        HRESULT hr = RemoveDirectory(strChild);
        if (FAILED(hr)) HV_TRACE_STATUS(kRemoveDirectory, "RemoveDirectory(strChild)", hr);
      } else {
        HRESULT hr = DeleteFile(strChild);
        if (FAILED(hr)) HV_TRACE_STATUS(kRemoveDirectory, "DeleteFile(strChild)", hr);
      }
    } while (HV::Sys::FindNextFileA(hFind, &fd));
  }
  // A cancelled walk leaves the folder as it is, even when the cancel came with its
  // last entry: neither removed nor registered.
  if (m_bCancel) return E_ABORT;

  if (HV::Sys::RemoveDirectoryA(strFolder.c_str())) {
    HV_TRACE(kRemoveDirectory, TRACE_DELETED, "Deleted: %s", strFolder.c_str());
    return S_OK;
  }
  DWORD dwError = ::GetLastError();
  if (ERROR_FILE_NOT_FOUND == dwError || ERROR_PATH_NOT_FOUND == dwError) return S_FALSE;

  HV_TRACE(kRemoveDirectory, TRACE_DELETE_ON_REBOOT, "Delete on reboot: %s", strFolder.c_str());
  BOOL bResult = HV::Sys::MoveFileExA(strFolder.c_str(), NULL, MOVEFILE_DELAY_UNTIL_REBOOT);
  if (!bResult) {
    HV_TRACE(kRemoveDirectory, TRACE_STATUS, "%s - %#08lx",
             "MoveFileEx(strFolder, NULL, MOVEFILE_DELAY_UNTIL_REBOOT)",
             static_cast<unsigned long>(bResult));
  }
  SetRebootRequired();
  return S_REBOOT_REQUIRED;
}
