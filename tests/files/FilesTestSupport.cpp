#include "FilesTestSupport.h"

#include <gtest/gtest.h>

#include "HVSys.h"

namespace HVFilesTest {

namespace {

const char kSessionManager[] = "System\\CurrentControlSet\\Control\\Session Manager";
const char kPendingValue[] = "PendingFileRenameOperations";

bool ReadPending(DWORD& dwType, std::string& strData) {
  HKEY hKey = NULL;
  strData.clear();
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_READ, &hKey) != ERROR_SUCCESS)
    return false;
  DWORD cb = 0;
  LONG lResult = ::RegQueryValueExA(hKey, kPendingValue, NULL, &dwType, NULL, &cb);
  if (lResult == ERROR_SUCCESS && cb > 0) {
    strData.assign(cb, '\0');
    lResult = ::RegQueryValueExA(hKey, kPendingValue, NULL, &dwType,
                                 reinterpret_cast<BYTE*>(&strData[0]), &cb);
    strData.resize(cb);
  }
  ::RegCloseKey(hKey);
  return lResult == ERROR_SUCCESS;
}

std::vector<std::string> ParsePairs(const std::string& strData) {
  std::vector<std::string> strings;
  size_t i = 0;
  while (i < strData.size()) {
    size_t nEnd = strData.find('\0', i);
    if (nEnd == std::string::npos) nEnd = strData.size();
    strings.push_back(strData.substr(i, nEnd - i));
    i = nEnd + 1;
  }
  std::vector<std::string> pairs;
  for (size_t n = 0; n + 1 < strings.size(); n += 2) {
    std::string strSource = strings[n];
    if (strSource.compare(0, 4, "\\??\\") == 0) strSource.erase(0, 4);
    if (!strings[n + 1].empty()) strSource += " -> " + strings[n + 1];
    pairs.push_back(strSource);
  }
  return pairs;
}

std::string UniqueContent(const std::string& strPath) { return "canary " + strPath; }

void ListInto(const std::string& strRoot, const std::string& strRelative,
              std::set<std::string>& paths) {
  WIN32_FIND_DATAA fd;
  std::string strFolder = strRelative.empty() ? strRoot : strRoot + "\\" + strRelative;
  HANDLE hFind = ::FindFirstFileA((strFolder + "\\*").c_str(), &fd);
  if (hFind == INVALID_HANDLE_VALUE) return;
  do {
    std::string strName = fd.cFileName;
    if (strName == "." || strName == "..") continue;
    std::string strPath = strRelative.empty() ? strName : strRelative + "\\" + strName;
    paths.insert(strPath);
    if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
        !(fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      ListInto(strRoot, strPath, paths);
    }
  } while (::FindNextFileA(hFind, &fd));
  ::FindClose(hFind);
}

// The counting fakes share one record; only one CCountCalls lives at a time.
CCallCounts* g_pCounts = NULL;

HANDLE WINAPI CountFindFirstFile(LPCSTR szPattern, LPWIN32_FIND_DATAA pfd) {
  ++g_pCounts->nFindFirstFile;
  g_pCounts->patterns.push_back(szPattern);
  return ::FindFirstFileA(szPattern, pfd);
}
BOOL WINAPI CountDeleteFile(LPCSTR szPath) {
  ++g_pCounts->nDeleteFile;
  return ::DeleteFileA(szPath);
}
BOOL WINAPI CountRemoveDirectory(LPCSTR szPath) {
  ++g_pCounts->nRemoveDirectory;
  return ::RemoveDirectoryA(szPath);
}
BOOL WINAPI CountMoveFileEx(LPCSTR szFrom, LPCSTR szTo, DWORD dwFlags) {
  ++g_pCounts->nMoveFileEx;
  return ::MoveFileExA(szFrom, szTo, dwFlags);
}
BOOL WINAPI CountSetFileAttributes(LPCSTR szPath, DWORD dwAttributes) {
  ++g_pCounts->nSetFileAttributes;
  return ::SetFileAttributesA(szPath, dwAttributes);
}

}  // namespace

std::vector<std::string> PendingRenames() {
  DWORD dwType = 0;
  std::string strData;
  if (!ReadPending(dwType, strData)) return {};
  EXPECT_EQ(static_cast<DWORD>(REG_MULTI_SZ), dwType);
  return ParsePairs(strData);
}

CPendingRenames::CPendingRenames() : m_dwType(REG_MULTI_SZ), m_cBefore(0) {
  m_bExisted = ReadPending(m_dwType, m_strData);
  m_cBefore = m_bExisted ? ParsePairs(m_strData).size() : 0;
}

CPendingRenames::~CPendingRenames() { Restore(); }

std::vector<std::string> CPendingRenames::Added() const {
  std::vector<std::string> pairs = PendingRenames();
  if (pairs.size() < m_cBefore) {
    ADD_FAILURE() << "registrations made before the test have disappeared";
    return pairs;
  }
  return std::vector<std::string>(pairs.begin() + m_cBefore, pairs.end());
}

void CPendingRenames::Restore() {
  HKEY hKey = NULL;
  ASSERT_EQ(ERROR_SUCCESS, ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManager, 0,
                                           KEY_SET_VALUE, &hKey));
  if (m_bExisted) {
    ::RegSetValueExA(hKey, kPendingValue, 0, m_dwType,
                     reinterpret_cast<const BYTE*>(m_strData.data()),
                     static_cast<DWORD>(m_strData.size()));
  } else {
    ::RegDeleteValueA(hKey, kPendingValue);
  }
  ::RegCloseKey(hKey);
}

void MakeFolders(const std::string& strPath) {
  for (size_t i = 3; i <= strPath.size(); ++i) {
    if (i == strPath.size() || strPath[i] == '\\') ::CreateDirectoryA(strPath.substr(0, i).c_str(), NULL);
  }
  ASSERT_TRUE(HVTest::PathExists(strPath)) << strPath;
}

void MakeFile(const std::string& strPath, const std::string& strContent, DWORD dwAttributes) {
  size_t nSlash = strPath.rfind('\\');
  if (nSlash != std::string::npos) MakeFolders(strPath.substr(0, nSlash));
  ::SetFileAttributesA(strPath.c_str(), FILE_ATTRIBUTE_NORMAL);
  ASSERT_TRUE(HVTest::WriteFileBytes(strPath, strContent)) << strPath;
  if (dwAttributes != FILE_ATTRIBUTE_NORMAL) {
    ASSERT_TRUE(::SetFileAttributesA(strPath.c_str(), dwAttributes)) << strPath;
  }
}

CCanaries::~CCanaries() {
  for (const auto& file : m_files) ::DeleteFileA(file.first.c_str());
}

void CCanaries::Add(const std::string& strPath) {
  MakeFile(strPath, UniqueContent(strPath));
  m_files[strPath] = UniqueContent(strPath);
}

std::vector<std::string> CCanaries::Lost() const {
  std::vector<std::string> lost;
  for (const auto& file : m_files) {
    if (!HVTest::PathExists(file.first) || HVTest::ReadFileBytes(file.first) != file.second) {
      lost.push_back(file.first);
    }
  }
  return lost;
}

std::set<std::string> ListTree(const std::string& strRoot) {
  std::set<std::string> paths;
  ListInto(strRoot, "", paths);
  return paths;
}

std::vector<std::string> TraceLines(const HVTest::CTraceFile& oTrace,
                                    const std::string& strFunction) {
  std::vector<std::string> lines;
  for (const auto& fields : oTrace.Lines()) {
    if (fields.size() != 12) {
      ADD_FAILURE() << "trace line with " << fields.size() << " fields";
      continue;
    }
    if (!strFunction.empty() && fields[5] != strFunction) continue;
    lines.push_back(fields[0] + " " + fields[1]);
  }
  return lines;
}

struct CCountCalls::CImpl {
  CCallCounts counts;
  HV::Sys::TOverride<decltype(&::FindFirstFileA)> oFind{HV::Sys::FindFirstFileA,
                                                        &CountFindFirstFile};
  HV::Sys::TOverride<decltype(&::DeleteFileA)> oDelete{HV::Sys::DeleteFileA, &CountDeleteFile};
  HV::Sys::TOverride<decltype(&::RemoveDirectoryA)> oRemove{HV::Sys::RemoveDirectoryA,
                                                            &CountRemoveDirectory};
  HV::Sys::TOverride<decltype(&::MoveFileExA)> oMove{HV::Sys::MoveFileExA, &CountMoveFileEx};
  HV::Sys::TOverride<decltype(&::SetFileAttributesA)> oAttributes{HV::Sys::SetFileAttributesA,
                                                                  &CountSetFileAttributes};
};

CCountCalls::CCountCalls() : m_pImpl(new CImpl) { g_pCounts = &m_pImpl->counts; }

CCountCalls::~CCountCalls() {
  delete m_pImpl;
  g_pCounts = NULL;
}

const CCallCounts& CCountCalls::Counts() const { return m_pImpl->counts; }

int CCountCalls::Touches() const {
  const CCallCounts& c = m_pImpl->counts;
  return c.nDeleteFile + c.nRemoveDirectory + c.nMoveFileEx + c.nSetFileAttributes;
}

}  // namespace HVFilesTest
